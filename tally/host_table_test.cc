#include "tally/host_table.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace {

constexpr uint32_t ip(uint32_t a, uint32_t b, uint32_t c, uint32_t d) {
  return a << 24 | b << 16 | c << 8 | d;
}

CustomerRecord* const OWNER = reinterpret_cast<CustomerRecord*>(0x1000);

class HostTable : public ::testing::Test {
 protected:
  void SetUp() override { host_table_clear(); }
};

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

TEST_F(HostTable, SharedHomeSlotTakesTheNextProbe) {
  EXPECT_EQ(host_insert(ip(10, 4, 24, 47), OWNER), 0u);
  EXPECT_EQ(host_insert(ip(10, 8, 0, 0), OWNER), 1u);
  EXPECT_EQ(host_lookup(ip(10, 4, 24, 47)), 525101);
  EXPECT_EQ(host_lookup(ip(10, 8, 0, 0)), 614020);
  EXPECT_EQ(host_owner(614020), OWNER);
}

TEST_F(HostTable, ProbeSequenceWraps) {
  // Fill slot 700,000 with an address whose home it is, then insert a
  // second with the same home: it lands on (700,000 + 88,919) mod 786,433.
  uint32_t a = 0;
  uint32_t b = 0;
  for (uint32_t x = 1; b == 0; x++) {
    if (host_hash(x) != 700000) continue;
    if (a == 0) a = x;
    else b = x;
  }
  host_insert(a, OWNER);
  EXPECT_EQ(host_insert(b, OWNER), 1u);
  EXPECT_EQ(host_lookup(b), 2486);

  // From the last slot the sequence goes on at 88,918.
  uint32_t c = 0, d = 0;
  for (uint32_t x = 1; d == 0; x++) {
    if (host_hash(x) != HOST_TABLE_SIZE - 1) continue;
    if (c == 0) c = x;
    else d = x;
  }
  host_insert(c, OWNER);
  host_insert(d, OWNER);
  EXPECT_EQ(host_lookup(d), 88918);
}

TEST_F(HostTable, DuplicatesTakeASecondSlotAndLookupsFindTheFirst) {
  uint32_t a = ip(192, 0, 2, 10);
  EXPECT_EQ(host_insert(a, OWNER), 0u);
  EXPECT_GE(host_insert(a, nullptr), 1u);
  EXPECT_EQ(host_lookup(a), 95086);
  EXPECT_EQ(host_owner(95086), OWNER);
  EXPECT_EQ(host_slot_address[(95086 + HOST_PROBE_STEP) % HOST_TABLE_SIZE], a);
}

TEST_F(HostTable, AddressZeroIsNeverHeld) {
  EXPECT_EQ(host_lookup(0), -1);
  EXPECT_EQ(host_insert(0, OWNER), 0u);
  EXPECT_EQ(host_slot_address[0], 0u);
  EXPECT_EQ(host_lookup(0), -1);
  // Slot 0 is still free for an address whose home it is.
  uint32_t x = HOST_TABLE_SIZE;  // hashes to 0? find one that does
  for (x = 1; host_hash(x) != 0; x++) {
  }
  host_insert(x, OWNER);
  EXPECT_EQ(host_lookup(x), 0);  // slot 0 is a valid index, not "absent"
  EXPECT_EQ(host_insert(0, OWNER), 1u);  // 0's walk now passes slot 0
  EXPECT_EQ(host_lookup(0), -1);
}

TEST_F(HostTable, ClearEmptiesEverything) {
  host_insert(ip(10, 0, 0, 1), OWNER);
  host_table[4926].bytes_in = 5;
  host_table_clear();
  EXPECT_EQ(host_lookup(ip(10, 0, 0, 1)), -1);
  EXPECT_EQ(host_table[4926].bytes_in, 0u);
  EXPECT_EQ(host_owner(4926), nullptr);
}

// With every slot but one taken, a lookup of an absent address still ends.
TEST_F(HostTable, AlmostFullTableStillAnswersAbsent) {
  uint32_t inserted = 0;
  for (uint32_t x = 1; inserted < HOST_TABLE_CAPACITY; x++, inserted++) host_insert(x, OWNER);
  EXPECT_EQ(host_lookup(HOST_TABLE_CAPACITY + 1), -1);
  EXPECT_GE(host_lookup(HOST_TABLE_CAPACITY), 0);
  EXPECT_GE(host_lookup(1), 0);
}

