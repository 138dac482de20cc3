// The HostTable: one slot for every single address of our supernets, in a
// fixed open-addressing array that lives for the whole run. Slots are never
// emptied or moved, so an index found once stays valid.
#pragma once

#include <cstdint>

struct CustomerRecord;

constexpr uint32_t HOST_TABLE_SIZE = 786433;  // prime
constexpr uint32_t HOST_PROBE_STEP = 88919;   // prime, below the size
// One slot must stay empty so that a lookup of an absent address ends.
constexpr uint32_t HOST_TABLE_CAPACITY = HOST_TABLE_SIZE - 1;

struct HostEntry {
  uint64_t address;  // host order; 0 marks an empty slot
  uint64_t bytes_in;  // crossing flows: bytes received from outside
  uint64_t bytes_out;  // crossing flows: bytes sent outside
  CustomerRecord* owner;  // not owned; DEFAULT until a customer claims it
  uint64_t first_seen;  // earliest crossing start, epoch seconds; 0 = none yet
  uint64_t last_seen;  // latest crossing end, epoch seconds
  uint64_t packets_in;
  uint64_t packets_out;
  uint64_t internal_bytes_in;  // from other addresses of the table
  uint64_t internal_bytes_out;  // to other addresses of the table
};

extern HostEntry host_table[HOST_TABLE_SIZE];

// The address of every slot once more, 4 bytes each beside the 80-byte
// entries: a lookup walks its probe sequence here, in 3 MB instead of 63,
// and touches an entry only once it has found the address. host_insert and
// host_table_clear keep it equal to the entries' address fields; nothing
// else may write either.
extern uint32_t host_slot_address[HOST_TABLE_SIZE];

// Empties every slot and zeroes every field.
void host_table_clear();

// The home slot of a host-order address.
constexpr uint32_t host_hash(uint32_t a) {
  return (a ^ (a >> 23) ^ (a >> 15) ^ (a >> 7)) % HOST_TABLE_SIZE;
}

// One bit for each /16 of the address space, set once any address of that
// /16 is inserted: a lookup of an address in a /16 that holds none (most
// outside addresses) answers -1 from these 8 KB without walking a probe
// sequence. host_insert and host_table_clear keep it.
extern uint64_t host_held_blocks[65536 / 64];

// Whether any address of the address's /16 is held.
inline bool host_block_held(uint32_t address) {
  return (host_held_blocks[address >> 22] >> (address >> 16 & 63) & 1) != 0;
}

// Starts loading the home slot of an address into the cache, so that its
// lookup a little later does not wait for memory.
inline void host_prefetch(uint32_t address) {
  if (host_block_held(address))
    __builtin_prefetch(&host_slot_address[host_hash(address)]);
}

// Stores address and owner in the first empty slot of the address's probe
// sequence, without looking for an equal address. Returns the number of
// occupied slots passed. The caller keeps at least one slot empty.
uint32_t host_insert(uint32_t address, CustomerRecord* owner);

// The index of the slot that holds address, or -1 when it is absent (always
// for address 0, which marks an empty slot).
int32_t host_lookup(uint32_t address);
