#include "bill/figures.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

TEST(PercentileRank, WholeAndNot) {
  struct Case {
    uint64_t n;
    uint32_t percentile;
    uint64_t rank;
  };
  const Case cases[] = {
      {20, 95, 19},  // 19 exactly
      {7, 95, 7},  // 6.65 rounds up
      {1, 95, 1},     {1, 1, 1},      {1, 100, 1},
      {100, 95, 95},  {101, 95, 96},  // 95.95
      {20, 100, 20},  {8928, 100, 8928},
      {20, 1, 1},     {250, 1, 3},    {200, 1, 2},
      {8928, 95, 8482},  // 8,481.6: a month of 31 days
      {8640, 95, 8208},  // 8,208 exactly: a month of 30 days
      {UINT64_MAX, 100, UINT64_MAX},  // the product passes 64 bits
      {UINT64_MAX, 1, UINT64_MAX / 100 + 1},
  };
  for (const Case& c : cases) EXPECT_EQ(percentile_rank(c.n, c.percentile), c.rank) << c.n << ' ' << c.percentile;
}

TEST(ParsePercentile, OneToHundred) {
  uint32_t p = 0;
  const std::pair<const char*, uint32_t> good[] = {{"1", 1}, {"95", 95}, {"100", 100}, {"050", 50}};
  for (auto [text, value] : good) {
    EXPECT_TRUE(parse_percentile(text, &p)) << text;
    EXPECT_EQ(p, value) << text;
  }
  const char* bad[] = {"", "0", "101", "-5", "+5", " 5", "5 ", "95%", "9.5", "4294967391", "1000000000000"};
  for (const char* text : bad) {
    p = 7;
    EXPECT_FALSE(parse_percentile(text, &p)) << '"' << text << '"';
    EXPECT_EQ(p, 7u) << text;
  }
}

static BillFigures figures(const std::vector<uint64_t>& in, const std::vector<uint64_t>& out, uint32_t interval,
                           uint32_t percentile) {
  std::vector<uint64_t> scratch(4 * in.size() + 1, 0xdeadbeef);
  return bill_figures(in.data(), out.data(), in.size(), interval, percentile, scratch.data());
}

TEST(BillFigures, HandWorkedBills) {
  // 1,000 · k bytes in interval k−1, in an order that is not sorted.
  std::vector<uint64_t> in = {5000, 20000, 1000, 19000, 2000, 18000, 3000, 17000, 4000, 16000,
                              6000, 15000, 7000, 14000, 8000, 13000, 9000, 12000, 10000, 11000};
  std::vector<uint64_t> out(20, 0);
  out[3] = 600;
  BillFigures f = figures(in, out, 300, 95);
  EXPECT_EQ(f.bytes_in, 210000u);
  EXPECT_EQ(f.bytes_out, 600u);
  EXPECT_EQ(f.p_in_bps, 506u);  // rank 19: 19,000 bytes, 8·19000/300 = 506.67
  EXPECT_EQ(f.p_out_bps, 0u);  // rank 19 of nineteen zeros and 600
  EXPECT_EQ(f.billable_bps, 506u);
  EXPECT_EQ(f.p_sum_bps, 522u);  // 19,000 + 600 stays at rank 19, below 20,000
  EXPECT_EQ(f.peak_in_bps, 533u);  // 20,000 bytes: 533.33
  EXPECT_EQ(f.peak_out_bps, 16u);
  EXPECT_EQ(f.active_intervals, 20u);
  EXPECT_FALSE(f.overflow);

  // Seven intervals: rank 7 is the largest.
  f = figures({700, 100, 300, 0, 0, 200, 0}, {0, 0, 0, 0, 0, 0, 30}, 1, 95);
  EXPECT_EQ(f.p_in_bps, 5600u);
  EXPECT_EQ(f.p_out_bps, 240u);
  EXPECT_EQ(f.billable_bps, 5600u);
  EXPECT_EQ(f.p_sum_bps, 5600u);
  EXPECT_EQ(f.active_intervals, 5u);

  // Out above in: the bill is out's.
  f = figures({10, 10}, {30, 40}, 1, 50);
  EXPECT_EQ(f.p_in_bps, 80u);
  EXPECT_EQ(f.p_out_bps, 240u);
  EXPECT_EQ(f.billable_bps, 240u);
  EXPECT_EQ(f.p_sum_bps, 320u);

  // Percentile 1 is the smallest sample, 100 the largest.
  f = figures({9, 3, 5}, {0, 0, 0}, 1, 1);
  EXPECT_EQ(f.p_in_bps, 24u);
  f = figures({9, 3, 5}, {0, 0, 0}, 1, 100);
  EXPECT_EQ(f.p_in_bps, 72u);

  // One interval.
  f = figures({300}, {75}, 300, 95);
  EXPECT_EQ(f.p_in_bps, 8u);
  EXPECT_EQ(f.p_out_bps, 2u);
  EXPECT_EQ(f.p_sum_bps, 10u);
  EXPECT_EQ(f.peak_in_bps, 8u);
  EXPECT_EQ(f.active_intervals, 1u);
}

