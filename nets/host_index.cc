#include "nets/host_index.h"

#include <algorithm>
#include <cstring>

#include "nets/run_array.h"

static HostIndex index_;
const HostIndex& host_index = index_;

static AddressRange* ranges;
static size_t range_count;
static size_t range_capacity;

void host_index_clear() {
  // Only the /16s that hold an address have /24s marked: 64 bytes each.
  for (uint32_t b = 0; b < 65536; b++)
    if (host_coverage16(b << 16) != HOST_NONE)
      memset(&index_.coverage24[b * 8], 0, 8 * sizeof(uint64_t));
  memset(index_.coverage16, 0, sizeof index_.coverage16);
  range_count = 0;
  index_.ranges = ranges;
  index_.range_count = 0;
  index_.held = 0;
  index_.built = false;
}

void host_index_add(uint32_t first, uint32_t last) {
  grow_run_array(&ranges, &range_capacity, range_count + 1, "realloc");
  ranges[range_count++] = {first, last, 0};
}

// Sets the 2-bit mark of block b in map to c.
static void set_coverage(uint64_t* map, uint32_t b, uint32_t c) {
  uint64_t& w = map[b >> 5];
  unsigned shift = (b & 31) * 2;
  w = (w & ~(uint64_t{3} << shift)) | uint64_t{c} << shift;
}

// Marks the blocks of 2^bits addresses that a range touches: HOST_ALL for
// those inside it, HOST_PARTLY for the one or two it covers in part.
// Merged ranges have a gap between them, so no block that one range covers
// whole is touched by another.
static void mark_range(uint64_t* map, unsigned bits, const AddressRange& r) {
  for (uint64_t b = r.first >> bits; b <= r.last >> bits; b++) {
    uint64_t first = b << bits, last = first + (uint64_t{1} << bits) - 1;
    if (first >= r.first && last <= r.last) set_coverage(map, uint32_t(b), HOST_ALL);
    else if ((map[b >> 5] >> (b & 31) * 2 & 3) != HOST_ALL) set_coverage(map, uint32_t(b), HOST_PARTLY);
  }
}

void host_index_build() {
  AddressRange* r = ranges;
  std::sort(r, r + range_count,
            [](const AddressRange& a, const AddressRange& b) { return a.first < b.first; });
  size_t n = 0;
  for (size_t i = 0; i < range_count; i++) {
    if (n > 0 && r[i].first <= uint64_t{r[n - 1].last} + 1)
      r[n - 1].last = std::max(r[n - 1].last, r[i].last);
    else r[n++] = r[i];
  }
  range_count = n;
  uint64_t rank = 0;
  for (size_t i = 0; i < n; i++) {
    r[i].rank = uint32_t(rank);
    mark_range(index_.coverage16, 16, r[i]);
    mark_range(index_.coverage24, 8, r[i]);
    for (uint64_t b = (uint64_t{r[i].first} + 0xFFFF) >> 16; (b << 16 | 0xFFFF) <= r[i].last; b++)
      index_.rank16[b] = r[i].rank + uint32_t(b << 16) - r[i].first;
    rank += uint64_t{r[i].last} - r[i].first + 1;
  }
  index_.ranges = r;
  index_.range_count = n;
  index_.held = rank;
  index_.built = true;
}

// The range after the last one that starts at or below the address: the
// first range when none does.
static const AddressRange* range_after(uint32_t address) {
  return std::upper_bound(ranges, ranges + range_count, address,
                          [](uint32_t a, const AddressRange& range) { return a < range.first; });
}

bool host_in_ranges(uint32_t address) {
  const AddressRange* r = range_after(address);
  return r != ranges && r[-1].last >= address;
}

uint32_t host_rank_in_ranges(uint32_t address) {
  const AddressRange* r = range_after(address) - 1;  // a held address lies in it
  return r->rank + (address - r->first);
}
