// tally_records, the batched accounting that nettally's flow input uses,
// against tally_record one record at a time; and the "Strange..." line,
// written by hand, against snprintf with its literal format.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "tally/capture_test_util.h"
#include "nets/host_table.h"
#include "nets/output.h"
#include "nets/table_test_util.h"
#include "tally/tally.h"

namespace {

void put32(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v >> 24);
  p[1] = uint8_t(v >> 16);
  p[2] = uint8_t(v >> 8);
  p[3] = uint8_t(v);
}


// A table of a /20, a few single addresses in other /16s, the address
// whose home is slot 0 in the fixed table, and one address placed twice:
// in the fixed table, or with `made` beside a /12 in a table sized to them,
// where the /20's first 256 addresses are placed twice before the /12 and
// so push 256 of its addresses off their home slots. Returns the addresses
// that records may use as inside ends: all but most of the /12, and every
// address that a lookup does not find at home.
std::vector<uint32_t> fill_table(bool made = false) {
  std::vector<uint32_t> held;
  for (uint32_t a = 0x0A010000; a < 0x0A011000; a++) held.push_back(a);
  held.push_back(0xC0000205);  // 192.0.2.5
  held.push_back(0xFFFFFFFF);
  uint32_t z = 1;
  while (host_hash(z) != 0) z++;
  held.push_back(z);
  std::vector<TestBlock> blocks;
  if (made) blocks.push_back({0x0A010000, 0x0A0100FF});
  for (TestBlock b : single_addresses(held)) blocks.push_back(b);
  blocks.push_back({0x0A010005, 0x0A010005});  // a copy: lookups find the first
  if (made) blocks.push_back({0xAC100000, 0xAC1FFFFF});  // 172.16.0.0/12
  place_blocks(blocks);
  if (made) {
    for (uint32_t a = 0xAC100000; a <= 0xAC1FFFFF; a++)
      if (a % 4099 == 0 || uint32_t(host_lookup(a)) != host_rank_in_ranges(a))
        held.push_back(a);
  }
  return held;
}

std::vector<uint8_t> random_records(const std::vector<uint32_t>& held, size_t n) {
  std::mt19937_64 rng(99);
  std::vector<uint8_t> bytes(n * FLOW_RECORD_SIZE);
  auto inside = [&] { return held[rng() % held.size()]; };
  auto outside = [&] {
    for (;;) {  // mostly far away, sometimes in a /16 that holds addresses
      uint32_t a = rng() % 4 == 0 ? 0x0A010000 | uint32_t(0x1000 + rng() % 0xF000) : uint32_t(rng());
      if (host_lookup(a) < 0) return a;
    }
  };
  for (size_t i = 0; i < n; i++) {
    uint8_t* r = &bytes[i * FLOW_RECORD_SIZE];
    for (size_t k = 0; k < FLOW_RECORD_SIZE; k++) r[k] = uint8_t(rng());
    uint32_t src, dst;
    switch (rng() % 8) {
      case 0: src = dst = inside(); break;
      case 1: src = inside(), dst = inside(); break;
      case 2: src = outside(), dst = outside(); break;
      case 3: src = 0, dst = rng() % 2 ? 0 : inside(); break;
      case 4: case 5: src = inside(), dst = outside(); break;
      default: src = outside(), dst = inside(); break;
    }
    put32(r + REC_SRC_ADDR, src);
    put32(r + REC_DST_ADDR, dst);
  }
  return bytes;
}

