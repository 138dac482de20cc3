#include "tally/host_table.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "tally/output.h"
#include "tally/run_array.h"

// Lookups hit the table at random. In small pages nearly every probe would
// also miss the TLB, and on a virtual machine each miss is a nested page
// walk; in 2 MiB pages the fixed table needs 28 TLB entries. Its arrays,
// and the mapping of a table made at run time, start on a 2 MiB boundary
// so that they can be backed by huge pages: BSD systems promote such
// mappings by themselves, Linux when asked with madvise (below). Where
// neither happens they work in small pages as well.
static constexpr size_t HUGE_PAGE_SIZE = 2 * 1024 * 1024;

// The fixed table lies in zero-filled static storage, which costs no memory
// until it is touched: a run that makes a table of its own never touches it.
alignas(HUGE_PAGE_SIZE) static HostEntry fixed_table[HOST_TABLE_SIZE];
alignas(HUGE_PAGE_SIZE) static uint32_t fixed_slot_address[HOST_TABLE_SIZE + 1];
alignas(HUGE_PAGE_SIZE) static uint32_t fixed_slot_owner[HOST_TABLE_SIZE];
static bool fixed_written;  // since the last clear

HostEntry* host_table = fixed_table;
uint32_t* host_slot_address = fixed_slot_address;
uint32_t* host_slot_owner = fixed_slot_owner;
uint32_t host_table_size = HOST_TABLE_SIZE;
uint64_t host_size_reciprocal = host_reciprocal(HOST_TABLE_SIZE);

// The mapping of a table made at run time, as mmap returned it.
static void* made_mapping;
static size_t made_length;

uint64_t host_coverage16[65536 / 32];
uint64_t host_coverage24[(uint32_t{1} << 24) / 32];

uint32_t host_rank_slot[HOST_TABLE_CAPACITY + 1];
uint32_t host_rank16[65536];

AddressRange* host_ranges;
size_t host_range_count;
static size_t range_capacity;
static bool ranges_in_order = true;  // sorted, disjoint and not adjacent
bool host_sealed = true;

CustomerRecord** host_owners;
static uint32_t owner_count;
static uint32_t owner_capacity;
static uint32_t last_owner;  // the index host_insert used last

uint32_t host_owner_add(CustomerRecord* owner) {
  grow_run_array(&host_owners, &owner_capacity, owner_count + 1, "realloc");
  host_owners[owner_count] = owner;
  last_owner = owner_count;
  return owner_count++;
}

// The index of an owner, added when it is new. Loading inserts every
// address with the same owner, so the last one is tried first.
static uint32_t owner_index(CustomerRecord* owner) {
  if (host_owners[last_owner] == owner) return last_owner;
  for (uint32_t i = owner_count; i-- > 0;)
    if (host_owners[i] == owner) return last_owner = i;
  return host_owner_add(owner);
}

static void release_made_table() {
  if (made_mapping) munmap(made_mapping, made_length);
  made_mapping = nullptr;
  made_length = 0;
}

// Makes the coverage and the ranges say that nothing is held, and empties
// the owner list.
static void clear_index() {
  // Only the /16s that hold an address have /24s marked: 64 bytes each.
  for (uint32_t b = 0; b < 65536; b++)
    if (host_block_held(b << 16)) memset(&host_coverage24[b * 8], 0, 8 * sizeof(uint64_t));
  memset(host_coverage16, 0, sizeof host_coverage16);
  host_range_count = 0;
  ranges_in_order = true;
  host_sealed = true;
  host_rank_slot[HOST_RANK_NONE] = UINT32_MAX;
  owner_count = 0;
  host_owner_add(nullptr);
  last_owner = 0;
}

void host_table_clear() {
#ifdef MADV_HUGEPAGE
  // Before the first touch: pages already faulted in stay small. A failure
  // (no transparent huge pages in this kernel) leaves small pages.
  static bool advised;
  if (!advised) {
    madvise(fixed_table, sizeof fixed_table, MADV_HUGEPAGE);
    madvise(fixed_slot_address, sizeof fixed_slot_address, MADV_HUGEPAGE);
    madvise(fixed_slot_owner, sizeof fixed_slot_owner, MADV_HUGEPAGE);
    advised = true;
  }
#endif
  release_made_table();
  if (fixed_written) {
    memset(fixed_table, 0, sizeof fixed_table);
    memset(fixed_slot_address, 0, sizeof fixed_slot_address);
    memset(fixed_slot_owner, 0, sizeof fixed_slot_owner);
    fixed_written = false;
  }
  host_table = fixed_table;
  host_slot_address = fixed_slot_address;
  host_slot_owner = fixed_slot_owner;
  host_table_size = HOST_TABLE_SIZE;
  host_size_reciprocal = host_reciprocal(HOST_TABLE_SIZE);
  clear_index();
}

static bool is_prime(uint64_t n) {
  if (n < 2) return false;
  if (n % 2 == 0) return n == 2;
  for (uint64_t d = 3; d * d <= n; d += 2)
    if (n % d == 0) return false;
  return true;
}

uint64_t host_table_size_for(uint64_t addresses) {
  if (addresses <= HOST_TABLE_CAPACITY) return HOST_TABLE_SIZE;
  uint64_t n = host_slots_at_least(addresses);
  while (!is_prime(n)) n++;
  return n;
}

