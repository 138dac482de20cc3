#include "dump/print_record.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace {

FlowRecord record(uint8_t protocol, uint16_t start, uint16_t end, uint64_t fwd_bytes,
                  uint64_t rev_bytes) {
  FlowRecord r = {};
  r.protocol = protocol;
  r.start_offset = start;
  r.end_offset = end;
  r.fwd_packets = 1;
  r.fwd_bytes = fwd_bytes;
  r.rev_packets = 2;
  r.rev_bytes = rev_bytes;
  const uint8_t src[4] = {192, 168, 1, 10}, dst[4] = {10, 0, 0, 1};
  for (int i = 0; i < 4; i++) r.src_bytes[i] = src[i], r.dst_bytes[i] = dst[i];
  r.src_port = 51000;
  r.dst_port = 80;
  r.icmp_type = 8;
  r.icmp_code = 0;
  return r;
}

std::string line_of(const FlowRecord& r, uint32_t start_time) {
  char buf[RECORD_LINE_MAX];
  size_t n = format_record(buf, r, start_time);
  return std::string(buf, n);
}

class PrintRecord : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "UTC", 1);
    tzset();
  }
};

TEST(RecordRate, RoundedThroughSinglePrecision) {
  struct {
    uint64_t bytes;
    uint16_t duration;
    double rate;
  } cases[] = {
      {4294967295, 3, 11166915.0},  // exact quotient 11166914.967
      {4000000000, 7, 4457143.0},
      {1000, 3, 2.6f},
      {3000, 60, 0.39f},
      {120000, 60, 15.6f},
      {4000000000, 2, 0},
      {4000000000, 0, 0},
      {0, 65535, 0},
  };
  for (const auto& c : cases) EXPECT_EQ(record_rate(c.bytes, c.duration), c.rate) << c.bytes;
}

TEST_F(PrintRecord, Lines) {
  struct {
    FlowRecord r;
    uint32_t start_time;
    const char* line;
  } cases[] = {
      {record(6, 10, 70, 3000, 120000), 1700000000,
       "TCP(6) 192.168.1.10:51000 10.0.0.1:80 1 3000 0.39 2 120000 15.60 22:13:30 60\n"},
      {record(17, 0, 3, 4294967295, 1000), 0,
       "UDP(17) 192.168.1.10:51000 10.0.0.1:80 1 4294967295 11166915.00 2 1000 2.60 00:00:00 3\n"},
      {record(1, 100, 101, 84, 84), 1700000000,
       "ICMP(1) 192.168.1.10 10.0.0.1 8 0 1 84 0.00 2 84 0.00 22:15:00 1\n"},
      {record(0, 30, 28, 1000, 1000), 1, "OTHER(0) 192.168.1.10 10.0.0.1 1 1000 0.00 2 1000 0.00 00:00:31 65534\n"},
      {record(255, 1, 1, 0, 0), 4294967295u,  // the start wraps in 32 bits
       "OTHER(255) 192.168.1.10 10.0.0.1 1 0 0.00 2 0 0.00 00:00:00 0\n"},
  };
  for (const auto& c : cases) EXPECT_EQ(line_of(c.r, c.start_time), c.line);
}

TEST_F(PrintRecord, LongestLineFits) {
  FlowRecord r = record(17, 0, 3, 4294967295, 4294967295);
  for (int i = 0; i < 4; i++) r.src_bytes[i] = r.dst_bytes[i] = 255;
  r.fwd_packets = r.rev_packets = 4294967295;
  r.src_port = r.dst_port = 65535;
  std::string line = line_of(r, 0);
  EXPECT_EQ(line,
            "UDP(17) 255.255.255.255:65535 255.255.255.255:65535 4294967295 4294967295 "
            "11166915.00 4294967295 4294967295 11166915.00 00:00:00 3\n");
  EXPECT_LT(line.size(), RECORD_LINE_MAX);
}

}  // namespace
