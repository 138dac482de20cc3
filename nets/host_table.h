// The HostTable: one slot for every single address of our supernets, in an
// open-addressing array that lives for the whole run. Slots are never
// emptied or moved, so an index found once stays valid.
//
// Supernets of at most HOST_TABLE_CAPACITY addresses, every duplicate
// counted, live in the fixed table of HOST_TABLE_SIZE slots: an address's
// home slot is its shift-and-XOR hash modulo that size, and a lookup goes
// from the address's rank (nets/host_index.h) to its slot through a list
// kept by rank. Larger supernets get a table made for them (host_table_for):
// there the n-th held address in address order has slot n as its home, so
// that no two supernets share home slots and a lookup goes straight from
// the rank to the slot. Both walk on from a taken home slot in steps of
// HOST_PROBE_STEP. Only host_table.cc writes the table's addresses, owners
// and layout; the accounting adds to the counters of the slots it finds.
#pragma once

#include <cstddef>
#include <cstdint>

#include "nets/host_index.h"
#include "nets/host_owners.h"

struct CustomerRecord;

constexpr uint32_t HOST_TABLE_SIZE = 786433;  // prime
constexpr uint32_t HOST_PROBE_STEP = 88919;   // prime, below every table's size
// One slot must stay empty so that an insertion always ends.
constexpr uint32_t HOST_TABLE_CAPACITY = HOST_TABLE_SIZE - 1;
// Slot indices are int32_t: no table has more slots than 2^31 - 1, a
// prime, and a table stays at most two-thirds full.
constexpr uint32_t HOST_TABLE_SIZE_MAX = 2147483647;
constexpr uint64_t HOST_TABLE_ADDRESSES_MAX = uint64_t{HOST_TABLE_SIZE_MAX} * 2 / 3;

// The counters of one slot: everything that the accounting changes for one
// end of a record, in one 64-byte cache line. The slot's address and owner
// live in arrays of their own.
struct alignas(64) HostEntry {
  uint64_t bytes_in;  // crossing flows: bytes received from outside
  uint64_t bytes_out;  // crossing flows: bytes sent outside
  uint64_t first_seen;  // earliest crossing start, epoch seconds; 0 = none yet
  uint64_t last_seen;  // latest crossing end, epoch seconds
  uint64_t packets_in;
  uint64_t packets_out;
  uint64_t internal_bytes_in;  // from other addresses of the table
  uint64_t internal_bytes_out;  // to other addresses of the table
};
static_assert(sizeof(HostEntry) == 64, "one cache line per entry");

// Memory of one slot: its entry, its address and its owner index.
constexpr uint64_t HOST_SLOT_BYTES = sizeof(HostEntry) + 2 * sizeof(uint32_t);

// The table as made; every array is indexed by slot.
struct HostTable {
  HostEntry* entries;  // the counters
  // The address, host order, 0 for an empty slot; a lookup compares here,
  // 4 bytes a slot, and touches an entry only once it has found the
  // address. One element more, at index `size`, is always 0.
  const uint32_t* addresses;
  const uint32_t* owners;  // the owner, as an index for host_owner_at
  // The fixed table's slot of each rank; at `absent`, UINT32_MAX (-1).
  const uint32_t* rank_slots;
  uint32_t size;
  // Where the lookup of an absent address starts (host_lookup_start): a
  // place whose answer is -1.
  uint32_t absent;
  bool fixed;  // the fixed table of HOST_TABLE_SIZE slots
  bool sealed;  // host_table_seal has run since the last insertion
};
// The table; read it and add to its counters, never write the rest.
extern const HostTable& host_table;

// Empties the table, its index and its owner list, and makes an empty
// fixed table of HOST_TABLE_SIZE slots the table again: every field of
// every slot is zero. Exits 1 with a perror report when the memory cannot
// be had.
void host_table_clear();

// 3/2 of `addresses`, rounded up (at most UINT64_MAX): the fewest slots
// that keep a table of them at most two-thirds full.
constexpr uint64_t host_slots_at_least(uint64_t addresses) {
  uint64_t half = addresses / 2 + addresses % 2;
  return addresses > UINT64_MAX - half ? UINT64_MAX : addresses + half;
}

