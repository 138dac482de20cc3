#include "tally/host_table.h"

#include <sys/mman.h>

#include <cstddef>
#include <cstring>

// Lookups hit the table at random. In small pages nearly every probe would
// also miss the TLB, and on a virtual machine each miss is a nested page
// walk; in 2 MiB pages the whole table needs 30 TLB entries. Both arrays
// start on a 2 MiB boundary so that they can be backed by huge pages: BSD
// systems promote such mappings by themselves, Linux when asked with
// madvise (below). Where neither happens they work in small pages as well.
static constexpr size_t HUGE_PAGE_SIZE = 2 * 1024 * 1024;

alignas(HUGE_PAGE_SIZE) HostEntry host_table[HOST_TABLE_SIZE];
alignas(HUGE_PAGE_SIZE) uint32_t host_slot_address[HOST_TABLE_SIZE];
uint64_t host_held_blocks[65536 / 64];

void host_table_clear() {
#ifdef MADV_HUGEPAGE
  // Before the first touch: pages already faulted in stay small. A failure
  // (no transparent huge pages in this kernel) leaves small pages.
  static bool advised;
  if (!advised) {
    madvise(host_table, sizeof host_table, MADV_HUGEPAGE);
    madvise(host_slot_address, sizeof host_slot_address, MADV_HUGEPAGE);
    advised = true;
  }
#endif
  memset(host_table, 0, sizeof host_table);
  memset(host_slot_address, 0, sizeof host_slot_address);
  memset(host_held_blocks, 0, sizeof host_held_blocks);
}

// The next slot of a probe sequence; i is below HOST_TABLE_SIZE.
static uint32_t next_probe(uint32_t i) {
  i += HOST_PROBE_STEP;
  return i >= HOST_TABLE_SIZE ? i - HOST_TABLE_SIZE : i;
}

uint32_t host_insert(uint32_t address, CustomerRecord* owner) {
  uint32_t i = host_hash(address);
  uint32_t steps = 0;
  while (host_slot_address[i] != 0) {
    i = next_probe(i);
    steps++;
  }
  // Address 0 is the empty marker: its slot stays empty.
  if (address != 0) {
    host_slot_address[i] = address;
    host_held_blocks[address >> 22] |= uint64_t{1} << (address >> 16 & 63);
    host_table[i].address = address;
    host_table[i].owner = owner;
  }
  return steps;
}

int32_t host_lookup(uint32_t address) {
  if (!host_block_held(address)) return -1;
  uint32_t i = host_hash(address);
  for (uint32_t a; (a = host_slot_address[i]) != 0; i = next_probe(i))  // the empty test first
    if (a == address) return int32_t(i);
  return -1;
}
