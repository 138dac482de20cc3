// The figures of one customer's bill from its bytes per interval: totals,
// nearest-rank percentiles of in, out and their sum, peaks and active
// intervals, as bit rates of the interval length.
#pragma once

#include <cstdint>

constexpr uint32_t PERCENTILE_MIN = 1;
constexpr uint32_t PERCENTILE_MAX = 100;
constexpr uint32_t PERCENTILE_DEFAULT = 95;

// The accepted form, for the message the caller prints when
// parse_percentile refuses a text, its format literal at the call site:
//   err_printf("netbill: bad percentile \"%s\": %s\n", text, PERCENTILE_FORMS);
constexpr const char* PERCENTILE_FORMS = "a whole number from 1 to 100";

// Parses the -p value: decimal digits only, 1..100. Returns true and
// stores it in *percentile, or false and leaves it alone. Prints nothing.
bool parse_percentile(const char* text, uint32_t* percentile);

// The 1-based rank of the nearest-rank percentile of n samples,
// ⌈percentile·n/100⌉, for n >= 1 and percentile 1..100: from 1 to n.
constexpr uint64_t percentile_rank(uint64_t n, uint32_t percentile) {
  // In 128 bits, so that no n can wrap the product; the rank fits in 64.
  return uint64_t(((unsigned __int128){n} * percentile + 99) / 100);
}

struct BillFigures {
  uint64_t bytes_in;  // sum of in_k
  uint64_t bytes_out;  // sum of out_k
  uint64_t billable_bps;  // max(p_in_bps, p_out_bps)
  uint64_t p_in_bps;  // rate of the percentile of in_k
  uint64_t p_out_bps;  // rate of the percentile of out_k
  uint64_t p_sum_bps;  // rate of the percentile of in_k + out_k
  uint64_t peak_in_bps;  // rate of the largest in_k
  uint64_t peak_out_bps;  // rate of the largest out_k
  uint64_t active_intervals;  // intervals with in_k or out_k above 0
  // A sum, a sample in_k + out_k or a rate passed 2^64−1: each such field
  // holds 2^64−1 instead, and the bill is not to be trusted.
  bool overflow;
};

// The rate of `bytes` in one interval of `interval` seconds: ⌊8·bytes/L⌋
// bits per second, computed in 128 bits. Sets *overflow when it passes
// 2^64−1 (possible for L < 8 only) and gives 2^64−1 then.
uint64_t interval_rate(uint64_t bytes, uint32_t interval, bool* overflow);

// The figures of n intervals with in[k] and out[k] bytes (k = 0 .. n−1,
// every interval of the period, those without traffic included) of
// `interval` seconds, at percentile 1..100 by nearest rank: of the samples
// sorted ascending, the one at rank percentile_rank(n, percentile). n = 0
// gives all zeros. scratch holds at least 4·n elements and is overwritten
// (a selection, not a full sort, runs in it, over the samples above zero
// only). Allocates nothing, prints nothing.
BillFigures bill_figures(const uint64_t* in, const uint64_t* out, uint64_t n, uint32_t interval,
                         uint32_t percentile, uint64_t* scratch);
