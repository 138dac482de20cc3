#include "nets/host_table.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cassert>
#include <cstdio>
#include <cstdlib>

#include "nets/memory_limit.h"
#include "nets/output.h"

// Lookups hit the table at random. In small pages nearly every probe would
// also miss the TLB, and on a virtual machine each miss is a nested page
// walk; in 2 MiB pages the fixed table needs 28 TLB entries. A table's
// mapping therefore starts on a 2 MiB boundary so that it can be backed by
// huge pages: BSD systems promote such mappings by themselves, Linux when
// asked with madvise (below). Where neither happens they work in small
// pages as well. Fresh pages are zero and cost no memory until touched.
static constexpr size_t HUGE_PAGE_SIZE = 2 * 1024 * 1024;

static HostEntry* entries;
static uint32_t* addresses;
static uint32_t* owners;
// The fixed table's slot of each rank, and -1 for an absent address.
static uint32_t rank_slots[HOST_TABLE_CAPACITY + 1];

static HostTable table_;
const HostTable& host_table = table_;

// The table's mapping, as mmap returned it.
static void* mapping;
static size_t mapping_length;

// Maps an empty table of `slots` slots. Returns false, with errno set, when
// the memory cannot be had.
static bool map_table(uint32_t slots) {
  if (mapping) munmap(mapping, mapping_length);
  mapping = nullptr;
  size_t length = size_t(slots) * HOST_SLOT_BYTES + sizeof(uint32_t);  // and the 0 past the end
  // Room to start the table on a huge page boundary.
  void* p = mmap(nullptr, length + HUGE_PAGE_SIZE, PROT_READ | PROT_WRITE,
                 MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) return false;
  mapping = p;
  mapping_length = length + HUGE_PAGE_SIZE;
  uintptr_t at = (reinterpret_cast<uintptr_t>(p) + HUGE_PAGE_SIZE - 1) & ~uintptr_t{HUGE_PAGE_SIZE - 1};
  char* base = reinterpret_cast<char*>(at);
#ifdef MADV_HUGEPAGE
  // Before the first touch: pages already faulted in stay small. A failure
  // (no transparent huge pages in this kernel) leaves small pages.
  madvise(base, length, MADV_HUGEPAGE);
#endif
  // The entries first, so that each stays on a line of its own.
  entries = reinterpret_cast<HostEntry*>(base);
  addresses = reinterpret_cast<uint32_t*>(base + size_t(slots) * sizeof(HostEntry));
  owners = addresses + slots + 1;
  table_.entries = entries;
  table_.addresses = addresses;
  table_.owners = owners;
  table_.rank_slots = rank_slots;
  table_.size = slots;
  table_.fixed = slots == HOST_TABLE_SIZE;
  table_.absent = table_.fixed ? HOST_TABLE_CAPACITY : slots;
  table_.sealed = false;
  rank_slots[HOST_TABLE_CAPACITY] = UINT32_MAX;
  return true;
}

void host_table_clear() {
  if (!map_table(HOST_TABLE_SIZE)) fail_perror("mmap");
  host_index_clear();
  host_owners_clear();
}

static bool is_prime(uint64_t n) {
  if (n < 2) return false;
  if (n % 2 == 0) return n == 2;
  for (uint64_t d = 3; d * d <= n; d += 2)
    if (n % d == 0) return false;
  return true;
}

uint64_t host_table_size_for(uint64_t addresses_wanted) {
  if (addresses_wanted <= HOST_TABLE_CAPACITY) return HOST_TABLE_SIZE;
  uint64_t n = host_slots_at_least(addresses_wanted);
  while (!is_prime(n)) n++;
  return n;
}

static uint64_t mul_saturated(uint64_t a, uint64_t b) {
  return b != 0 && a > UINT64_MAX / b ? UINT64_MAX : a * b;
}

