#include "bill/period.h"

#include <ctime>

// Reads exactly `digits` decimal digits at *p and moves past them.
static bool read_digits(const char** p, int digits, int* value) {
  int v = 0;
  for (int i = 0; i < digits; i++) {
    char c = (*p)[i];
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  *p += digits;
  *value = v;
  return true;
}

static bool is_leap(int year) {
  return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

static int days_in_month(int year, int month) {
  static constexpr int DAYS[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && is_leap(year) ? 29 : DAYS[month - 1];
}

// Days from 1970-01-01 to a date of the proleptic Gregorian calendar.
static int64_t days_from_civil(int64_t year, int64_t month, int64_t day) {
  year -= month <= 2;
  int64_t era = (year >= 0 ? year : year - 399) / 400;
  int64_t year_of_era = year - era * 400;
  int64_t day_of_year = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  int64_t day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
  return era * 146097 + day_of_era - 719468;
}

// The zone's offset east of UTC, in seconds, at epoch second t.
static int64_t offset_at(int64_t t) {
  time_t x = time_t(t);
  struct tm local = {};
  localtime_r(&x, &local);
  return local.tm_gmtoff;
}

// The epoch seconds of a local time whose fields are already checked.
static bool local_epoch(int year, int month, int day, int hour, int minute, int second, uint64_t* epoch) {
  struct tm t = {};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = minute;
  t.tm_sec = second;
  t.tm_isdst = -1;  // let the zone's rules say whether daylight time holds
  int64_t seconds = mktime(&t);
  // mktime answers the hour the clocks skip and the hour they show twice
  // either way, by what it was asked before, and a bill must not depend on
  // that: those two are settled here from the offsets a day before and
  // after (no zone changes its offset twice within a day).
  int64_t wall = days_from_civil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second;
  int64_t before = offset_at(wall - 86400);
  int64_t after = offset_at(wall + 86400);
  if (before != after) {
    bool with_before = offset_at(wall - before) == before;
    bool with_after = offset_at(wall - after) == after;
    if (with_before && with_after)  // shown twice: the first time
      seconds = wall - before < wall - after ? wall - before : wall - after;
    else if (!with_before && !with_after)  // skipped: read with the offset before
      seconds = wall - before;
  }
  // -1 is also 1969-12-31 23:59:59 UTC, refused all the same.
  if (seconds < 0) return false;
  *epoch = uint64_t(seconds);
  return true;
}

static bool parse_epoch(const char* p, uint64_t* epoch) {
  if (*p < '0' || *p > '9') return false;
  uint64_t v = 0;
  for (; *p >= '0' && *p <= '9'; p++) {
    uint64_t digit = uint64_t(*p - '0');
    if (v > (UINT64_MAX - digit) / 10) return false;
    v = v * 10 + digit;
  }
  if (*p != '\0') return false;
  *epoch = v;
  return true;
}

bool parse_time(const char* text, uint64_t* epoch) {
  if (text[0] == '@') return parse_epoch(text + 1, epoch);
  const char* p = text;
  int year, month, day, hour = 0, minute = 0, second = 0;
  if (!read_digits(&p, 4, &year) || *p++ != '-' || !read_digits(&p, 2, &month) || *p++ != '-' ||
      !read_digits(&p, 2, &day))
    return false;
  if (month < 1 || month > 12 || day < 1 || day > days_in_month(year, month)) return false;
  if (*p == 'T') {
    p++;
    if (!read_digits(&p, 2, &hour) || *p++ != ':' || !read_digits(&p, 2, &minute)) return false;
    if (*p == ':') {
      p++;
      if (!read_digits(&p, 2, &second)) return false;
    }
    if (hour > 23 || minute > 59 || second > 59) return false;
  }
  if (*p != '\0') return false;
  return local_epoch(year, month, day, hour, minute, second, epoch);
}

bool parse_month(const char* text, Period* period) {
  const char* p = text;
  int year, month;
  if (!read_digits(&p, 4, &year) || *p++ != '-' || !read_digits(&p, 2, &month) || *p != '\0') return false;
  if (year < 1970 || month < 1 || month > 12) return false;
  int next_year = month == 12 ? year + 1 : year;
  int next_month = month == 12 ? 1 : month + 1;
  Period m = {};
  if (!local_epoch(year, month, 1, 0, 0, 0, &m.from) || !local_epoch(next_year, next_month, 1, 0, 0, 0, &m.to))
    return false;
  *period = m;
  return true;
}

PeriodCheck check_period(Period period, uint32_t interval) {
  if (period.from % interval != 0) return PERIOD_FROM_OFF_EDGE;
  if (period.to % interval != 0) return PERIOD_TO_OFF_EDGE;
  if (period.from >= period.to) return PERIOD_EMPTY;
  return PERIOD_OK;
}

uint64_t period_intervals(Period period, uint32_t interval) {
  return period.to > period.from ? (period.to - period.from) / interval : 0;
}

bool period_of_flows(uint64_t earliest, uint64_t latest, uint32_t interval, Period* period) {
  uint64_t last_k = latest / interval;
  if (last_k >= UINT64_MAX / interval) return false;  // (last_k + 1)·L would not fit
  period->from = earliest / interval * interval;
  period->to = (last_k + 1) * interval;
  return true;
}