void host_table_make(uint32_t slots, const char* failure_label) {
  release_made_table();
  size_t length = size_t(slots) * HOST_SLOT_BYTES + sizeof(uint32_t);  // and the 0 past the end
  // Room to start the table on a huge page boundary.
  void* p = mmap(nullptr, length + HUGE_PAGE_SIZE, PROT_READ | PROT_WRITE,
                 MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) fail_perror(failure_label);
  made_mapping = p;
  made_length = length + HUGE_PAGE_SIZE;
  uintptr_t at = (reinterpret_cast<uintptr_t>(p) + HUGE_PAGE_SIZE - 1) & ~uintptr_t{HUGE_PAGE_SIZE - 1};
  char* base = reinterpret_cast<char*>(at);
#ifdef MADV_HUGEPAGE
  madvise(base, length, MADV_HUGEPAGE);
#endif
  // The entries first, so that each stays on a line of its own; fresh
  // pages are zero.
  host_table = reinterpret_cast<HostEntry*>(base);
  host_slot_address = reinterpret_cast<uint32_t*>(base + size_t(slots) * sizeof(HostEntry));
  host_slot_owner = host_slot_address + slots + 1;
  host_table_size = slots;
  host_size_reciprocal = host_reciprocal(slots);
  clear_index();
}

// Notes an inserted address: its /16 now holds one, and it joins the last
// range when it extends it or lies inside it (a duplicate).
static void note_held(uint32_t address) {
  host_coverage16[address >> 21] |= uint64_t{HOST_PARTLY} << (address >> 15 & 62);
  host_sealed = false;
  if (host_range_count > 0) {
    AddressRange& r = host_ranges[host_range_count - 1];
    if (address >= r.first && address <= uint64_t{r.last} + 1) {
      r.last = std::max(r.last, address);
      return;
    }
    if (address < r.first) ranges_in_order = false;
  }
  grow_run_array(&host_ranges, &range_capacity, host_range_count + 1, "realloc");
  host_ranges[host_range_count++] = {address, address, 0};
}

template <uint32_t SIZE>
static uint32_t insert_sized(uint32_t address, CustomerRecord* owner) {
  uint32_t i = host_home<SIZE>(address);
  uint32_t steps = 0;
  while (host_slot_address[i] != 0) {
    i = host_next<SIZE>(i);
    steps++;
  }
  // Address 0 is the empty marker: its slot stays empty.
  if (address != 0) {
    host_slot_address[i] = address;
    host_slot_owner[i] = owner_index(owner);
    note_held(address);
  }
  return steps;
}

uint32_t host_insert(uint32_t address, CustomerRecord* owner) {
  if (host_table_size != HOST_TABLE_SIZE) return insert_sized<HOST_SIZE_AT_RUN_TIME>(address, owner);
  fixed_written = true;
  return insert_sized<HOST_TABLE_SIZE>(address, owner);
}

int32_t host_lookup(uint32_t address) {
  if (host_table_size != HOST_TABLE_SIZE) return host_lookup_sized<HOST_SIZE_AT_RUN_TIME>(address);
  return host_lookup_sized<HOST_TABLE_SIZE>(address);
}

// Sets the 2-bit coverage of block b in map to c.
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
    set_coverage(map, uint32_t(b), first >= r.first && last <= r.last ? HOST_ALL : HOST_PARTLY);
  }
}

// Gives every range of the fixed table its rank and every held address
// its slot by rank: the first copy's, which lookups find.
static void index_ranks() {
  uint32_t rank = 0;
  for (size_t k = 0; k < host_range_count; k++) {
    AddressRange& r = host_ranges[k];
    r.rank = rank;
    for (uint64_t b = (uint64_t{r.first} + 0xFFFF) >> 16; (b << 16 | 0xFFFF) <= r.last; b++)
      host_rank16[b] = r.rank + uint32_t(b << 16) - r.first;
    for (uint64_t x = r.first; x <= r.last; x++) {
      uint32_t i = host_home<HOST_TABLE_SIZE>(uint32_t(x));
      while (host_slot_address[i] != x) i = host_next<HOST_TABLE_SIZE>(i);
      host_rank_slot[rank++] = i;
    }
  }
  host_rank_slot[HOST_RANK_NONE] = UINT32_MAX;
}

void host_table_seal() {
  AddressRange* r = host_ranges;
  if (!ranges_in_order) {
    std::sort(r, r + host_range_count,
              [](const AddressRange& a, const AddressRange& b) { return a.first < b.first; });
    size_t n = 0;
    for (size_t i = 0; i < host_range_count; i++) {
      if (n > 0 && r[i].first <= uint64_t{r[n - 1].last} + 1)
        r[n - 1].last = std::max(r[n - 1].last, r[i].last);
      else r[n++] = r[i];
    }
    host_range_count = n;
    ranges_in_order = true;
  }
  // Coverage only grows while addresses are added, so marking every range
  // again leaves no block marked too high.
  for (size_t i = 0; i < host_range_count; i++) {
    mark_range(host_coverage16, 16, r[i]);
    mark_range(host_coverage24, 8, r[i]);
  }
  if (host_table_size == HOST_TABLE_SIZE) index_ranks();
  host_sealed = true;
}

// The range after the last one that starts at or below the address:
// host_ranges itself when none does.
static const AddressRange* range_after(uint32_t address) {
  return std::upper_bound(host_ranges, host_ranges + host_range_count, address,
                          [](uint32_t a, const AddressRange& range) { return a < range.first; });
}

bool host_in_ranges(uint32_t address) {
  const AddressRange* r = range_after(address);
  return r != host_ranges && r[-1].last >= address;
}

uint32_t host_rank_in_ranges(uint32_t address) {
  const AddressRange* r = range_after(address) - 1;  // a held address lies in it
  return r->rank + (address - r->first);
}