// The number of slots for `addresses` supernet addresses, every duplicate
// counted: HOST_TABLE_SIZE up to HOST_TABLE_CAPACITY; beyond, the smallest
// prime that is at least 3/2 of the addresses, so that the table is at
// most two-thirds full. For at most HOST_TABLE_ADDRESSES_MAX addresses.
uint64_t host_table_size_for(uint64_t addresses);

// Makes the table for `addresses` supernet addresses, every duplicate
// counted, in a table just cleared: the fixed table stays for at most
// HOST_TABLE_CAPACITY; beyond, a table of host_table_size_for slots
// replaces it. Writes one line on standard error that starts with `source`
// and says how many addresses need how much memory, and exits 1, when the
// total is beyond the largest table, when the table is larger than the
// machine's memory or the memory limit of the process's control group
// (cgroup v1 or v2), or when the memory cannot be had.
void host_table_for(uint64_t addresses, const char* source);

// The home slot of a host-order address in the fixed table.
constexpr uint32_t host_hash(uint32_t a) {
  uint32_t h = a ^ (a >> 23) ^ (a >> 15) ^ (a >> 7);
  return h % HOST_TABLE_SIZE;
}

// Stores address and owner (an index from host_owner_add) in the first
// empty slot of the address's probe sequence, without looking for an equal
// address, and returns the number of occupied slots passed. Address 0 is
// the empty marker: its walk is counted in the fixed table, but it takes
// no slot. In a table made by host_table_for, the index must be built.
uint32_t host_insert(uint32_t address, uint32_t owner);

// Hands the slot to another owner (an index from host_owner_add).
void host_set_owner(uint32_t slot, uint32_t owner);

// The record that owns a slot.
inline CustomerRecord* host_owner(uint32_t slot) { return host_owner_at(host_table.owners[slot]); }

// Readies the table for lookups once every address is placed: in the fixed
// table, finds the slot of every rank.
void host_table_seal();

// All ones when x holds, else 0: the lookup's choices between held and
// absent are written with masks, since which end of a flow is ours follows
// no pattern and a branch would be mispredicted about every other record.
constexpr uint32_t all_ones(bool x) { return 0u - uint32_t(x); }

// The lookup, in two steps so that a batch can fetch between them. The
// start is settled by the index: the address's rank when it is held, else
// host_table.absent. Only a /16 held in part branches.
inline uint32_t host_lookup_start(uint32_t address) {
  uint32_t c = host_coverage16(address);
  if (c == HOST_PARTLY) [[unlikely]]
    return host_held_in_part(address) ? host_rank_in_ranges(address) : host_table.absent;
  uint32_t held = all_ones(c == HOST_ALL);
  // For an absent address the /16 of 0 is read, always in the cache.
  uint32_t rank = host_index.rank16[(address >> 16) & held] + (address & 0xFFFF);
  return (rank & held) | (host_table.absent & ~held);
}

// Where the finish step reads first, for a prefetch.
template <bool FIXED>
inline const uint32_t* host_lookup_word(uint32_t start) {
  return FIXED ? &host_table.rank_slots[start] : &host_table.addresses[start];
}

// The walk of a probe sequence from the home slot of an address in a
// table made by host_table_for, for one displaced by a duplicate.
int32_t host_walk_from(uint32_t address, uint32_t home);

// The slot of the address whose lookup started at `start`, or -1. FIXED is
// host_table.fixed. In the fixed table the slot by rank; in a made one the
// address is found in its home slot, is absent (the 0 at `absent`), or,
// rarely, was displaced by a duplicate and is walked to.
template <bool FIXED>
inline int32_t host_lookup_finish(uint32_t address, uint32_t start) {
  if constexpr (FIXED) {
    return int32_t(host_table.rank_slots[start]);
  } else {
    uint32_t a = host_table.addresses[start];
    if (a != address && a != 0) [[unlikely]]
      return host_walk_from(address, start);
    return int32_t(start | all_ones(a == 0));  // start, or -1
  }
}

// The index of the slot that holds address, or -1 when it is absent (always
// for address 0, which marks an empty slot). The table must be sealed.
int32_t host_lookup(uint32_t address);
