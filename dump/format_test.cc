// recdump's hand-made line against snprintf with the line's literal
// formats, over a table of edge values and many random records, under time
// zones with daylight saving time and offsets that are not whole hours,
// with and without the cache of times of day.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "dump/print_record.h"

namespace {

// The line as the literal formats print it.
std::string oracle(const FlowRecord& r, uint32_t start_time) {
  char src[16], dst[16], line[RECORD_LINE_MAX];
  snprintf(src, sizeof src, "%u.%u.%u.%u", r.src_bytes[0], r.src_bytes[1], r.src_bytes[2],
           r.src_bytes[3]);
  snprintf(dst, sizeof dst, "%u.%u.%u.%u", r.dst_bytes[0], r.dst_bytes[1], r.dst_bytes[2],
           r.dst_bytes[3]);
  int n;
  switch (r.protocol) {
    case 1:
      n = snprintf(line, sizeof line, "ICMP(1) %s %s %u %u", src, dst, r.icmp_type, r.icmp_code);
      break;
    case 17:
      n = snprintf(line, sizeof line, "UDP(17) %s:%-u %s:%-u", src, r.src_port, dst, r.dst_port);
      break;
    case 6:
      n = snprintf(line, sizeof line, "TCP(6) %s:%-u %s:%-u", src, r.src_port, dst, r.dst_port);
      break;
    default:
      n = snprintf(line, sizeof line, "OTHER(%u) %s %s", r.protocol, src, dst);
      break;
  }
  uint16_t duration = uint16_t(r.end_offset - r.start_offset);
  time_t start = time_t(uint32_t(start_time + r.start_offset));
  char when[9] = "00:00:00";
  const struct tm* tm = localtime(&start);
  if (tm) strftime(when, sizeof when, "%T", tm);
  n += snprintf(line + n, sizeof line - size_t(n), " %lu %lu %.2f %lu %lu %.2f %s %u\n",
                (unsigned long)r.fwd_packets, (unsigned long)r.fwd_bytes,
                record_rate(r.fwd_bytes, duration), (unsigned long)r.rev_packets,
                (unsigned long)r.rev_bytes, record_rate(r.rev_bytes, duration), when, duration);
  return std::string(line, size_t(n));
}

std::string formatted(const FlowRecord& r, uint32_t start_time, TimeTextCache* cache) {
  char line[RECORD_LINE_MAX];
  size_t n = cache ? format_record_cached(line, r, start_time, cache)
                   : format_record(line, r, start_time);
  EXPECT_LT(n, RECORD_LINE_MAX);
  return std::string(line, n);
}

void set_zone(const char* zone) {
  setenv("TZ", zone, 1);
  tzset();
}

const uint64_t COUNTS[] = {0,         1,          9,          10,         99,        100,
                           999,       1000,       12345,      65535,      65536,     99999,
                           100000,    999999,     1000000,    9999999,    10000000,  99999999,
                           100000000, 999999999,  1000000000, 2147483647, 2147483648,
                           4000000000, 4294967294, 4294967295};
const uint8_t BYTES[] = {0, 1, 9, 10, 99, 100, 199, 200, 249, 250, 255};
const uint8_t PROTOCOLS[] = {0, 1, 2, 5, 6, 10, 17, 99, 100, 255};
const uint16_t OFFSETS[] = {0, 1, 2, 3, 9, 10, 59, 60, 99, 100, 3599, 3600, 9999,
                            10000, 32767, 32768, 65533, 65534, 65535};
const uint32_t START_TIMES[] = {0,          1,          59,         86399,      86400,
                                1700000000, 1679792399, 1698541199, 2147483647, 2147483648,
                                4294901760, 4294967295};

// Zones with daylight saving time, with offsets of half and three quarters
// of an hour, with a half-hour daylight saving shift, and none at all.
const char* const ZONES[] = {"UTC",          "Europe/Berlin",   "America/New_York",
                             "Asia/Kolkata", "Asia/Kathmandu",  "America/St_Johns",
                             "Australia/Lord_Howe", "Pacific/Chatham", "Europe/London"};

FlowRecord random_record(std::mt19937_64& rng) {
  auto pick = [&](const auto& table) { return table[rng() % std::size(table)]; };
  FlowRecord r = {};
  r.protocol = rng() % 3 == 0 ? uint8_t(rng()) : pick(PROTOCOLS);
  for (int i = 0; i < 4; i++) {
    r.src_bytes[i] = rng() % 2 ? uint8_t(rng()) : pick(BYTES);
    r.dst_bytes[i] = rng() % 2 ? uint8_t(rng()) : pick(BYTES);
  }
  r.src_port = rng() % 2 ? uint16_t(rng()) : pick(OFFSETS);
  r.dst_port = rng() % 2 ? uint16_t(rng()) : pick(OFFSETS);
  r.icmp_type = uint8_t(rng());
  r.icmp_code = rng() % 2 ? uint8_t(rng()) : pick(BYTES);
  r.start_offset = rng() % 2 ? uint16_t(rng()) : pick(OFFSETS);
  // Short durations mostly, where the rates have digits to round.
  r.end_offset = uint16_t(r.start_offset + (rng() % 4 == 0 ? rng() : rng() % 400));
  uint64_t* counts[] = {&r.fwd_packets, &r.fwd_bytes, &r.rev_packets, &r.rev_bytes};
  for (uint64_t* c : counts) *c = rng() % 2 ? uint32_t(rng() >> (rng() % 32)) : pick(COUNTS);
  return r;
}

class RecordFormat : public ::testing::Test {
 protected:
  void TearDown() override { set_zone("UTC"); }
};

// Every edge count under every duration of the table: the rates' rounding.
TEST_F(RecordFormat, EdgeCountsAndDurations) {
  set_zone("UTC");
  FlowRecord r = {};
  r.protocol = 6;
  for (uint64_t fwd : COUNTS)
    for (uint16_t start : OFFSETS)
      for (uint16_t end : OFFSETS) {
        r.fwd_packets = fwd;
        r.fwd_bytes = fwd;
        r.rev_packets = 4294967295 - fwd;
        r.rev_bytes = fwd / 3;
        r.start_offset = start;
        r.end_offset = end;
        ASSERT_EQ(formatted(r, 1700000000, nullptr), oracle(r, 1700000000));
      }
}

// Every protocol and edge address, port and ICMP byte.
TEST_F(RecordFormat, EdgeProtocolsAddressesAndPorts) {
  set_zone("UTC");
  FlowRecord r = {};
  for (unsigned protocol = 0; protocol < 256; protocol++)
    for (uint8_t b : BYTES)
      for (uint16_t port : OFFSETS) {
        r.protocol = uint8_t(protocol);
        for (int i = 0; i < 4; i++) {
          r.src_bytes[i] = uint8_t(b + i);
          r.dst_bytes[i] = uint8_t(255 - b - i);
        }
        r.src_port = port;
        r.dst_port = uint16_t(65535 - port);
        r.icmp_type = b;
        r.icmp_code = uint8_t(255 - b);
        ASSERT_EQ(formatted(r, 0, nullptr), oracle(r, 0));
      }
}

// Rates from every byte count up to 100,000 over durations 3 to 60, and
// from random counts over random durations: every rounding the rates meet.
TEST_F(RecordFormat, ManyRates) {
  set_zone("UTC");
  FlowRecord r = {};
  r.protocol = 17;
  std::mt19937_64 rng(7);
  for (uint64_t bytes = 0; bytes <= 100000; bytes += 1 + bytes / 1000) {
    for (uint16_t duration = 3; duration <= 60; duration++) {
      r.fwd_bytes = bytes;
      r.rev_bytes = uint32_t(rng());
      r.end_offset = duration;
      ASSERT_EQ(formatted(r, 0, nullptr), oracle(r, 0));
    }
  }
}

// Random records and start times in every zone, with one cache per zone
// that fills as it goes and serves the later records.
TEST_F(RecordFormat, RandomRecordsInManyZones) {
  std::mt19937_64 rng(2024);
  for (const char* zone : ZONES) {
    set_zone(zone);
    auto cache = std::make_unique<TimeTextCache>();
    for (int i = 0; i < 40000; i++) {
      uint32_t start_time = i % 4 == 0 ? START_TIMES[rng() % std::size(START_TIMES)]
                                       : uint32_t(rng());
      FlowRecord r = random_record(rng);
      std::string expected = oracle(r, start_time);
      ASSERT_EQ(formatted(r, start_time, nullptr), expected) << zone;
      ASSERT_EQ(formatted(r, start_time, cache.get()), expected) << zone;
    }
  }
}

// The seconds where a zone's offset changes: found by stepping through two
// years an hour at a time and narrowing every change to its second.
std::vector<uint32_t> offset_changes(uint32_t from, uint32_t to) {
  auto offset = [](uint32_t t) {
    time_t s = time_t(t);
    struct tm tm;
    localtime_r(&s, &tm);
    return tm.tm_gmtoff;
  };
  std::vector<uint32_t> changes;
  for (uint32_t t = from; t + 3600 <= to; t += 3600) {
    if (offset(t) == offset(t + 3600)) continue;
    uint32_t lo = t, hi = t + 3600;  // offset(lo) != offset(hi)
    while (hi - lo > 1) {
      uint32_t mid = lo + (hi - lo) / 2;
      (offset(mid) == offset(lo) ? lo : hi) = mid;
    }
    changes.push_back(hi);
  }
  return changes;
}

// A file whose records start on both sides of a change of the offset, in
// zones whose changes are one hour, half an hour, or come with offsets
// that are not whole hours: with the cache, every record's time of day is
// still the one localtime gives.
TEST_F(RecordFormat, AcrossOffsetChanges) {
  const char* zones[] = {"Europe/Berlin", "America/New_York", "America/St_Johns",
                         "Australia/Lord_Howe", "Pacific/Chatham"};
  for (const char* zone : zones) {
    set_zone(zone);
    std::vector<uint32_t> changes = offset_changes(1672531200, 1735689600);  // 2023, 2024
    ASSERT_GE(changes.size(), 4u) << zone << ": no zone data?";
    for (uint32_t change : changes) {
      // One file that starts two hours before the change; its records
      // start every 7 seconds up to 6 hours later, then at random.
      uint32_t start_time = change - 7200;
      auto cache = std::make_unique<TimeTextCache>();
      std::mt19937_64 rng(change);
      FlowRecord r = random_record(rng);
      for (uint32_t offset = 0; offset < 65536; offset += 7) {
        r.start_offset = uint16_t(offset);
        r.end_offset = uint16_t(offset + 60);
        ASSERT_EQ(formatted(r, start_time, cache.get()), oracle(r, start_time))
            << zone << " change at " << change << " offset " << offset;
      }
      for (int i = 0; i < 2000; i++) {
        r.start_offset = uint16_t(rng());
        ASSERT_EQ(formatted(r, start_time, cache.get()), oracle(r, start_time)) << zone;
      }
    }
  }
}

}  // namespace
