// The owners that the HostTable's slots refer to: each slot keeps a 4-byte
// index into this list instead of an 8-byte pointer. Index 0 is nullptr,
// the owner of every empty slot; the DEFAULT record and the customers
// that claim addresses are added while the definitions are read. Only
// host_owners.cc writes the list.
#pragma once

#include <cstdint>

struct CustomerRecord;

// Empties the list: index 0 (nullptr) is all it holds afterwards.
void host_owners_clear();

// Adds an owner and returns its index; exits 1 with a perror report when
// the list cannot grow.
uint32_t host_owner_add(CustomerRecord* owner);

// How many owners the list holds, nullptr included.
uint32_t host_owner_count();

// The owner at an index that host_owner_add returned (or 0: nullptr).
CustomerRecord* host_owner_at(uint32_t index);
