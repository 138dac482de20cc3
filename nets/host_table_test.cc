#include "nets/host_table.h"

#include <gtest/gtest.h>

#include <random>
#include <set>
#include <vector>

#include "nets/table_test_util.h"

namespace {

constexpr uint32_t ip(uint32_t a, uint32_t b, uint32_t c, uint32_t d) {
  return a << 24 | b << 16 | c << 8 | d;
}

CustomerRecord* const OWNER = reinterpret_cast<CustomerRecord*>(0x1000);
CustomerRecord* const LATER = reinterpret_cast<CustomerRecord*>(0x2000);

TEST(HostHash, Examples) {
  struct {
    uint32_t address, slot;
  } cases[] = {
      {ip(10, 0, 0, 1), 4926},          {ip(192, 0, 2, 10), 95086}, {ip(255, 255, 255, 255), 649430},
      {ip(0, 0, 0, 1), 1},              {0, 0},                     {ip(10, 4, 24, 47), 525101},
      {ip(10, 8, 0, 0), 525101},
  };
  for (const auto& c : cases) EXPECT_EQ(host_hash(c.address), c.slot) << c.address;
}

TEST(HostTable, SharedHomeSlotTakesTheNextProbe) {
  std::vector<uint32_t> steps = place_blocks(single_addresses({ip(10, 4, 24, 47), ip(10, 8, 0, 0)}, OWNER));
  EXPECT_EQ(steps, (std::vector<uint32_t>{0, 1}));
  EXPECT_EQ(host_lookup(ip(10, 4, 24, 47)), 525101);
  EXPECT_EQ(host_lookup(ip(10, 8, 0, 0)), 614020);
  EXPECT_EQ(host_owner(614020), OWNER);
}

// Two addresses whose home is `slot`, the smallest ones.
std::vector<uint32_t> two_with_home(uint32_t slot) {
  std::vector<uint32_t> found;
  for (uint32_t x = 1; found.size() < 2; x++)
    if (host_hash(x) == slot) found.push_back(x);
  return found;
}

TEST(HostTable, ProbeSequenceWraps) {
  // A second address with the home slot 700,000 lands on (700,000 +
  // 88,919) mod 786,433; from the last slot the sequence goes on at 88,918.
  std::vector<uint32_t> a = two_with_home(700000), c = two_with_home(HOST_TABLE_SIZE - 1);
  std::vector<uint32_t> steps = place_blocks(single_addresses({a[0], a[1], c[0], c[1]}, OWNER));
  EXPECT_EQ(steps, (std::vector<uint32_t>{0, 1, 0, 1}));
  EXPECT_EQ(host_lookup(a[1]), 2486);
  EXPECT_EQ(host_lookup(c[1]), 88918);
}

TEST(HostTable, DuplicatesTakeASecondSlotAndLookupsFindTheFirst) {
  uint32_t a = ip(192, 0, 2, 10);
  std::vector<uint32_t> steps = place_blocks({{a, a, OWNER}, {a, a, LATER}});
  EXPECT_EQ(steps[0], 0u);
  EXPECT_GE(steps[1], 1u);
  EXPECT_EQ(host_lookup(a), 95086);
  EXPECT_EQ(host_owner(95086), OWNER);
  EXPECT_EQ(host_table.addresses[(95086 + HOST_PROBE_STEP) % HOST_TABLE_SIZE], a);
}

TEST(HostTable, AddressZeroIsNeverHeld) {
  // 0's walk starts at slot 0 and takes no slot; the address whose home is
  // slot 0 then takes it, and a second 0 passes it.
  uint32_t x = two_with_home(0)[0];
  std::vector<uint32_t> steps = place_blocks({{0, 0, OWNER}, {x, x, OWNER}, {0, 0, OWNER}});
  EXPECT_EQ(steps, (std::vector<uint32_t>{0, 0, 1}));
  EXPECT_EQ(host_lookup(0), -1);
  EXPECT_EQ(host_lookup(x), 0);  // slot 0 is a valid index, not "absent"
}

TEST(HostTable, ClearEmptiesEverything) {
  place_blocks(single_addresses({ip(10, 0, 0, 1)}, OWNER));
  host_table.entries[4926].bytes_in = 5;
  place_blocks({});
  EXPECT_EQ(host_lookup(ip(10, 0, 0, 1)), -1);
  EXPECT_EQ(host_table.entries[4926].bytes_in, 0u);
  EXPECT_EQ(host_table.addresses[4926], 0u);
  EXPECT_EQ(host_owner(4926), nullptr);
}

// With every slot but one taken, a lookup of an absent address still ends,
// and the addresses far from home are found.
TEST(HostTable, AlmostFullTableStillAnswersAbsent) {
  place_blocks({{1, HOST_TABLE_CAPACITY, OWNER}});
  EXPECT_EQ(host_lookup(HOST_TABLE_CAPACITY + 1), -1);
  EXPECT_EQ(host_lookup(0), -1);
  for (uint32_t a : {1u, 2u, 4095u, HOST_TABLE_CAPACITY}) {
    int32_t i = host_lookup(a);
    ASSERT_GE(i, 0);
    EXPECT_EQ(host_table.addresses[i], a);
  }
}

TEST(HostTableSizeFor, FixedUpToItsCapacityThenThreeHalvesRoundedUpToAPrime) {
  struct {
    uint64_t addresses, slots;
  } cases[] = {
      {0, 786433},          {1, 786433},          {786431, 786433},
      {786432, 786433},     {786433, 1179677},    {786434, 1179677},
      {786688, 1180043},    {1048576, 1572869},   {2097152, 3145739},
      {9437184, 14155777},  {1431655763, 2147483647}, {1431655764, 2147483647},
  };
  for (const auto& c : cases) EXPECT_EQ(host_table_size_for(c.addresses), c.slots) << c.addresses;
  EXPECT_EQ(HOST_TABLE_ADDRESSES_MAX, 1431655764u);
}

// Every lookup against a plain set of the held addresses: found exactly
// when held, in a slot that holds it, the first copy's (its owner is OWNER,
// later copies' LATER).
void expect_lookups_match(const std::vector<TestBlock>& blocks, const std::vector<uint32_t>& probes) {
  std::set<uint32_t> held;
  for (const TestBlock& b : blocks)
    for (uint64_t x = std::max<uint64_t>(b.first, 1); x <= b.last; x++) held.insert(uint32_t(x));
  for (uint32_t a : probes) {
    int32_t i = host_lookup(a);
    ASSERT_EQ(i >= 0, held.count(a) == 1) << a;
    if (i < 0) continue;
    ASSERT_EQ(host_table.addresses[i], a) << a;
    ASSERT_EQ(host_owner(uint32_t(i)), OWNER) << a;
  }
}

// Probes around every block's edges and at random in and around them.
std::vector<uint32_t> probes_for(const std::vector<TestBlock>& blocks, uint32_t seed) {
  std::vector<uint32_t> probes = {0, 1, 2, 255, 256, 0xFFFFFFFE, 0xFFFFFFFF};
  std::mt19937 rng(seed);
  for (const TestBlock& b : blocks) {
    for (int64_t d = -2; d <= 2; d++) {
      probes.push_back(uint32_t(b.first + uint64_t(d)));
      probes.push_back(uint32_t(b.last + uint64_t(d)));
    }
    uint64_t span = b.last - b.first + 1;
    for (int i = 0; i < 500; i++) probes.push_back(uint32_t(b.first + rng() % (span + 512) - 256));
  }
  return probes;
}

// The index settles an address by its /16, its /24 or the ranges: blocks
// held whole, in part, or not at all at each level, merged out of order.
TEST(HostTable, LookupsFindExactlyTheHeldAddresses) {
  std::vector<TestBlock> blocks = {
      {ip(10, 1, 0, 0), ip(10, 1, 255, 255), OWNER},    // a /16 whole
      {ip(10, 2, 4, 0), ip(10, 2, 7, 255), OWNER},      // whole /24s of a /16
      {ip(10, 3, 0, 16), ip(10, 3, 0, 31), OWNER},      // part of a /24
      {ip(10, 3, 0, 64), ip(10, 3, 0, 64), OWNER},      // a second part of it
      {ip(10, 4, 1, 0), ip(10, 4, 1, 127), OWNER},      // two halves that merge,
      {ip(10, 4, 0, 128), ip(10, 4, 0, 255), OWNER},    // placed out of order
      {ip(10, 4, 0, 200), ip(10, 4, 1, 10), LATER},     // a duplicate across them
      {0, 3, OWNER},                                    // 0.0.0.0 holds no slot
      {ip(255, 255, 255, 254), 0xFFFFFFFF, OWNER},
  };
  place_blocks(blocks);
  expect_lookups_match(blocks, probes_for(blocks, 8));

  // The ranges, merged: one per block, 10.4.0.128 to 10.4.1.127 as one,
  // ranked in address order.
  ASSERT_EQ(host_index.range_count, 7u);
  EXPECT_EQ(host_index.ranges[0].first, 1u);  // 0.0.0.1 to 0.0.0.3
  EXPECT_EQ(host_index.ranges[1].rank, 3u);
  EXPECT_EQ(host_index.ranges[5].first, ip(10, 4, 0, 128));
  EXPECT_EQ(host_index.ranges[5].last, ip(10, 4, 1, 127));
  EXPECT_EQ(host_coverage16(ip(10, 1, 9, 9)), HOST_ALL);
  EXPECT_EQ(host_coverage16(ip(10, 2, 9, 9)), HOST_PARTLY);
  EXPECT_EQ(host_coverage16(ip(10, 9, 9, 9)), HOST_NONE);
  EXPECT_EQ(host_index.held, 3u + 65536 + 1024 + 16 + 1 + 256 + 2);
}

// The fixed table filled to its last slot but one, by a /13 and a /14:
// lookups go by rank, and find 10.11.255.255, 22,116 steps from its home.
TEST(HostTable, FullFixedTableFindsEveryAddress) {
  std::vector<TestBlock> blocks = {{ip(10, 0, 0, 0), ip(10, 11, 255, 255), OWNER}};
  place_blocks(blocks);
  ASSERT_TRUE(host_table.fixed);
  std::vector<uint32_t> probes = probes_for(blocks, 12);
  for (uint32_t a : {ip(10, 11, 216, 75), ip(10, 11, 255, 182)}) probes.push_back(a);
  expect_lookups_match(blocks, probes);
  EXPECT_EQ(host_lookup(ip(10, 11, 255, 255)), 448867);
}

// Beyond the fixed table's capacity a table sized to the total, with the
// n-th held address at home in slot n: a /12 beside a /24 elsewhere.
// Duplicates walk on from their home in steps of 88,919.
TEST(HostTable, MadeTableIsPlacedByRank) {
  std::vector<TestBlock> blocks = {
      {ip(10, 0, 0, 0), ip(10, 15, 255, 255), OWNER},
      {ip(172, 16, 0, 0), ip(172, 16, 0, 255), OWNER},
      {ip(10, 0, 0, 0), ip(10, 0, 0, 3), LATER},
  };
  std::vector<uint32_t> steps = place_blocks(blocks);
  ASSERT_FALSE(host_table.fixed);
  ASSERT_EQ(host_table.size, 1573283u);  // the smallest prime >= 3/2 of 1,048,836
  EXPECT_EQ(host_lookup(ip(10, 0, 0, 0)), 0);
  EXPECT_EQ(host_lookup(ip(10, 0, 0, 5)), 5);
  EXPECT_EQ(host_lookup(ip(10, 15, 255, 255)), 1048575);
  EXPECT_EQ(host_lookup(ip(172, 16, 0, 1)), 1048577);
  EXPECT_EQ(host_lookup(ip(172, 16, 1, 0)), -1);
  // Every first copy at home; the copy of 10.0.0.0 passes the 12 taken
  // slots 0, 88,919, ... 978,109 and takes 1,067,028.
  for (size_t i = 0; i < 1048576 + 256; i++) ASSERT_EQ(steps[i], 0u) << i;
  EXPECT_EQ(steps[1048576 + 256], 12u);
  EXPECT_EQ(host_table.addresses[1067028], ip(10, 0, 0, 0));
  expect_lookups_match(blocks, probes_for(blocks, 13));
}

// Copies placed before the addresses whose home they take push those
// addresses on along their probe sequences: lookups walk to them.
TEST(HostTable, MadeTableFindsDisplacedAddresses) {
  std::vector<TestBlock> blocks = {
      {ip(10, 0, 0, 0), ip(10, 0, 0, 255), OWNER},
      {ip(10, 0, 0, 0), ip(10, 0, 0, 255), LATER},
      {ip(10, 0, 1, 0), ip(10, 15, 255, 255), OWNER},
  };
  std::vector<uint32_t> steps = place_blocks(blocks);
  ASSERT_FALSE(host_table.fixed);
  EXPECT_EQ(steps[256], 1u);  // the copy of 10.0.0.0 in slot 88,919
  uint32_t displaced = ip(10, 0, 0, 0) + 88919;  // whose home that is
  EXPECT_NE(host_lookup(displaced), 88919);
  std::vector<uint32_t> probes = probes_for(blocks, 14);
  for (uint32_t k = 0; k < 4000; k++) probes.push_back(displaced + k);
  expect_lookups_match(blocks, probes);
}

}  // namespace
