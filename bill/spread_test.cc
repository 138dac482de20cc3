#include "bill/spread.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

using u128 = unsigned __int128;

// The oracle: a flow sends its bytes second by second. Over [start, end)
// the count sent by time t is floor(B·(t−start)/D), D = end − start; here
// it is carried as a remainder that grows by B each second and gives up
// its whole multiples of D, and what second t adds goes to interval t / L.
static std::vector<uint64_t> per_second_oracle(uint64_t start, uint64_t end, uint64_t bytes, uint32_t interval,
                                               uint64_t first_k, uint64_t last_k, uint64_t* clipped) {
  std::vector<uint64_t> sums(last_k - first_k + 1, 0);
  *clipped = 0;
  auto put = [&](uint64_t second, uint64_t part) {
    uint64_t k = second / interval;
    if (k >= first_k && k <= last_k)
      sums[k - first_k] += part;
    else
      *clipped += part;
  };
  if (end <= start) {
    put(start, bytes);
    return sums;
  }
  const uint64_t d = end - start;
  u128 remainder = 0;
  for (uint64_t t = start; t < end; t++) {
    remainder += bytes;
    uint64_t sent = uint64_t(remainder / d);
    remainder -= u128{sent} * d;
    put(t, sent);
  }
  return sums;
}

// A flat vector as the intervals' pairs of sums {in, out}.
static uint64_t (*as_pairs(std::vector<uint64_t>& flat))[DIRECTIONS] {
  return reinterpret_cast<uint64_t (*)[DIRECTIONS]>(flat.data());
}

// One direction's sums, the flow spread with the same bytes both ways:
// the two directions must come out the same.
static std::vector<uint64_t> spread(uint64_t start, uint64_t end, uint64_t bytes, uint32_t interval,
                                    uint64_t first_k, uint64_t last_k, SpreadResult* result) {
  std::vector<uint64_t> pairs(DIRECTIONS * (last_k - first_k + 1), 0);
  *result = spread_flow(start, end, {bytes, bytes}, SpreadWindow{divisor_of(interval), first_k, last_k},
                        as_pairs(pairs));
  std::vector<uint64_t> in;
  for (size_t i = 0; i < pairs.size(); i += DIRECTIONS) {
    EXPECT_EQ(pairs[i], pairs[i + 1]);
    in.push_back(pairs[i]);
  }
  EXPECT_EQ(result->clipped[0], result->clipped[1]);
  return in;
}

TEST(SpreadFlow, HandWorkedFlows) {
  struct Case {
    const char* what;
    uint64_t start, end, bytes;
    uint32_t interval;
    uint64_t first_k, last_k;
    std::vector<uint64_t> sums;
    uint64_t clipped;
  };
  const Case cases[] = {
      // 1000 bytes over [100, 700): 333 by 300, 833 by 600.
      {"spans two edges", 100, 700, 1000, 300, 0, 2, {333, 500, 167}, 0},
      {"the window around it", 100, 700, 1000, 300, 0, 4, {333, 500, 167, 0, 0}, 0},
      {"clipped on both sides", 100, 700, 1000, 300, 1, 1, {500}, 500},
      {"clipped before", 100, 700, 1000, 300, 1, 3, {500, 167, 0}, 333},
      {"clipped after", 100, 700, 1000, 300, 0, 1, {333, 500}, 167},
      {"window after it", 100, 700, 1000, 300, 3, 5, {0, 0, 0}, 1000},
      {"window before it", 1000, 1700, 1000, 300, 0, 2, {0, 0, 0}, 1000},
      {"exactly on edges", 300, 900, 7, 300, 0, 3, {0, 3, 4, 0}, 0},
      {"ends on the window's edge", 300, 600, 7, 300, 1, 1, {7}, 0},
      {"one second", 599, 600, 9, 300, 1, 2, {9, 0}, 0},
      {"e equals s", 599, 599, 9, 300, 0, 2, {0, 9, 0}, 0},
      {"e before s", 600, 10, 9, 300, 0, 2, {0, 0, 9}, 0},
      {"e before s, outside", 600, 10, 9, 300, 0, 1, {0, 0}, 9},
      {"e equals s on the last second", 899, 899, 9, 300, 0, 2, {0, 0, 9}, 0},
      {"no bytes", 100, 700, 0, 300, 0, 2, {0, 0, 0}, 0},
      {"one interval of a second", 5, 8, 10, 1, 4, 8, {0, 3, 3, 4, 0}, 0},
      // 4294967295 = 65535 · 65537: 65,537 bytes a second for 65,535 s.
      {"a flow of 65,535 s, first intervals", 1000, 66535, 4294967295, 300, 3, 5,
       {13107400, 19661100, 19661100}, 4294967295 - 13107400 - 2 * 19661100},
      {"a flow of 65,535 s, last intervals", 1000, 66535, 4294967295, 300, 220, 222,
       {19661100, 15401195, 0}, 4294967295 - 19661100 - 15401195},
  };
  for (const Case& c : cases) {
    SpreadResult result = {};
    std::vector<uint64_t> sums = spread(c.start, c.end, c.bytes, c.interval, c.first_k, c.last_k, &result);
    EXPECT_EQ(sums, c.sums) << c.what;
    EXPECT_EQ(result.clipped[0], c.clipped) << c.what;
    EXPECT_FALSE(result.overflow) << c.what;
  }
}

