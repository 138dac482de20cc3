// The HostTable: one slot for every single address of our supernets, in an
// open-addressing array that lives for the whole run. Slots are never
// emptied or moved, so an index found once stays valid.
//
// Supernets of at most HOST_TABLE_CAPACITY addresses, every duplicate
// counted, live in the fixed table of HOST_TABLE_SIZE slots. Larger ones
// get one table made for them by host_table_make, whose size follows from
// their total alone (host_table_size_for). Both hash an address the same
// way, modulo their own size, and probe with the same step.
#pragma once

#include <cstddef>
#include <cstdint>

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

// Memory of one slot: its entry, its address and its owner reference.
constexpr uint64_t HOST_SLOT_BYTES = sizeof(HostEntry) + 2 * sizeof(uint32_t);

// The table as made, host_table_size slots, each array indexed by slot:
// - host_table: the counters;
// - host_slot_address: the address, host order, 0 for an empty slot; a
//   lookup walks its probe sequence here, 4 bytes a slot, and touches an
//   entry only once it has found the address. One element more, at index
//   host_table_size, is always 0: a lookup that knows its address is
//   absent may read it instead of branching;
// - host_slot_owner: the owner, as an index into host_owners.
// host_insert and host_table_clear write the addresses; nothing else may.
extern HostEntry* host_table;
extern uint32_t* host_slot_address;
extern uint32_t* host_slot_owner;
extern uint32_t host_table_size;

// The owners that slots refer to, 4 bytes a slot instead of a pointer's 8.
// host_owners[0] is nullptr, the owner of every empty slot; the others are
// added by host_owner_add (or by host_insert for an owner not seen yet).
extern CustomerRecord** host_owners;
// Adds an owner and returns its index; exits 1 with a perror report when
// the list cannot grow.
uint32_t host_owner_add(CustomerRecord* owner);
inline CustomerRecord* host_owner(uint32_t slot) { return host_owners[host_slot_owner[slot]]; }

// Empties every slot and zeroes every field, and makes the fixed table of
// HOST_TABLE_SIZE slots the table again.
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

// Replaces the empty table by an empty table of `slots` slots, from
// host_table_size_for, allocated once with mmap. On failure writes
// failure_label with perror's form and exits 1.
void host_table_make(uint32_t slots, const char* failure_label);

// The shift-and-XOR mix of an address; a home slot is it modulo the size.
constexpr uint32_t host_mix(uint32_t a) { return a ^ (a >> 23) ^ (a >> 15) ^ (a >> 7); }

// The home slot of a host-order address in the fixed table.
constexpr uint32_t host_hash(uint32_t a) { return host_mix(a) % HOST_TABLE_SIZE; }

// Code that walks the table comes in two versions: one for the fixed size,
// where the compiler turns the modulus by a constant into multiplications,
// and one for a size known at run time (SIZE = HOST_SIZE_AT_RUN_TIME),
// which uses a reciprocal computed when the table is made.
constexpr uint32_t HOST_SIZE_AT_RUN_TIME = 0;

// 2^64 / size, rounded up, for host_remainder; size is not a power of 2.
constexpr uint64_t host_reciprocal(uint32_t size) { return UINT64_MAX / size + 1; }

// h modulo size, without a division: for a 32-bit dividend and divisor,
// the high half of the reciprocal's low product with h, times size, is
// exactly the remainder.
constexpr uint32_t host_remainder(uint32_t h, uint32_t size, uint64_t reciprocal) {
  uint64_t low = reciprocal * h;
  return uint32_t((unsigned __int128)low * size >> 64);
}

extern uint64_t host_size_reciprocal;  // host_reciprocal(host_table_size)

// The home slot of an address in the table as made.
template <uint32_t SIZE>
inline uint32_t host_home(uint32_t a) {
  if constexpr (SIZE != HOST_SIZE_AT_RUN_TIME)
    return host_mix(a) % SIZE;
  else
    return host_remainder(host_mix(a), host_table_size, host_size_reciprocal);
}

// The next slot of a probe sequence; i is below the size.
template <uint32_t SIZE>
inline uint32_t host_next(uint32_t i) {
  uint32_t size = SIZE != HOST_SIZE_AT_RUN_TIME ? SIZE : host_table_size;
  i += HOST_PROBE_STEP;
  return i >= size ? i - size : i;
}

