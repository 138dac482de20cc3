#include "tally/host_table.h"

#include <cstring>

HostEntry host_table[HOST_TABLE_SIZE];

void host_table_clear() { memset(host_table, 0, sizeof host_table); }

uint32_t host_insert(uint32_t address, CustomerRecord* owner) {
  uint32_t i = host_hash(address);
  uint32_t steps = 0;
  while (host_table[i].address != 0) {
    i = (i + HOST_PROBE_STEP) % HOST_TABLE_SIZE;
    steps++;
  }
  // Address 0 is the empty marker: its slot stays empty.
  if (address != 0) {
    host_table[i].address = address;
    host_table[i].owner = owner;
  }
  return steps;
}

int32_t host_lookup(uint32_t address) {
  uint32_t i = host_hash(address);
  while (host_table[i].address != 0) {  // the empty test comes first
    if (host_table[i].address == address) return int32_t(i);
    i = (i + HOST_PROBE_STEP) % HOST_TABLE_SIZE;
  }
  return -1;
}