// ---- Tables sized to the supernets, and absent addresses ----------------

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

// The remainder by reciprocal, for every table size that can occur, against
// the % operator: dividends at both ends, around multiples of the size,
// and at random.
TEST(HostRemainder, EqualsTheModulus) {
  const uint32_t sizes[] = {HOST_TABLE_SIZE, 1179677, 1572869, 14155777, 2147483647};
  std::mt19937 rng(3);
  for (uint32_t size : sizes) {
    uint64_t r = host_reciprocal(size);
    std::vector<uint32_t> h = {0, 1, size - 1, size, size + 1, 2 * size - 1, 0xFFFFFFFE, 0xFFFFFFFF};
    for (uint64_t k = 1; k * size <= 0xFFFFFFFF; k += 1 + k / 8) {
      h.push_back(uint32_t(k * size - 1));
      h.push_back(uint32_t(k * size));
    }
    for (int i = 0; i < 100000; i++) h.push_back(uint32_t(rng()));
    for (uint32_t x : h) ASSERT_EQ(host_remainder(x, size, r), x % size) << x << " mod " << size;
  }
}

// A table made at run time: its own size, the same hash modulo it, the same
// step, and the fixed table again after a clear.
TEST_F(HostTable, MadeAtRunTime) {
  host_table_make(1179677, "make");
  EXPECT_EQ(host_table_size, 1179677u);
  // 10.0.0.1: mix 169,088,021, home 394,210 here; 4,926 in the fixed table.
  EXPECT_EQ(host_insert(ip(10, 0, 0, 1), OWNER), 0u);
  EXPECT_EQ(host_lookup(ip(10, 0, 0, 1)), 394210);
  EXPECT_EQ(host_insert(ip(10, 0, 0, 1), nullptr), 1u);  // the duplicate, one step on
  EXPECT_EQ(host_slot_address[394210 + HOST_PROBE_STEP], ip(10, 0, 0, 1));
  EXPECT_EQ(host_owner(394210), OWNER);
  // From the last slot the sequence goes on at 88,918, as in the fixed table.
  uint32_t a = 1;
  while (host_mix(a) % 1179677 != 1179676) a++;
  uint32_t b = a + 1;
  while (host_mix(b) % 1179677 != 1179676) b++;
  host_insert(a, OWNER);
  EXPECT_EQ(host_insert(b, OWNER), 1u);
  EXPECT_EQ(host_lookup(b), 88918);
  host_table[88918].bytes_in = 7;

  host_table_clear();
  EXPECT_EQ(host_table_size, HOST_TABLE_SIZE);
  EXPECT_EQ(host_lookup(ip(10, 0, 0, 1)), -1);
  EXPECT_EQ(host_insert(ip(10, 0, 0, 1), OWNER), 0u);
  EXPECT_EQ(host_lookup(ip(10, 0, 0, 1)), 4926);
}