TEST(SpreadFlow, AFlowOf65535SecondsAddsUpToItsBytes) {
  // 219 intervals of 5 minutes, each full one 300 · 65,537 bytes.
  SpreadResult result = {};
  std::vector<uint64_t> sums = spread(1000, 66535, 4294967295, 300, 3, 221, &result);
  ASSERT_EQ(sums.size(), 219u);
  uint64_t total = 0;
  for (size_t i = 0; i < sums.size(); i++) {
    total += sums[i];
    if (i != 0 && i != sums.size() - 1) {
      EXPECT_EQ(sums[i], 19661100u) << i;
    }
  }
  EXPECT_EQ(total, 4294967295u);
  EXPECT_EQ(result.clipped[0], 0u);
}

TEST(SpreadFlow, MatchesTheSecondBySecondOracle) {
  std::mt19937_64 random(17);
  for (int round = 0; round < 3000; round++) {
    uint32_t interval = uint32_t(1 + random() % (round % 3 == 0 ? 7 : 400));
    uint64_t start = 1790000000 + random() % 5000;
    uint64_t length = random() % 4 == 0 ? 0 : random() % 3000;
    uint64_t end = random() % 8 == 0 ? start - random() % 50 : start + length;
    // The two directions of different sizes, one of them often 0.
    uint64_t bytes[DIRECTIONS];
    for (uint64_t& b : bytes) {
      switch ((uint64_t(round) + random() % 2) % 5) {
        case 0: b = random() % 1000; break;
        case 1: b = random() % 4294967296u; break;
        case 2: b = random(); break;  // full 64 bits
        case 3: b = 0; break;
        default: b = UINT64_MAX - random() % 3; break;
      }
    }
    // A window that may cut either side of the flow.
    uint64_t k0 = start / interval;
    uint64_t k1 = (end > start ? end - 1 : start) / interval;
    uint64_t first_k = k0 - random() % 3 + random() % 3;
    uint64_t last_k = k1 + random() % 3 - random() % 3;
    if (last_k < first_k) last_k = first_k;
    std::vector<uint64_t> pairs(DIRECTIONS * (last_k - first_k + 1), 0);
    SpreadResult result =
        spread_flow(start, end, bytes, SpreadWindow{divisor_of(interval), first_k, last_k}, as_pairs(pairs));
    std::vector<uint64_t> sums[DIRECTIONS];
    for (size_t i = 0; i < pairs.size(); i++) sums[i % DIRECTIONS].push_back(pairs[i]);
    for (int dir = 0; dir < DIRECTIONS; dir++) {
      uint64_t expected_clipped = 0;
      std::vector<uint64_t> expected =
          per_second_oracle(start, end, bytes[dir], interval, first_k, last_k, &expected_clipped);
      ASSERT_EQ(sums[dir], expected) << start << ' ' << end << ' ' << bytes[dir] << ' ' << interval;
      ASSERT_EQ(result.clipped[dir], expected_clipped) << start << ' ' << end << ' ' << bytes[dir] << ' ' << interval;
    }
  }
}

