#include "bill/period.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include "bill/zone_test_util.h"

// Each test names its zone; the one the process had is put back after.
using PeriodTest = ZoneTest;

struct TimeCase {
  const char* tz;
  const char* text;
  uint64_t epoch;
};

// Expected values from the zone rules, worked out apart from mktime.
TEST_F(PeriodTest, ReadsEveryFormInItsZone) {
  const TimeCase cases[] = {
      {"UTC", "@0", 0},
      {"UTC", "@1793491200", 1793491200},
      {"UTC", "@18446744073709551615", UINT64_MAX},
      {"Europe/Berlin", "@1793491200", 1793491200},  // no zone in epoch seconds
      {"UTC", "1970-01-01", 0},
      {"UTC", "2026-11-01", 1793491200},
      {"UTC", "2026-11-01T00:00", 1793491200},
      {"UTC", "2026-11-01T00:00:00", 1793491200},
      {"UTC", "2024-02-29T23:59:59", 1709251199},
      {"UTC", "9999-12-31T23:59:59", 253402300799},
      {"Europe/Berlin", "2026-03-01", 1772319600},  // CET, UTC+1
      {"Europe/Berlin", "2026-10-01", 1790805600},  // CEST, UTC+2
      {"America/New_York", "2026-11-01", 1793505600},  // EDT, UTC-4
      {"America/New_York", "2026-12-01", 1796101200},  // EST, UTC-5
      // The hour that is skipped: read with the offset before the change.
      {"Europe/Berlin", "2026-03-29T02:30", 1774747800},  // = 03:30 CEST
      {"Europe/Berlin", "2026-03-29T03:30", 1774747800},
      {"America/New_York", "2026-03-08T02:30", 1772955000},  // = 03:30 EDT
      // The hour shown twice: the first, daylight, instant.
      {"Europe/Berlin", "2026-10-25T02:30", 1792888200},
      {"America/New_York", "2026-11-01T01:30", 1793511000},
  };
  for (const TimeCase& c : cases) {
    zone(c.tz);
    uint64_t epoch = 12345;
    EXPECT_TRUE(parse_time(c.text, &epoch)) << c.tz << ' ' << c.text;
    EXPECT_EQ(epoch, c.epoch) << c.tz << ' ' << c.text;
  }
}

// mktime alone answers the doubled hour by what it was asked last.
TEST_F(PeriodTest, TheDoubledHourDoesNotDependOnTheTimeReadBefore) {
  zone("Europe/Berlin");
  const char* before[] = {"2026-07-01", "2026-12-01", "2026-10-25T01:59", "2026-10-25T03:00"};
  for (const char* other : before) {
    uint64_t epoch = 0;
    ASSERT_TRUE(parse_time(other, &epoch));
    ASSERT_TRUE(parse_time("2026-10-25T02:00", &epoch));
    EXPECT_EQ(epoch, 1792886400u) << "after " << other;  // 00:00 UTC, CEST
    ASSERT_TRUE(parse_time(other, &epoch));
    ASSERT_TRUE(parse_time("2026-10-25T02:59:59", &epoch));
    EXPECT_EQ(epoch, 1792889999u) << "after " << other;
    ASSERT_TRUE(parse_time(other, &epoch));
    ASSERT_TRUE(parse_time("2026-03-29T02:00", &epoch));
    EXPECT_EQ(epoch, 1774746000u) << "after " << other;  // 01:00 UTC, the change itself
  }
}

TEST_F(PeriodTest, RefusesBadTimes) {
  zone("UTC");
  const char* cases[] = {
      "",
      "@",
      "@-1",
      "@+5",
      "@ 5",
      "@5x",
      "@18446744073709551616",  // 2^64
      "@99999999999999999999999",
      "2026-13-01",
      "2026-00-01",
      "2026-01-00",
      "2026-01-32",
      "2026-02-29",  // no leap year
      "2100-02-29",  // no leap year either
      "2026-04-31",
      "2026-11-01T24:00",
      "2026-11-01T23:60",
      "2026-11-01T23:59:60",
      "2026-11-01T",
      "2026-11-01T1:00",
      "2026-11-01T01:0",
      "2026-11-01T01:00:",
      "2026-11-01T01:00:0",
      "2026-11-01T01:00:00Z",
      "2026-11-01 01:00",
      "2026-11-01x",
      "2026-11-1",
      "26-11-01",
      "2026/11/01",
      " 2026-11-01",
      "2026-11-01 ",
      "1969-12-31T23:59:59",  // before the epoch
      "1969-12-31",
      "2026-11",
  };
  for (const char* text : cases) {
    uint64_t epoch = 12345;
    EXPECT_FALSE(parse_time(text, &epoch)) << '"' << text << '"';
    EXPECT_EQ(epoch, 12345u) << text;
  }
}