// Sealed, a table answers absent addresses from its coverage and ranges;
// every answer must be the one that walking the probe sequence gives.
TEST_F(HostTable, SealedLookupsAnswerAsProbingDoes) {
  struct Block {
    uint32_t first, last;
  } blocks[] = {
      {ip(10, 1, 0, 0), ip(10, 1, 255, 255)},     // a /16 whole
      {ip(10, 2, 4, 0), ip(10, 2, 7, 255)},       // whole /24s of a /16
      {ip(10, 3, 0, 16), ip(10, 3, 0, 31)},       // part of a /24
      {ip(10, 3, 0, 64), ip(10, 3, 0, 64)},       // a second part of it
      {ip(10, 4, 1, 0), ip(10, 4, 1, 127)},       // two halves that merge,
      {ip(10, 4, 0, 128), ip(10, 4, 0, 255)},     // inserted out of order
      {ip(10, 4, 0, 200), ip(10, 4, 1, 10)},      // a duplicate across them
      {0, 3},                                     // 0.0.0.0 holds no slot
      {ip(255, 255, 255, 254), 0xFFFFFFFF},
  };
  for (const Block& b : blocks)
    for (uint64_t x = b.first; x <= b.last; x++) host_insert(uint32_t(x), OWNER);

  std::vector<uint32_t> probes = {0, 1, 3, 4, 255, 256, 0xFFFFFFFD, 0xFFFFFFFE, 0xFFFFFFFF,
                                  ip(10, 0, 255, 255), ip(10, 5, 0, 0), ip(10, 2, 3, 255),
                                  ip(10, 2, 8, 0), ip(10, 2, 200, 1)};
  for (const Block& b : blocks)
    for (int64_t d = -2; d <= 2; d++) {
      probes.push_back(uint32_t(b.first + d));
      probes.push_back(uint32_t(b.last + d));
    }
  std::mt19937 rng(8);
  for (int i = 0; i < 20000; i++) probes.push_back(ip(10, 0, 0, 0) + uint32_t(rng() % 0x60000));
  for (int i = 0; i < 2000; i++) probes.push_back(ip(10, 3, 0, 0) + uint32_t(rng() % 256));

  ASSERT_FALSE(host_sealed);
  std::vector<int32_t> probed;
  for (uint32_t a : probes) probed.push_back(host_lookup(a));
  host_table_seal();
  ASSERT_TRUE(host_sealed);
  for (size_t i = 0; i < probes.size(); i++) {
    ASSERT_EQ(host_lookup(probes[i]), probed[i]) << probes[i];
    ASSERT_EQ(host_held(probes[i]), probed[i] >= 0) << probes[i];
  }

  // The ranges, merged: one per block, 10.4.0.128 to 10.4.1.127 as one.
  ASSERT_EQ(host_range_count, 7u);
  EXPECT_EQ(host_ranges[0].first, 1u);  // 0.0.0.1 to 0.0.0.3
  EXPECT_EQ(host_ranges[5].first, ip(10, 4, 0, 128));
  EXPECT_EQ(host_ranges[5].last, ip(10, 4, 1, 127));
  EXPECT_EQ(host_block_coverage(ip(10, 1, 9, 9)), HOST_ALL);
  EXPECT_EQ(host_block_coverage(ip(10, 2, 9, 9)), HOST_PARTLY);
  EXPECT_EQ(host_block_coverage(ip(10, 9, 9, 9)), HOST_NONE);

  // An insertion after the seal is found, sealed again or not.
  host_insert(ip(10, 3, 0, 100), OWNER);
  EXPECT_FALSE(host_sealed);
  EXPECT_GE(host_lookup(ip(10, 3, 0, 100)), 0);
  host_table_seal();
  EXPECT_GE(host_lookup(ip(10, 3, 0, 100)), 0);
  EXPECT_EQ(host_lookup(ip(10, 3, 0, 101)), -1);
}

// The fixed table filled to its last slot but one, by a /13 and a /14:
// sealed, a lookup takes the slot by rank, and every answer must still be
// the slot that walking the probe sequence finds, far from home or not.
TEST_F(HostTable, SealedFullTableFindsEveryAddressWhereProbingDoes) {
  for (uint64_t x = ip(10, 0, 0, 0); x <= ip(10, 11, 255, 255); x++) host_insert(uint32_t(x), OWNER);
  std::vector<uint32_t> probes = {ip(10, 0, 0, 0),     ip(10, 7, 255, 255), ip(10, 8, 0, 0),
                                  ip(10, 11, 216, 75), ip(10, 11, 255, 182), ip(10, 11, 255, 255),
                                  ip(10, 12, 0, 0),    ip(9, 255, 255, 255)};
  std::mt19937 rng(12);
  for (int i = 0; i < 5000; i++) probes.push_back(ip(10, 0, 0, 0) + uint32_t(rng() % 0xC0000));
  std::vector<int32_t> probed;
  for (uint32_t a : probes) probed.push_back(host_lookup(a));
  host_table_seal();
  for (size_t i = 0; i < probes.size(); i++) ASSERT_EQ(host_lookup(probes[i]), probed[i]) << probes[i];
  // 10.11.255.255 sits 22,116 steps from its home slot.
  EXPECT_EQ(host_lookup(ip(10, 11, 255, 255)), 448867);
  EXPECT_EQ(host_lookup(ip(10, 12, 0, 0)), -1);
}

}  // namespace
