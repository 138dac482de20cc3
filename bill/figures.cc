#include "bill/figures.h"

#include <algorithm>

bool parse_percentile(const char* text, uint32_t* percentile) {
  uint32_t value = 0;
  const char* p = text;
  if (*p < '0' || *p > '9') return false;
  for (; *p >= '0' && *p <= '9'; p++) {
    value = value * 10 + uint32_t(*p - '0');
    if (value > PERCENTILE_MAX) return false;  // before any digit count can wrap
  }
  if (*p != '\0' || value < PERCENTILE_MIN) return false;
  *percentile = value;
  return true;
}

uint64_t interval_rate(uint64_t bytes, uint32_t interval, bool* overflow) {
  unsigned __int128 rate = (unsigned __int128){bytes} * 8 / interval;
  if (rate > UINT64_MAX) {
    *overflow = true;
    return UINT64_MAX;
  }
  return uint64_t(rate);
}

// The sample at `rank` (1-based, of n) when the n − busy others are 0 and
// scratch[0 .. busy−1] holds the samples above zero: most customers are
// idle most of the time, so the zeros are only counted, and the selection
// runs over the others.
static uint64_t busy_sample_at_rank(uint64_t* scratch, uint64_t busy, uint64_t n, uint64_t rank) {
  uint64_t zeros = n - busy;
  if (rank <= zeros) return 0;
  uint64_t at = rank - zeros - 1;  // 0-based among the busy samples
  std::nth_element(scratch, scratch + at, scratch + busy);
  return scratch[at];
}

static uint64_t add_saturating(uint64_t a, uint64_t b, bool* overflow) {
  uint64_t sum;
  if (__builtin_add_overflow(a, b, &sum)) {
    *overflow = true;
    return UINT64_MAX;
  }
  return sum;
}

BillFigures bill_figures(const uint64_t* in, const uint64_t* out, uint64_t n, uint32_t interval,
                         uint32_t percentile, uint64_t* scratch) {
  BillFigures f = {};
  if (n == 0) return f;
  uint64_t max_in = 0, max_out = 0;
  for (uint64_t k = 0; k < n; k++) {
    f.bytes_in = add_saturating(f.bytes_in, in[k], &f.overflow);
    f.bytes_out = add_saturating(f.bytes_out, out[k], &f.overflow);
    max_in = std::max(max_in, in[k]);
    max_out = std::max(max_out, out[k]);
    f.active_intervals += (in[k] | out[k]) != 0;
  }
  const uint64_t rank = percentile_rank(n, percentile);
  uint64_t busy = 0;
  for (uint64_t k = 0; k < n; k++) {
    scratch[busy] = in[k];
    busy += in[k] != 0;
  }
  uint64_t p_in = busy_sample_at_rank(scratch, busy, n, rank);
  busy = 0;
  for (uint64_t k = 0; k < n; k++) {
    scratch[busy] = out[k];
    busy += out[k] != 0;
  }
  uint64_t p_out = busy_sample_at_rank(scratch, busy, n, rank);
  busy = 0;
  for (uint64_t k = 0; k < n; k++) {
    scratch[busy] = add_saturating(in[k], out[k], &f.overflow);
    busy += scratch[busy] != 0;
  }
  uint64_t p_sum = busy_sample_at_rank(scratch, busy, n, rank);
  f.p_in_bps = interval_rate(p_in, interval, &f.overflow);
  f.p_out_bps = interval_rate(p_out, interval, &f.overflow);
  f.p_sum_bps = interval_rate(p_sum, interval, &f.overflow);
  f.billable_bps = std::max(f.p_in_bps, f.p_out_bps);
  f.peak_in_bps = interval_rate(max_in, interval, &f.overflow);
  f.peak_out_bps = interval_rate(max_out, interval, &f.overflow);
  return f;
}
