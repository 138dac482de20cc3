// The interval length of a bill: the -i value, parsed and range-checked.
// Interval k of length L covers the epoch seconds [k·L, (k+1)·L).
#pragma once

#include <cstdint>

constexpr uint32_t INTERVAL_MIN = 1;  // seconds
constexpr uint32_t INTERVAL_MAX = 86400;  // one day
constexpr uint32_t INTERVAL_DEFAULT = 300;

// The accepted forms, for the message the caller prints when
// parse_interval refuses a text, its format literal at the call site:
//   err_printf("netbill: bad interval \"%s\": %s\n", text, INTERVAL_FORMS);
constexpr const char* INTERVAL_FORMS = "a whole number of seconds from 1 to 86400, or with s, m or h";

// Parses a whole number of seconds ("300"), or one with the unit s, m or h
// right after it ("86400s", "5m", "1h"). Returns true and stores the
// seconds in *seconds when they are from INTERVAL_MIN to INTERVAL_MAX;
// returns false and leaves *seconds alone for anything else (no digits, a
// sign, white space, another unit, trailing bytes, 0, more than a day).
// Prints nothing.
bool parse_interval(const char* text, uint32_t* seconds);