// Which addresses the table holds, for each /16 and each /24 of the address
// space, 2 bits each: HOST_NONE, HOST_PARTLY or HOST_ALL. host_insert
// marks each address's /16 at least HOST_PARTLY; host_table_seal marks
// both levels exactly, from the ranges of held addresses.
constexpr uint32_t HOST_NONE = 0, HOST_PARTLY = 1, HOST_ALL = 3;
extern uint64_t host_coverage16[65536 / 32];
extern uint64_t host_coverage24[(uint32_t{1} << 24) / 32];

inline uint32_t host_block_coverage(uint32_t address) {
  return uint32_t(host_coverage16[address >> 21] >> (address >> 15 & 62)) & 3;
}

// Whether any address of the address's /16 is held.
inline bool host_block_held(uint32_t address) { return host_block_coverage(address) != HOST_NONE; }

// The held addresses as ranges, in the order of insertion (a run of
// consecutive insertions is one range). Sorted and merged by
// host_table_seal; address 0 never appears.
struct AddressRange {
  uint32_t first, last;  // 32 bits: as many ranges as slots must stay small
  uint32_t rank;  // of first among the held addresses; set by sealing the fixed table
};
extern AddressRange* host_ranges;
extern size_t host_range_count;

// Whether host_table_seal has run since the last insertion. A sealed table
// answers an absent address from its coverage and ranges, without
// probing; an unsealed one walks the probe sequence to an empty slot.
extern bool host_sealed;

// Sorts and merges host_ranges and marks the coverage of every /16 and /24
// exactly, so that lookups can tell absent addresses without probing.
void host_table_seal();

// Whether the address lies in one of host_ranges, which are sorted.
bool host_in_ranges(uint32_t address);

// Whether an address whose /16 is held in part is held, in a sealed
// table: from its /24's coverage, else the ranges. Every held address but
// 0 lies in a range, and every address in a range is held.
inline bool host_held_in_part(uint32_t address) {
  uint32_t c = uint32_t(host_coverage24[address >> 13] >> (address >> 7 & 62)) & 3;
  if (c != HOST_PARTLY) return c != HOST_NONE;
  return host_in_ranges(address);
}

// Whether the address is held, exactly, in a sealed table.
inline bool host_held(uint32_t address) {
  uint32_t c = host_block_coverage(address);
  if (c != HOST_PARTLY) [[likely]]
    return c != HOST_NONE;
  return host_held_in_part(address);
}

// The fixed table, sealed, also knows the slot of every held address by
// its rank, its place among the held addresses in address order: a lookup
// costs one load however full the table, where a probe sequence in a
// nearly full table can pass thousands of taken slots. It takes 4 bytes an
// address; a table made at run time is at most two-thirds full and goes
// without. host_rank_slot[HOST_RANK_NONE] holds -1, the answer for an
// absent address.
constexpr uint32_t HOST_RANK_NONE = HOST_TABLE_CAPACITY;
extern uint32_t host_rank_slot[HOST_TABLE_CAPACITY + 1];
// For a /16 held whole, the rank of the /16's address 0, modulo 2^32.
extern uint32_t host_rank16[65536];

// The rank of a held address, from the ranges.
uint32_t host_rank_in_ranges(uint32_t address);

// The rank of an address that the sealed fixed table holds.
inline uint32_t host_rank(uint32_t address) {
  if (host_block_coverage(address) == HOST_ALL) return host_rank16[address >> 16] + (address & 0xFFFF);
  return host_rank_in_ranges(address);
}

// Stores address and owner in the first empty slot of the address's probe
// sequence, without looking for an equal address. Returns the number of
// occupied slots passed. The caller keeps at least one slot empty.
uint32_t host_insert(uint32_t address, CustomerRecord* owner);

// host_lookup in a table of SIZE slots (see host_home).
template <uint32_t SIZE>
inline int32_t host_lookup_sized(uint32_t address) {
  if (host_sealed) {
    if (!host_held(address)) return -1;
    if constexpr (SIZE == HOST_TABLE_SIZE) return int32_t(host_rank_slot[host_rank(address)]);
  } else if (!host_block_held(address)) {
    return -1;
  }
  uint32_t i = host_home<SIZE>(address);
  for (uint32_t a; (a = host_slot_address[i]) != 0; i = host_next<SIZE>(i))  // the empty test first
    if (a == address) return int32_t(i);
  return -1;
}

// The index of the slot that holds address, or -1 when it is absent (always
// for address 0, which marks an empty slot).
int32_t host_lookup(uint32_t address);