// Flows far too long for the oracle: the parts add up to B exactly, and
// each is within one byte of its exact share B·overlap/D.
TEST(SpreadFlow, HugeFlowsAddUpExactly) {
  std::mt19937_64 random(42);
  struct Flow {
    uint64_t start, end, bytes;
  };
  std::vector<Flow> flows = {
      {0, UINT64_MAX, UINT64_MAX},
      {1, UINT64_MAX, UINT64_MAX},
      {0, UINT64_MAX, UINT64_MAX - 1},
      {UINT64_MAX - 1, UINT64_MAX, UINT64_MAX},
      {12345, 12345 + 86400 * 40, UINT64_MAX},
  };
  for (int i = 0; i < 300; i++) {
    uint64_t start = random() >> (random() % 64);
    uint64_t room = UINT64_MAX - start;
    uint64_t end = start + (room != 0 ? (random() >> (random() % 64)) % room : 0);
    flows.push_back({start, end, random() >> (random() % 64)});
  }
  const uint32_t intervals[] = {1, 7, 300, 86400};
  for (const Flow& f : flows) {
    for (uint32_t interval : intervals) {
      // Windows of at most 4,000 intervals: one that holds the whole flow
      // when it is that short, else one around each end.
      uint64_t k0 = f.start / interval;
      uint64_t k1 = (f.end > f.start ? f.end - 1 : f.start) / interval;
      std::vector<std::pair<uint64_t, uint64_t>> windows;
      if (k1 - k0 < 4000)
        windows.push_back({k0, k1});
      else
        windows = {{k0, k0 + 1999}, {k1 - 1999, k1}};
      uint64_t total = 0;
      for (auto [first_k, last_k] : windows) {
        SpreadResult result = {};
        std::vector<uint64_t> sums = spread(f.start, f.end, f.bytes, interval, first_k, last_k, &result);
        ASSERT_FALSE(result.overflow);
        uint64_t in_window = 0;
        for (uint64_t k = first_k; k <= last_k; k++) {
          uint64_t part = sums[k - first_k];
          in_window += part;
          u128 a = u128{k} * interval, b = u128{k + 1} * interval;
          if (a < f.start) a = f.start;
          if (b > f.end) b = f.end;
          u128 overlap = b > a ? b - a : 0;
          if (f.end <= f.start) continue;  // all at the start, checked by the sum
          u128 d = f.end - f.start;
          u128 exact = u128{f.bytes} * overlap;  // the share is exact / d
          ASSERT_LT(u128{part} * d, exact + d) << f.start << ' ' << f.end << ' ' << k;
          ASSERT_GT(u128{part} * d + d, exact) << f.start << ' ' << f.end << ' ' << k;
        }
        ASSERT_EQ(in_window + result.clipped[0], f.bytes) << f.start << ' ' << f.end << ' ' << interval;
        total += in_window;
      }
      if (windows.size() == 1) {
        EXPECT_EQ(total, f.bytes);
      }
    }
  }
}

TEST(SpreadFlow, ASumThatWouldWrapStaysAtTheTop) {
  // sums[k] = {in, out}
  uint64_t sums[2][DIRECTIONS] = {{UINT64_MAX - 1, 0}, {5, 0}};
  const SpreadWindow window = {divisor_of(1), 0, 1};
  SpreadResult r = spread_flow(0, 2, {4, 6}, window, sums);
  EXPECT_TRUE(r.overflow);
  EXPECT_EQ(sums[0][0], UINT64_MAX);
  EXPECT_EQ(sums[1][0], 7u);
  EXPECT_EQ(sums[0][1], 3u);
  EXPECT_EQ(sums[1][1], 3u);
  r = spread_flow(1, 2, {4, 0}, window, sums);
  EXPECT_FALSE(r.overflow);
  EXPECT_EQ(sums[1][0], 11u);
  // The out direction wraps alone.
  sums[1][1] = UINT64_MAX;
  r = spread_flow(1, 1, {0, 1}, window, sums);
  EXPECT_TRUE(r.overflow);
  EXPECT_EQ(sums[1][0], 11u);
  EXPECT_EQ(sums[1][1], UINT64_MAX);
}

TEST(FlowBytes, BeforeAndWithin) {
  EXPECT_EQ(flow_bytes_before(100, 700, 1000, 0), 0u);
  EXPECT_EQ(flow_bytes_before(100, 700, 1000, 100), 0u);
  EXPECT_EQ(flow_bytes_before(100, 700, 1000, 101), 1u);  // 1000/600 rounds down
  EXPECT_EQ(flow_bytes_before(100, 700, 1000, 699), 998u);
  EXPECT_EQ(flow_bytes_before(100, 700, 1000, 700), 1000u);
  EXPECT_EQ(flow_bytes_before(100, 700, 1000, UINT64_MAX), 1000u);
  EXPECT_EQ(flow_bytes_before(100, 100, 1000, 100), 0u);
  EXPECT_EQ(flow_bytes_before(100, 100, 1000, 101), 1000u);
  EXPECT_EQ(flow_bytes_before(0, UINT64_MAX, UINT64_MAX, UINT64_MAX - 1), UINT64_MAX - 1);
  EXPECT_EQ(flow_bytes_before(0, UINT64_MAX, UINT64_MAX - 1, UINT64_MAX - 1), UINT64_MAX - 2);
  EXPECT_EQ(flow_bytes_within(100, 700, 1000, 300, 600), 500u);
  EXPECT_EQ(flow_bytes_within(100, 100, 1000, 0, 100), 0u);
  EXPECT_EQ(flow_bytes_within(100, 100, 1000, 100, 101), 1000u);
  EXPECT_EQ(flow_bytes_within(100, 40, 1000, 100, 101), 1000u);
}