// What tally_record makes of the records one by one, against
// tally_records in runs of every length around the batch size; the table
// is filled afresh by fill() for each.
template <typename Fill>
void expect_same_as_one_by_one(Fill fill, const std::vector<uint8_t>& records) {
  const size_t n = records.size() / FLOW_RECORD_SIZE;
  const uint64_t base_times[] = {0, 1100000000, 4294967295};
  fill();

  std::string one_by_one = captured_output(2, [&] {
    for (size_t i = 0; i < n; i++)
      tally_record(std::span<const uint8_t, FLOW_RECORD_SIZE>(&records[i * FLOW_RECORD_SIZE],
                                                              FLOW_RECORD_SIZE),
                   base_times[i * 3 / n]);
  });
  std::vector<HostEntry> expected(host_table.entries, host_table.entries + host_table.size);

  // Runs of every length around the batch size, each with its file's base time.
  fill();
  const size_t runs[] = {1, 2, 7, 511, 512, 513, 1024, 1500, 4096};
  std::string batched = captured_output(2, [&] {
    size_t i = 0;
    for (size_t k = 0; i < n; k++) {
      size_t len = std::min(runs[k % std::size(runs)], n - i);
      size_t split = n / 3 * (i * 3 / n + 1);  // a run does not cross a base time
      if (i < split && i + len > split) len = split - i;
      tally_records(&records[i * FLOW_RECORD_SIZE], len, base_times[i * 3 / n]);
      i += len;
    }
  });
  EXPECT_EQ(batched, one_by_one);
  EXPECT_GT(std::count(one_by_one.begin(), one_by_one.end(), '\n'), 1000);
  ASSERT_EQ(expected.size(), host_table.size);
  for (uint32_t i = 0; i < host_table.size; i++)
    ASSERT_EQ(memcmp(&host_table.entries[i], &expected[i], sizeof(HostEntry)), 0) << "slot " << i;
}

TEST(TallyRecords, SameTableAndMessagesAsOneByOne) {
  std::vector<uint32_t> held = fill_table();
  expect_same_as_one_by_one([] { fill_table(); }, random_records(held, 30000));
}

// The same in a table made at run time, whose lookups go by home slot:
// some addresses there are displaced from their home slots, and some
// outside ends lie in /24s held in part.
TEST(TallyRecords, SameTableAndMessagesAsOneByOneInATableMadeAtRunTime) {
  std::vector<uint32_t> held = fill_table(true);
  ASSERT_FALSE(host_table.fixed);
  ASSERT_GT(held.size(), 4096u + 3 + 256 + 200);
  std::vector<uint8_t> records = random_records(held, 30000);
  // Outside ends beside the single addresses, in /24s held in part.
  std::mt19937 rng(6);
  for (size_t i = 0; i < records.size(); i += 7 * FLOW_RECORD_SIZE) {
    uint32_t a = held[4096 + rng() % 3] ^ uint32_t(1 + rng() % 255);
    if (host_lookup(a) < 0) put32(&records[i + REC_DST_ADDR], a);
  }
  expect_same_as_one_by_one([] { fill_table(true); }, records);
}

// "Strange...%u.%u.%u.%u->%u.%u.%u.%u\n" for every edge value in every
// position and for random addresses.
TEST(TallyRecords, StrangeLineAsPrintfPrintsIt) {
  place_blocks({});
  const uint8_t edges[] = {0, 1, 9, 10, 11, 99, 100, 101, 199, 200, 249, 250, 255};
  std::mt19937 rng(5);
  std::vector<uint8_t> records;
  std::string expected;
  auto add = [&](const uint8_t (&a)[8]) {
    uint8_t r[FLOW_RECORD_SIZE];
    for (uint8_t& b : r) b = uint8_t(rng());
    memcpy(r + REC_SRC_ADDR, a, 4);
    memcpy(r + REC_DST_ADDR, a + 4, 4);
    records.insert(records.end(), r, r + FLOW_RECORD_SIZE);
    char line[64];
    snprintf(line, sizeof line, "Strange...%u.%u.%u.%u->%u.%u.%u.%u\n", a[0], a[1], a[2], a[3],
             a[4], a[5], a[6], a[7]);
    expected += line;
  };
  for (uint8_t e : edges)
    for (int pos = 0; pos < 8; pos++)
      for (uint8_t f : edges) {
        uint8_t a[8];
        for (uint8_t& b : a) b = f;
        a[pos] = e;
        add(a);
      }
  for (int i = 0; i < 20000; i++) {
    uint8_t a[8];
    for (uint8_t& b : a) b = uint8_t(rng());
    add(a);
  }
  std::string got = captured_output(
      2, [&] { tally_records(records.data(), records.size() / FLOW_RECORD_SIZE, 0); });
  EXPECT_EQ(got, expected);
}

}  // namespace
