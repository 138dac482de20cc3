#include "bill/interval.h"

bool parse_interval(const char* text, uint32_t* seconds) {
  const char* p = text;
  uint64_t value = 0;
  if (*p < '0' || *p > '9') return false;
  while (*p >= '0' && *p <= '9') {
    value = value * 10 + uint64_t(*p - '0');
    // Stop at once past a day, so that no number of digits can wrap.
    if (value > INTERVAL_MAX) return false;
    p++;
  }
  uint64_t unit = 1;
  if (*p == 's') {
    p++;
  } else if (*p == 'm') {
    unit = 60;
    p++;
  } else if (*p == 'h') {
    unit = 3600;
    p++;
  }
  if (*p != '\0') return false;
  value *= unit;
  if (value < INTERVAL_MIN || value > INTERVAL_MAX) return false;
  *seconds = uint32_t(value);
  return true;
}
