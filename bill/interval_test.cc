#include "bill/interval.h"

#include <gtest/gtest.h>

#include <string>

TEST(ParseInterval, AcceptsSecondsAndUnits) {
  struct Case {
    const char* text;
    uint32_t seconds;
  };
  const Case cases[] = {
      {"300", 300},      {"1", 1},      {"86400", 86400}, {"86400s", 86400}, {"1s", 1},
      {"5m", 300},       {"1h", 3600},  {"24h", 86400},   {"1440m", 86400},  {"007", 7},
      {"0000000000000000000000001", 1},
  };
  for (const Case& c : cases) {
    uint32_t seconds = 12345;
    EXPECT_TRUE(parse_interval(c.text, &seconds)) << c.text;
    EXPECT_EQ(seconds, c.seconds) << c.text;
  }
}

TEST(ParseInterval, RefusesEverythingElse) {
  const char* cases[] = {
      "",       "0",     "0s",    "0m",     "0h",   "86401", "86401s", "1441m", "25h",
      "-5",     "+5",    " 5",    "5 ",     "5x",   "5mm",   "5ms",    "m",     "s5",
      "5.0",    "1e3",   "5M",    "5H",     "0x10", "1d",
      "18446744073709551617",     // wraps 64 bits to 1
      "4294967596",               // wraps 32 bits to 300
      "99999999999999999999999h",
  };
  for (const char* text : cases) {
    uint32_t seconds = 12345;
    EXPECT_FALSE(parse_interval(text, &seconds)) << '"' << text << '"';
    EXPECT_EQ(seconds, 12345u) << text;
  }
}

TEST(ParseInterval, MessageNamesTheText) {
  char line[200];
  snprintf(line, sizeof line, "netbill: bad interval \"%s\": %s\n", "0", INTERVAL_FORMS);
  EXPECT_EQ(std::string(line),
            "netbill: bad interval \"0\": a whole number of seconds from 1 to 86400, or with s, m or h\n");
}
