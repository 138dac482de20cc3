#include "bill/spread.h"

using u128 = unsigned __int128;

// B·(t−start)/(end−start) for start < t < end. Both factors are below
// 2^64, so the product fits in 128 bits; the quotient is below B.
static uint64_t part_before(uint64_t start, uint64_t end, uint64_t bytes, uint64_t t) {
  uint64_t elapsed = t - start;
  uint64_t length = end - start;
  uint64_t high;
  // Flows from the files (B < 2^32, length < 2^16) take the 64-bit path.
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

SpreadResult spread_flow(uint64_t start, uint64_t end, uint64_t bytes, const SpreadWindow& window, uint64_t* sums) {
  SpreadResult result = {};
  const uint64_t interval = window.interval;
  if (end <= start) {
    uint64_t k = start / interval;
    if (k < window.first_k || k > window.last_k) {
      result.clipped = bytes;
    } else {
      result.overflow = add_saturating(&sums[k - window.first_k], bytes);
    }
    return result;
  }
  uint64_t first = start / interval;
  uint64_t last = (end - 1) / interval;  // the interval of the last second
  if (first < window.first_k) first = window.first_k;
  if (last > window.last_k) last = window.last_k;
  if (first > last) {
    result.clipped = bytes;
    return result;
  }
  // Within the loop k·interval <= end − 1, so neither edge can wrap.
  uint64_t edge = first * interval;
  uint64_t before = flow_bytes_before(start, end, bytes, edge);
  const uint64_t lost_before = before;
  for (uint64_t k = first; k <= last; k++) {
    uint64_t next_edge = end - edge <= interval ? end : edge + interval;
    uint64_t next = flow_bytes_before(start, end, bytes, next_edge);
    result.overflow |= add_saturating(&sums[k - window.first_k], next - before);
    before = next;
    edge = next_edge;
  }
  result.clipped = lost_before + (bytes - before);
  return result;
}