TEST(BillFigures, IdleIntervalsAreSamples) {
  // Two busy intervals out of 20: at 95 % rank 19 falls on the smaller
  // busy one; with the idle ones left out it would be the larger.
  std::vector<uint64_t> in(20, 0), out(20, 0);
  in[4] = 3000;
  in[11] = 1500;
  BillFigures f = figures(in, out, 300, 95);
  EXPECT_EQ(f.p_in_bps, 40u);
  EXPECT_EQ(f.peak_in_bps, 80u);
  EXPECT_EQ(f.active_intervals, 2u);
  // One busy interval in 20: rank 19 is idle.
  in[11] = 0;
  f = figures(in, out, 300, 95);
  EXPECT_EQ(f.p_in_bps, 0u);
  EXPECT_EQ(f.p_sum_bps, 0u);
  EXPECT_EQ(f.peak_in_bps, 80u);
  EXPECT_EQ(f.bytes_in, 3000u);
  // No traffic at all, and no intervals at all.
  f = figures(std::vector<uint64_t>(8928, 0), std::vector<uint64_t>(8928, 0), 300, 95);
  EXPECT_EQ(f.active_intervals, 0u);
  EXPECT_EQ(f.peak_in_bps, 0u);
  f = figures({}, {}, 300, 95);
  EXPECT_EQ(f.bytes_in, 0u);
  EXPECT_EQ(f.billable_bps, 0u);
  EXPECT_EQ(f.active_intervals, 0u);
  EXPECT_FALSE(f.overflow);
}

TEST(BillFigures, ThirtyTwoBitMaximaSumPastTwoToThe32) {
  const uint64_t max32 = 4294967295;
  std::vector<uint64_t> in(8928, max32), out(8928, max32);
  BillFigures f = figures(in, out, 300, 95);
  EXPECT_EQ(f.bytes_in, 38345468009760u);  // 8,928 · (2^32 − 1)
  EXPECT_EQ(f.bytes_out, 38345468009760u);
  EXPECT_EQ(f.p_in_bps, 114532461u);  // 8 · 4294967295 / 300 = 114532461.2
  EXPECT_EQ(f.p_sum_bps, 229064922u);  // the sample 8,589,934,590 > 2^32
  EXPECT_EQ(f.peak_out_bps, 114532461u);
  EXPECT_FALSE(f.overflow);
}