TEST_F(PeriodTest, TheMidnightBeforeTheEpochInAZoneEastOfUtc) {
  zone("Europe/Berlin");  // 1970-01-01 00:00 CET is 23:00 UTC the day before
  uint64_t epoch = 12345;
  EXPECT_FALSE(parse_time("1970-01-01", &epoch));
  EXPECT_TRUE(parse_time("1970-01-01T01:00", &epoch));
  EXPECT_EQ(epoch, 0u);
}

struct MonthCase {
  const char* tz;
  const char* text;
  uint64_t from;
  uint64_t to;
};

TEST_F(PeriodTest, MonthIsTheLocalCalendarMonth) {
  const MonthCase cases[] = {
      {"UTC", "2026-11", 1793491200, 1796083200},
      {"UTC", "2026-12", 1796083200, 1798761600},  // into the next year
      {"UTC", "1970-01", 0, 2678400},
      {"Europe/Berlin", "2026-03", 1772319600, 1774994400},  // 31 days less 1 hour
      {"Europe/Berlin", "2026-10", 1790805600, 1793487600},  // 31 days and 1 hour
      {"America/New_York", "2026-11", 1793505600, 1796101200},
  };
  for (const MonthCase& c : cases) {
    zone(c.tz);
    Period p = {12345, 12345};
    EXPECT_TRUE(parse_month(c.text, &p)) << c.tz << ' ' << c.text;
    EXPECT_EQ(p.from, c.from) << c.tz << ' ' << c.text;
    EXPECT_EQ(p.to, c.to) << c.tz << ' ' << c.text;
  }
}

TEST_F(PeriodTest, RefusesBadMonths) {
  zone("UTC");
  const char* cases[] = {"", "2026", "2026-", "2026-1", "2026-13", "2026-00", "2026-11-01",
                         "2026-11x", "1969-12", "0000-01", "26-11", "2026/11", "@1793491200"};
  for (const char* text : cases) {
    Period p = {12345, 12345};
    EXPECT_FALSE(parse_month(text, &p)) << '"' << text << '"';
    EXPECT_EQ(p.from, 12345u) << text;
  }
}

TEST_F(PeriodTest, ChecksEdgesAndOrder) {
  struct Case {
    Period period;
    uint32_t interval;
    PeriodCheck check;
    uint64_t intervals;
  };
  const Case cases[] = {
      {{1793491200, 1796083200}, 300, PERIOD_OK, 8640},
      {{1793491200, 1796083200}, 86400, PERIOD_OK, 30},
      {{1793491200, 1793491500}, 300, PERIOD_OK, 1},
      {{0, 1}, 1, PERIOD_OK, 1},
      {{1793491201, 1796083200}, 300, PERIOD_FROM_OFF_EDGE, 8639},
      {{1793491200, 1796083199}, 300, PERIOD_TO_OFF_EDGE, 8639},
      {{1793491200, 1793491200}, 300, PERIOD_EMPTY, 0},
      {{1796083200, 1793491200}, 300, PERIOD_EMPTY, 0},
      {{1772319600, 1774994400}, 3600, PERIOD_OK, 743},  // Berlin's March: 743 hours
      {{1772319600, 1774994400}, 86400, PERIOD_FROM_OFF_EDGE, 30},  // a local midnight is no UTC one
      {{1790805600, 1793487600}, 300, PERIOD_OK, 8940},  // Berlin's October: 8,928 + 12
  };
  for (const Case& c : cases) {
    EXPECT_EQ(check_period(c.period, c.interval), c.check) << c.period.from << ' ' << c.period.to;
    EXPECT_EQ(period_intervals(c.period, c.interval), c.intervals) << c.period.from << ' ' << c.period.to;
  }
}

TEST(PeriodOfFlows, FromTheEarliestStartToTheEndOfTheLatestSecond) {
  struct Case {
    uint64_t earliest, latest;
    uint32_t interval;
    bool ok;
    Period period;
  };
  const Case cases[] = {
      {1000, 1000, 300, true, {900, 1200}},
      {900, 1199, 300, true, {900, 1200}},
      {899, 1200, 300, true, {600, 1500}},
      {0, 0, 1, true, {0, 1}},
      {0, UINT64_MAX - 1, 1, true, {0, UINT64_MAX}},
      {0, UINT64_MAX, 1, false, {}},
      {0, UINT64_MAX / 300 * 300 - 1, 300, true, {0, UINT64_MAX / 300 * 300}},
      {0, UINT64_MAX / 300 * 300, 300, false, {}},
  };
  for (const Case& c : cases) {
    Period p = {};
    EXPECT_EQ(period_of_flows(c.earliest, c.latest, c.interval, &p), c.ok) << c.earliest << ' ' << c.latest;
    if (c.ok) {
      EXPECT_EQ(p.from, c.period.from) << c.earliest;
      EXPECT_EQ(p.to, c.period.to) << c.latest;
    }
  }
  EXPECT_EQ(flow_last_second(100, 160), 159u);  // [s, e) ends before e
  EXPECT_EQ(flow_last_second(100, 100), 100u);
  EXPECT_EQ(flow_last_second(100, 40), 100u);  // e < s: all at s
}
