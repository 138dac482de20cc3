#include "nets/host_owners.h"

#include "nets/run_array.h"

static CustomerRecord** owners;
static uint32_t owner_count;
static uint32_t owner_capacity;

void host_owners_clear() {
  owner_count = 0;
  host_owner_add(nullptr);
}

uint32_t host_owner_add(CustomerRecord* owner) {
  grow_run_array(&owners, &owner_capacity, owner_count + 1, "realloc");
  owners[owner_count] = owner;
  return owner_count++;
}

CustomerRecord* host_owner_at(uint32_t index) { return owners[index]; }

uint32_t host_owner_count() { return owner_count; }
