// Exact division by a number that stays the same for many divisions (the
// interval of a bill, the length of one flow), as a multiplication: a
// 64-bit division takes tens of cycles on the processors operators run,
// and billing a flow needs several.
#pragma once

#include <cstdint>

struct Divisor {
  uint64_t value;  // >= 1
  uint64_t reciprocal;  // ⌊(2^64−1)/value⌋
};

inline Divisor divisor_of(uint64_t value) { return {value, UINT64_MAX / value}; }

// ⌊n/value⌋ for any n: ⌊n·reciprocal/2^64⌋ is the quotient or one less
// (the error is n·(2^64 − reciprocal·value)/(value·2^64) <= n/2^64 < 1),
// and the remainder tells which.
inline uint64_t divide(const Divisor& d, uint64_t n) {
  uint64_t q = uint64_t((static_cast<unsigned __int128>(n) * d.reciprocal) >> 64);
  return n - q * d.value >= d.value ? q + 1 : q;
}
