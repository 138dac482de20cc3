#include "bill/figures.h"

#include <algorithm>
#include <cmath>

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

// The sample at 0-based position `at` of samples[0 .. count−1] sorted
// ascending. For a percentile near the top the answer is among a few of
// the largest: a threshold drawn from a sorted sample of SAMPLE_SIZE
// samples, a little below where the answer should lie, keeps those
// samples in one pass without a branch, and the selection runs over them
// only. When the threshold turns out too high the whole selection runs.
// samples is reordered; spare holds count samples.
static constexpr uint64_t SAMPLE_SIZE = 256;
static constexpr uint64_t SAMPLED_FROM = 4 * SAMPLE_SIZE;  // fewer samples: the plain selection

static uint64_t sample_at(uint64_t* samples, uint64_t count, uint64_t at, uint64_t* spare) {
  uint64_t above = count - at;  // the samples from `at` on
  if (count >= SAMPLED_FROM && above <= count / 8) {
    uint64_t sample[SAMPLE_SIZE];
    const uint64_t stride = count / SAMPLE_SIZE;
    for (uint64_t i = 0; i < SAMPLE_SIZE; i++) sample[i] = samples[i * stride];
    std::sort(sample, sample + SAMPLE_SIZE);
    // Where the answer falls in the sample, less a margin of three
    // standard deviations of that place and a few more.
    uint64_t expected = uint64_t(double(at) / double(count) * SAMPLE_SIZE);
    uint64_t margin = 8 + uint64_t(3 * std::sqrt(double(above) * SAMPLE_SIZE / double(count)));
    uint64_t threshold = sample[expected > margin ? expected - margin : 0];
    uint64_t kept = 0;
    for (uint64_t i = 0; i < count; i++) {
      spare[kept] = samples[i];
      kept += samples[i] >= threshold;
    }
    if (kept >= above) {
      // The answer is the least of the `above` largest, all kept.
      std::nth_element(spare, spare + (kept - above), spare + kept);
      return spare[kept - above];
    }
  }
  std::nth_element(samples, samples + at, samples + count);
  return samples[at];
}

// The sample at `rank` (1-based, of n) when the n − busy others are 0 and
// samples[0 .. busy−1] holds the samples above zero: most customers are
// idle most of the time, so the zeros are only counted, and the selection
// runs over the others. samples is reordered; spare holds busy samples.
static uint64_t busy_sample_at_rank(uint64_t* samples, uint64_t busy, uint64_t n, uint64_t rank, uint64_t* spare) {
  uint64_t zeros = n - busy;
  if (rank <= zeros) return 0;
  return sample_at(samples, busy, rank - zeros - 1, spare);
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
  // One pass: the sums, peaks and active intervals, and the samples above
  // zero of in, out and their sum, each kept by a branch-free step.
  uint64_t* busy_in = scratch;
  uint64_t* busy_out = scratch + n;
  uint64_t* busy_sum = scratch + 2 * n;
  uint64_t max_in = 0, max_out = 0, count_in = 0, count_out = 0, count_sum = 0;
  for (uint64_t k = 0; k < n; k++) {
    uint64_t i = in[k], o = out[k];
    f.bytes_in = add_saturating(f.bytes_in, i, &f.overflow);
    f.bytes_out = add_saturating(f.bytes_out, o, &f.overflow);
    max_in = std::max(max_in, i);
    max_out = std::max(max_out, o);
    uint64_t both = add_saturating(i, o, &f.overflow);
    busy_in[count_in] = i;
    count_in += i != 0;
    busy_out[count_out] = o;
    count_out += o != 0;
    busy_sum[count_sum] = both;
    count_sum += both != 0;
  }
  f.active_intervals = count_sum;
  const uint64_t rank = percentile_rank(n, percentile);
  uint64_t* spare = scratch + 3 * n;
  f.p_in_bps = interval_rate(busy_sample_at_rank(busy_in, count_in, n, rank, spare), interval, &f.overflow);
  f.p_out_bps = interval_rate(busy_sample_at_rank(busy_out, count_out, n, rank, spare), interval, &f.overflow);
  f.p_sum_bps = interval_rate(busy_sample_at_rank(busy_sum, count_sum, n, rank, spare), interval, &f.overflow);
  f.billable_bps = std::max(f.p_in_bps, f.p_out_bps);
  f.peak_in_bps = interval_rate(max_in, interval, &f.overflow);
  f.peak_out_bps = interval_rate(max_out, interval, &f.overflow);
  return f;
}
