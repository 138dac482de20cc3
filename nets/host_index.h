// Which addresses the HostTable holds, kept apart from its slots: the held
// addresses as sorted ranges, a 2-bit mark for every /16 and every /24 of
// the address space (none, part or all of it held), and the rank of every
// held address, its place among them in address order. A lookup settles
// most addresses from the /16's mark alone, the rest from the /24's mark or
// the ranges, so an absent address never touches the table, and a held one
// is found through its rank. Built once from the supernets, before the
// first address is placed; only host_index.cc writes it.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr uint32_t HOST_NONE = 0, HOST_PARTLY = 1, HOST_ALL = 3;

// A run of held addresses. 32 bits: there are as many ranges as entries of
// our.nets, which must stay small.
struct AddressRange {
  uint32_t first, last;
  uint32_t rank;  // of `first` among the held addresses
};

struct HostIndex {
  uint64_t coverage16[65536 / 32];  // 2 bits per /16
  uint64_t coverage24[(uint32_t{1} << 24) / 32];  // 2 bits per /24
  uint32_t rank16[65536];  // for a /16 held whole, the rank of its address 0
  const AddressRange* ranges;  // sorted, merged: gaps between them
  size_t range_count;
  uint64_t held;  // addresses held: ranks run from 0 to held - 1
  bool built;  // since the last clear
};
// The index as built; read it, never write it.
extern const HostIndex& host_index;

// Forgets every range and mark.
void host_index_clear();

// Notes that every address from first to last (first <= last, first > 0:
// address 0 is never held) is held. Exits 1 with a perror report when the
// list of ranges cannot grow.
void host_index_add(uint32_t first, uint32_t last);

// Sorts and merges the ranges, marks every /16 and /24 and gives every
// range and every /16 held whole its rank. After the last host_index_add.
void host_index_build();

// The 2-bit mark of an address's /16.
inline uint32_t host_coverage16(uint32_t address) {
  return uint32_t(host_index.coverage16[address >> 21] >> (address >> 15 & 62)) & 3;
}

// Whether the address lies in one of the ranges.
bool host_in_ranges(uint32_t address);

// The rank of a held address, from the ranges.
uint32_t host_rank_in_ranges(uint32_t address);

// Whether an address whose /16 is held in part is held: from its /24's
// mark, else the ranges.
inline bool host_held_in_part(uint32_t address) {
  uint32_t c = uint32_t(host_index.coverage24[address >> 13] >> (address >> 7 & 62)) & 3;
  if (c != HOST_PARTLY) return c != HOST_NONE;
  return host_in_ranges(address);
}

// Whether the address is held.
inline bool host_held(uint32_t address) {
  uint32_t c = host_coverage16(address);
  if (c != HOST_PARTLY) [[likely]]
    return c != HOST_NONE;
  return host_held_in_part(address);
}
