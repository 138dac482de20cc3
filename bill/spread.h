// The spreading of one flow's bytes over the intervals it lasts: evenly
// over [start, end), in exact integers, so that a flow's parts add up to
// its bytes; a flow with end <= start is all in the interval of its start.
#pragma once

#include <cstdint>

#include "bill/divisor.h"

// The bytes of a flow from start to end (epoch seconds) that fall before
// time t: B·(t−start)/(end−start) rounded down, t clipped to [start, end];
// 0 before start and B from end on. For end <= start: 0 up to start, B
// after it (so [a, b) holds B exactly when a <= start < b).
uint64_t flow_bytes_before(uint64_t start, uint64_t end, uint64_t bytes, uint64_t t);

// The part of a flow's bytes in the time [a, b) (epoch seconds, a <= b):
// flow_bytes_before(b) − flow_bytes_before(a), so the parts of [a, b) and
// [b, c) add up to that of [a, c).
uint64_t flow_bytes_within(uint64_t start, uint64_t end, uint64_t bytes, uint64_t a, uint64_t b);

// The intervals a bill is made of: interval k of `interval` seconds covers
// [k·interval, (k+1)·interval); the window is k = first_k .. last_k, both
// included, and index k − first_k of a caller's per-interval array is k.
struct SpreadWindow {
  Divisor interval;  // of the seconds 1..86400
  uint64_t first_k;
  uint64_t last_k;  // >= first_k, with (last_k+1)·interval <= 2^64−1
};

// A flow's two directions, in and out as its own end sees them: their
// bytes, their per-interval sums, and what the spreading gives back.
constexpr int DIRECTIONS = 2;

struct SpreadResult {
  uint64_t clipped[DIRECTIONS];  // bytes of each direction outside the window, not added
  bool overflow;  // an interval's sum would have passed 2^64−1: it holds 2^64−1
};

// Adds each interval's part of a flow's bytes in each direction (start,
// end in epoch seconds, as flow_bytes_within gives it) to
// sums[k − first_k][direction] for the intervals of the window, and
// returns the rest, which falls before or after the window. sums has
// last_k − first_k + 1 elements, each interval's two directions side by
// side. A sum never wraps: one that would pass 2^64−1 stays at 2^64−1 and
// the result says so. The flow's intervals are found once for both
// directions, by multiplication; allocates nothing, prints nothing.
SpreadResult spread_flow(uint64_t start, uint64_t end, const uint64_t (&bytes)[DIRECTIONS],
                         const SpreadWindow& window, uint64_t (*sums)[DIRECTIONS]);
