// The billing period: the -f / -t times and the -m month, read in local
// time (TZ), the checks a period must pass against the interval length,
// and the period that the flows themselves span when none is given.
#pragma once

#include <cstdint>

// The epoch seconds [from, to) that a bill covers.
struct Period {
  uint64_t from;
  uint64_t to;
};

// The accepted forms, for the messages the caller prints, with their
// formats literal at the call site, e.g.
//   err_printf("netbill: bad time \"%s\": %s\n", text, TIME_FORMS);
constexpr const char* TIME_FORMS = "@EPOCHSECONDS, YYYY-MM-DD, YYYY-MM-DDTHH:MM or YYYY-MM-DDTHH:MM:SS";
constexpr const char* MONTH_FORMS = "YYYY-MM";

// Parses one end of a period: "@SECONDS" (epoch seconds, digits only, up
// to 2^64-1), or "YYYY-MM-DD" (midnight), "YYYY-MM-DDTHH:MM" or
// "YYYY-MM-DDTHH:MM:SS" in local time. Every field has exactly its number
// of digits; month 1-12, the day valid in its month (29 February only in a
// leap year), hour 0-23, minute and second 0-59; nothing may follow.
// A local time is turned into epoch seconds by mktime with tm_isdst = -1,
// except for the two hours a year where that answer depends on mktime's
// earlier calls: a time the clocks skip (the hour a zone springs forward)
// is read with the offset in force before the change, so it lands as many
// seconds after the change as it names past it (Berlin's 2026-03-29T02:30
// is 03:30 CEST, 01:30 UTC); a time the clocks show twice (the hour a zone
// falls back) is the first of the two instants (daylight time). A time
// before 1970-01-01 00:00 UTC is refused. Returns true and
// stores the seconds in *epoch, or false and leaves it alone. Prints
// nothing.
bool parse_time(const char* text, uint64_t* epoch);

// Parses "YYYY-MM" (year 1970-9999, month 01-12) as the calendar month in
// local time: [the 1st at 00:00, the 1st of the next month at 00:00), each
// end read as parse_time reads a date. Returns true and stores it in
// *period, or false and leaves it alone. Prints nothing.
bool parse_month(const char* text, Period* period);

// What check_period finds, in the order it looks.
enum PeriodCheck : uint8_t {
  PERIOD_OK,
  PERIOD_FROM_OFF_EDGE,  // from is no multiple of the interval length
  PERIOD_TO_OFF_EDGE,  // to is no multiple of the interval length
  PERIOD_EMPTY,  // from >= to
};

// Checks a period given by -f / -t or -m against the interval length in
// seconds (1..86400): both ends on interval edges k·L (counted from the
// epoch, so in UTC: a local midnight is an edge of 1-day intervals only
// where the zone is UTC), and from < to. Prints nothing.
PeriodCheck check_period(Period period, uint32_t interval);

// The number of intervals N = (to - from) / interval of a checked period;
// 0 for an empty one.
uint64_t period_intervals(Period period, uint32_t interval);

// The last second a flow from start to end (epoch seconds) occupies:
// end - 1 when end > start, else start.
constexpr uint64_t flow_last_second(uint64_t start, uint64_t end) {
  return end > start ? end - 1 : start;
}

// The period when none is given: from the start of the interval holding
// `earliest` (the earliest start of any billed flow) to the end of the
// interval holding `latest` (the latest flow_last_second), both epoch
// seconds with earliest <= latest. Returns false when that end would pass
// 2^64-1 seconds, which no flow file can make. Prints nothing.
bool period_of_flows(uint64_t earliest, uint64_t latest, uint32_t interval, Period* period);