TEST(BillFigures, OverflowIsReportedNotWrapped) {
  BillFigures f = figures({UINT64_MAX, 1}, {0, 0}, 300, 95);
  EXPECT_TRUE(f.overflow);
  EXPECT_EQ(f.bytes_in, UINT64_MAX);
  f = figures({UINT64_MAX / 2 + 1}, {UINT64_MAX / 2 + 1}, 300, 100);  // in + out is 2^64
  EXPECT_TRUE(f.overflow);
  EXPECT_EQ(f.bytes_in, UINT64_MAX / 2 + 1);
  EXPECT_EQ(f.p_sum_bps, uint64_t((unsigned __int128){UINT64_MAX} * 8 / 300));
  f = figures({uint64_t{1} << 61}, {0}, 1, 95);  // 2^64 bit/s
  EXPECT_TRUE(f.overflow);
  EXPECT_EQ(f.p_in_bps, UINT64_MAX);
  f = figures({(uint64_t{1} << 61) - 1}, {0}, 1, 95);
  EXPECT_FALSE(f.overflow);
  EXPECT_EQ(f.p_in_bps, UINT64_MAX - 7);
  bool overflow = false;
  EXPECT_EQ(interval_rate(UINT64_MAX, 8, &overflow), UINT64_MAX);
  EXPECT_FALSE(overflow);
  EXPECT_EQ(interval_rate(UINT64_MAX, 7, &overflow), UINT64_MAX);
  EXPECT_TRUE(overflow);
}

// Random bills against a full sort and plain loops.
TEST(BillFigures, MatchesAFullSort) {
  std::mt19937_64 random(95);
  for (int round = 0; round < 500; round++) {
    size_t n = 1 + random() % (round % 10 == 0 ? 9000 : 300);  // a month of 5-minute intervals too
    uint32_t percentile = 1 + uint32_t(random() % 100);
    uint32_t interval = 1 + uint32_t(random() % 86400);
    std::vector<uint64_t> in(n), out(n);
    for (size_t k = 0; k < n; k++) {
      in[k] = random() % 3 == 0 ? 0 : random() % (round % 2 ? 50 : 4294967296u);
      out[k] = random() % 3 == 0 ? 0 : random() % (round % 2 ? 50 : 4294967296u);
    }
    std::vector<uint64_t> sorted_in = in, sorted_out = out, sorted_sum(n);
    for (size_t k = 0; k < n; k++) sorted_sum[k] = in[k] + out[k];
    std::sort(sorted_in.begin(), sorted_in.end());
    std::sort(sorted_out.begin(), sorted_out.end());
    std::sort(sorted_sum.begin(), sorted_sum.end());
    // The smallest rank whose share of n reaches the percentile.
    size_t rank = 1;
    while (rank * 100 < percentile * n) rank++;
    auto rate = [&](uint64_t bytes) { return bytes * 8 / interval; };
    uint64_t active = 0, total_in = 0;
    for (size_t k = 0; k < n; k++) {
      active += in[k] != 0 || out[k] != 0;
      total_in += in[k];
    }
    BillFigures f = figures(in, out, interval, percentile);
    ASSERT_EQ(f.p_in_bps, rate(sorted_in[rank - 1])) << round;
    ASSERT_EQ(f.p_out_bps, rate(sorted_out[rank - 1])) << round;
    ASSERT_EQ(f.p_sum_bps, rate(sorted_sum[rank - 1])) << round;
    ASSERT_EQ(f.billable_bps, std::max(f.p_in_bps, f.p_out_bps)) << round;
    ASSERT_EQ(f.peak_in_bps, rate(sorted_in.back())) << round;
    ASSERT_EQ(f.peak_out_bps, rate(sorted_out.back())) << round;
    ASSERT_EQ(f.active_intervals, active) << round;
    ASSERT_EQ(f.bytes_in, total_in) << round;
    ASSERT_FALSE(f.overflow);
  }
}

// A month whose intervals of a regular stride are the busiest: a sample
// taken at that stride sees only them, and the percentile must still be
// the one of all the intervals.
TEST(BillFigures, AStridedPeakDoesNotMisleadThePercentile) {
  const size_t n = 8928;
  for (size_t stride : {size_t(35), n / 256}) {
    std::vector<uint64_t> in(n, 300), out(n, 0);
    for (size_t k = 0; k < n; k += stride) in[k] = 3000000;
    std::vector<uint64_t> sorted = in;
    std::sort(sorted.begin(), sorted.end());
    BillFigures f = figures(in, out, 300, 95);
    EXPECT_EQ(f.p_in_bps, sorted[percentile_rank(n, 95) - 1] * 8 / 300) << stride;
  }
}
