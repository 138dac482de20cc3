#include "bill/spread.h"

using u128 = unsigned __int128;

// B·(t−start)/(end−start) for start < t < end. Both factors are below
// 2^64, so the product fits in 128 bits; the quotient is below B.
static uint64_t part_before(uint64_t start, uint64_t end, uint64_t bytes, uint64_t t) {
  uint64_t elapsed = t - start;
  uint64_t length = end - start;
  uint64_t high;
  // Most flows take the 64-bit path.
  if (!__builtin_mul_overflow(bytes, elapsed, &high)) return high / length;
  return uint64_t(u128{bytes} * elapsed / length);
}

uint64_t flow_bytes_before(uint64_t start, uint64_t end, uint64_t bytes, uint64_t t) {
  if (end <= start) return t > start ? bytes : 0;
  if (t <= start) return 0;
  if (t >= end) return bytes;
  return part_before(start, end, bytes, t);
}

uint64_t flow_bytes_within(uint64_t start, uint64_t end, uint64_t bytes, uint64_t a, uint64_t b) {
  return flow_bytes_before(start, end, bytes, b) - flow_bytes_before(start, end, bytes, a);
}

static bool add_saturating(uint64_t* sum, uint64_t part) {
  if (__builtin_add_overflow(*sum, part, sum)) {
    *sum = UINT64_MAX;
    return true;
  }
  return false;
}

// The flows of the files: fewer than 2^32 bytes each way and shorter than
// 2^21 seconds, so that B·(t−start) stays below 2^53, exact in a double.
// Their shares are one multiplication by the double 1/D each: the product,
// within 2^-20 of the exact B·(t−start)/D (which is below 2^32), is at most
// one off after truncation, and the remainder puts it right. A 64-bit
// division per edge would take most of netbill's time.
static constexpr uint64_t SMALL_BYTES = uint64_t(1) << 32;
static constexpr uint64_t SMALL_LENGTH = uint64_t(1) << 21;

struct SmallFlow {
  uint64_t start;
  uint64_t length;
  double inverse;  // 1.0 / length
};

// ⌊B·(t−start)/D⌋ for start < t < start + D.
static uint64_t small_share(const SmallFlow& f, uint64_t bytes, uint64_t t) {
  uint64_t n = bytes * (t - f.start);
  uint64_t q = uint64_t(double(n) * f.inverse);
  int64_t r = int64_t(n - q * f.length);
  return q + uint64_t(r >= int64_t(f.length)) - uint64_t(r < 0);
}

// spread_flow's intervals first .. last of a small flow, first <= last,
// both within the flow's and the window's. The edges between them lie
// strictly inside the flow, so each is a share without a test.
static void spread_small_flow(uint64_t start, uint64_t end, const uint64_t (&bytes)[DIRECTIONS],
                              const SpreadWindow& window, uint64_t first, uint64_t last,
                              uint64_t (*sums)[DIRECTIONS], SpreadResult* result) {
  const uint64_t interval = window.interval.value;
  const SmallFlow f = {start, end - start, 1.0 / double(end - start)};
  uint64_t edge = first * interval;
  uint64_t before[DIRECTIONS];
  for (int dir = 0; dir < DIRECTIONS; dir++) {
    before[dir] = edge <= start ? 0 : small_share(f, bytes[dir], edge);
    result->clipped[dir] = before[dir];
  }
  for (uint64_t k = first; k < last; k++) {
    edge += interval;
    for (int dir = 0; dir < DIRECTIONS; dir++) {
      uint64_t next = small_share(f, bytes[dir], edge);
      result->overflow |= add_saturating(&sums[k - window.first_k][dir], next - before[dir]);
      before[dir] = next;
    }
  }
  // The last interval: to the flow's end, or to the window's.
  edge += interval;
  for (int dir = 0; dir < DIRECTIONS; dir++) {
    uint64_t next = edge >= end ? bytes[dir] : small_share(f, bytes[dir], edge);
    result->overflow |= add_saturating(&sums[last - window.first_k][dir], next - before[dir]);
    result->clipped[dir] += bytes[dir] - next;
  }
}

SpreadResult spread_flow(uint64_t start, uint64_t end, const uint64_t (&bytes)[DIRECTIONS],
                         const SpreadWindow& window, uint64_t (*sums)[DIRECTIONS]) {
  SpreadResult result = {};
  const uint64_t interval = window.interval.value;
  if (end <= start) {
    uint64_t k = divide(window.interval, start);
    for (int dir = 0; dir < DIRECTIONS; dir++) {
      if (k < window.first_k || k > window.last_k)
        result.clipped[dir] = bytes[dir];
      else
        result.overflow |= add_saturating(&sums[k - window.first_k][dir], bytes[dir]);
    }
    return result;
  }
  uint64_t first = divide(window.interval, start);
  uint64_t last = divide(window.interval, end - 1);  // the interval of the last second
  if (first < window.first_k) first = window.first_k;
  if (last > window.last_k) last = window.last_k;
  if (first > last) {
    for (int dir = 0; dir < DIRECTIONS; dir++) result.clipped[dir] = bytes[dir];
    return result;
  }
  if (bytes[0] < SMALL_BYTES && bytes[1] < SMALL_BYTES && end - start < SMALL_LENGTH) {
    spread_small_flow(start, end, bytes, window, first, last, sums, &result);
    return result;
  }
  // Within the loop k·interval <= end − 1, so neither edge can wrap.
  uint64_t edge = first * interval;
  uint64_t before[DIRECTIONS];
  for (int dir = 0; dir < DIRECTIONS; dir++) {
    before[dir] = flow_bytes_before(start, end, bytes[dir], edge);
    result.clipped[dir] = before[dir];
  }
  for (uint64_t k = first; k <= last; k++) {
    uint64_t next_edge = end - edge <= interval ? end : edge + interval;
    for (int dir = 0; dir < DIRECTIONS; dir++) {
      uint64_t next = flow_bytes_before(start, end, bytes[dir], next_edge);
      result.overflow |= add_saturating(&sums[k - window.first_k][dir], next - before[dir]);
      before[dir] = next;
    }
    edge = next_edge;
  }
  for (int dir = 0; dir < DIRECTIONS; dir++) result.clipped[dir] += bytes[dir] - before[dir];
  return result;
}