void host_table_for(uint64_t total, const char* source) {
  if (total <= HOST_TABLE_CAPACITY) return;
  if (total > HOST_TABLE_ADDRESSES_MAX) {
    // The smallest table the rule could give, a little below its prime.
    uint64_t slots = host_slots_at_least(total);
    err_printf("%s: %lu addresses need a table of at least %lu slots, %lu bytes of memory; "
               "the largest table holds %lu addresses\n",
               source, total, slots, mul_saturated(slots, HOST_SLOT_BYTES), HOST_TABLE_ADDRESSES_MAX);
    fail_exit();
  }
  uint64_t slots = host_table_size_for(total);
  uint64_t bytes = slots * HOST_SLOT_BYTES;
  char need[160];
  snprintf(need, sizeof need, "%s: %lu addresses need a table of %lu slots, %lu bytes of memory",
           source, total, slots, bytes);
  // A table larger than the machine's memory would be refused by mmap on
  // some systems, and swapped to death or killed on others.
  long pages = sysconf(_SC_PHYS_PAGES), page_size = sysconf(_SC_PAGE_SIZE);
  if (pages > 0 && page_size > 0 && bytes > uint64_t(pages) * uint64_t(page_size)) {
    err_printf("%s; this machine has %lu bytes\n", need, uint64_t(pages) * uint64_t(page_size));
    fail_exit();
  }
  // In a container the limit of its control group counts, which mmap does
  // not see: past it the kernel kills the process halfway through the
  // tally, without a word.
  uint64_t limit = cgroup_memory_limit(PROC_SELF_CGROUP, CGROUP_ROOT);
  if (bytes > limit) {
    err_printf("%s; the memory limit of this process's control group is %lu bytes\n", need, limit);
    fail_exit();
  }
  if (!map_table(uint32_t(slots))) fail_perror(need);
}

// The next slot of a probe sequence in a table of SIZE slots (0: the size
// of the table as made); i is below the size.
template <uint32_t SIZE>
static inline uint32_t next_slot(uint32_t i) {
  uint32_t size = SIZE != 0 ? SIZE : table_.size;
  i += HOST_PROBE_STEP;
  return i >= size ? i - size : i;
}

template <uint32_t SIZE>
static uint32_t insert_from(uint32_t home, uint32_t address, uint32_t owner) {
  uint32_t i = home;
  uint32_t steps = 0;
  while (addresses[i] != 0) {
    i = next_slot<SIZE>(i);
    steps++;
  }
  if (address != 0) {
    addresses[i] = address;
    owners[i] = owner;
  }
  table_.sealed = false;
  return steps;
}

uint32_t host_insert(uint32_t address, uint32_t owner) {
  if (table_.fixed) return insert_from<HOST_TABLE_SIZE>(host_hash(address), address, owner);
  if (address == 0) return 0;
  // The home slot is the address's rank among the held addresses.
  assert(host_index.built && host_held(address));
  return insert_from<0>(host_lookup_start(address), address, owner);
}

void host_set_owner(uint32_t slot, uint32_t owner) { owners[slot] = owner; }

int32_t host_walk_from(uint32_t address, uint32_t home) {
  for (uint32_t i = home, a; (a = addresses[i]) != 0; i = next_slot<0>(i))  // the empty test first
    if (a == address) return int32_t(i);
  return -1;
}

void host_table_seal() {
  if (table_.fixed) {
    // Every held address's slot by rank: the first copy's, which lies
    // earliest on its probe sequence.
    uint32_t rank = 0;
    for (size_t k = 0; k < host_index.range_count; k++) {
      const AddressRange& r = host_index.ranges[k];
      for (uint64_t x = r.first; x <= r.last; x++) {
        uint32_t i = host_hash(uint32_t(x));
        while (addresses[i] != x) i = next_slot<HOST_TABLE_SIZE>(i);
        rank_slots[rank++] = i;
      }
    }
  }
  table_.sealed = true;
}

int32_t host_lookup(uint32_t address) {
  assert(table_.sealed && host_index.built);
  uint32_t start = host_lookup_start(address);
  return table_.fixed ? host_lookup_finish<true>(address, start)
                      : host_lookup_finish<false>(address, start);
}
