// For tests of the table and of what uses it: fills the table with blocks
// of addresses through the calls load_networks makes, in its order.
#pragma once

#include <algorithm>
#include <cstdint>
#include <map>
#include <vector>

#include "nets/host_table.h"

struct TestBlock {
  uint64_t first, last;  // both included; a block that holds 0 places it (no slot)
  CustomerRecord* owner = nullptr;
};

// Clears the table, makes the table for the blocks' total (every duplicate
// counted, 0 not), builds the index of them, inserts every address of
// every block in order and seals the table. Returns the probe steps of
// each insertion, in order.
inline std::vector<uint32_t> place_blocks(const std::vector<TestBlock>& blocks) {
  host_table_clear();
  uint64_t total = 0;
  for (const TestBlock& b : blocks) total += b.last - std::max<uint64_t>(b.first, 1) + 1;
  host_table_for(total, "test");
  for (const TestBlock& b : blocks)
    if (b.last >= 1) host_index_add(uint32_t(std::max<uint64_t>(b.first, 1)), uint32_t(b.last));
  host_index_build();
  std::map<CustomerRecord*, uint32_t> owner_index;
  std::vector<uint32_t> steps;
  for (const TestBlock& b : blocks) {
    auto [it, added] = owner_index.try_emplace(b.owner, 0);
    if (added) it->second = host_owner_add(b.owner);
    for (uint64_t x = b.first; x <= b.last; x++) steps.push_back(host_insert(uint32_t(x), it->second));
  }
  host_table_seal();
  return steps;
}

// The blocks of single addresses.
inline std::vector<TestBlock> single_addresses(const std::vector<uint32_t>& addresses,
                                               CustomerRecord* owner = nullptr) {
  std::vector<TestBlock> blocks;
  for (uint32_t a : addresses) blocks.push_back({a, a, owner});
  return blocks;
}
