#include "tally/tally.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <string>

#include "tally/capture_test_util.h"
#include "nets/host_table.h"
#include "nets/output.h"
#include "nets/table_test_util.h"

namespace {

using Record = std::array<uint8_t, FLOW_RECORD_SIZE>;

constexpr uint32_t ip(uint32_t a, uint32_t b, uint32_t c, uint32_t d) {
  return a << 24 | b << 16 | c << 8 | d;
}

void put32(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v >> 24); p[1] = uint8_t(v >> 16); p[2] = uint8_t(v >> 8); p[3] = uint8_t(v);
}

Record make_record(uint32_t src, uint32_t dst, uint16_t start, uint16_t end, uint32_t fpk,
                   uint32_t fby, uint32_t rpk, uint32_t rby, uint8_t fill = 0) {
  Record r;
  r.fill(fill);  // the bytes behind each field must not matter
  r[0] = 6;
  r[1] = uint8_t(start >> 8); r[2] = uint8_t(start);
  r[3] = uint8_t(end >> 8); r[4] = uint8_t(end);
  put32(&r[5], fpk);
  put32(&r[13], fby);
  put32(&r[21], rpk);
  put32(&r[29], rby);
  put32(&r[37], src);
  put32(&r[45], dst);
  return r;
}

const uint32_t A = ip(10, 0, 0, 1), B = ip(10, 0, 0, 2), OUT = ip(198, 51, 100, 7);

class Tally : public ::testing::Test {
 protected:
  void SetUp() override { place_blocks(single_addresses({A, B})); }
  HostEntry& entry(uint32_t a) { return host_table.entries[host_lookup(a)]; }
};

TEST_F(Tally, InternalFlowTouchesOnlyInternalCounters) {
  tally_record(make_record(A, B, 100, 160, 12, 3000, 10, 500, 0xFF), 1100000000);
  EXPECT_EQ(entry(A).internal_bytes_out, 3000u);
  EXPECT_EQ(entry(A).internal_bytes_in, 500u);
  EXPECT_EQ(entry(B).internal_bytes_in, 3000u);
  EXPECT_EQ(entry(B).internal_bytes_out, 500u);
  for (uint32_t a : {A, B}) {
    const HostEntry& e = entry(a);
    EXPECT_EQ(e.bytes_in + e.bytes_out + e.packets_in + e.packets_out, 0u);
    EXPECT_EQ(e.first_seen + e.last_seen, 0u);
  }
}

TEST_F(Tally, SameAddressAtBothEndsCountsBothWays) {
  tally_record(make_record(A, A, 0, 0, 1, 3000, 1, 500), 0);
  EXPECT_EQ(entry(A).internal_bytes_out, 3500u);
  EXPECT_EQ(entry(A).internal_bytes_in, 3500u);
}

TEST_F(Tally, CrossingFlowSeenFromTheInsideEnd) {
  tally_record(make_record(A, OUT, 0, 0, 12, 3000, 10, 120000, 0xFF), 0);
  EXPECT_EQ(entry(A).packets_out, 12u);
  EXPECT_EQ(entry(A).bytes_out, 3000u);
  EXPECT_EQ(entry(A).packets_in, 10u);
  EXPECT_EQ(entry(A).bytes_in, 120000u);

  tally_record(make_record(OUT, B, 0, 0, 12, 3000, 10, 120000), 0);
  EXPECT_EQ(entry(B).packets_in, 12u);
  EXPECT_EQ(entry(B).bytes_in, 3000u);
  EXPECT_EQ(entry(B).packets_out, 10u);
  EXPECT_EQ(entry(B).bytes_out, 120000u);
  EXPECT_EQ(entry(A).internal_bytes_in + entry(B).internal_bytes_out, 0u);
}

TEST_F(Tally, CountersAreSixtyFourBits) {
  for (int i = 0; i < 3; i++)
    tally_record(make_record(A, OUT, 0, 0, 0xFFFFFFFF, 0xFFFFFFFF, 0, 0), 0);
  EXPECT_EQ(entry(A).bytes_out, 3 * uint64_t{0xFFFFFFFF});
  EXPECT_EQ(entry(A).packets_out, 3 * uint64_t{0xFFFFFFFF});
}

TEST_F(Tally, FirstAndLastSeen) {
  struct {
    uint64_t base;
    uint16_t start, end;
    uint64_t first, last;
  } steps[] = {
      {1100000000, 100, 160, 1100000100, 1100000160},  // a fresh entry takes both
      {1100000000, 40, 90, 1100000040, 1100000160},    // earlier start lowers first
      {1100000300, 0, 10, 1100000040, 1100000310},     // later end raises last
      {1100000000, 50, 20, 1100000040, 1100000310},    // end before start: used as is
      {0xFFFFFFFF, 65535, 65535, 1100000040, 0xFFFFFFFFull + 65535},  // no 32-bit wrap
  };
  for (const auto& s : steps) {
    tally_record(make_record(OUT, A, s.start, s.end, 0, 0, 0, 0), s.base);  // counts 0 still count
    EXPECT_EQ(entry(A).first_seen, s.first) << s.base << " " << s.start;
    EXPECT_EQ(entry(A).last_seen, s.last) << s.base << " " << s.start;
  }
}

TEST_F(Tally, EndBeforeStartOnAFreshEntry) {
  tally_record(make_record(A, OUT, 30, 28, 0, 0, 0, 0), 1000);
  EXPECT_EQ(entry(A).first_seen, 1030u);
  EXPECT_EQ(entry(A).last_seen, 1028u);
}

TEST_F(Tally, StartTimeZeroLeavesTheEntryFresh) {
  tally_record(make_record(A, OUT, 0, 5, 0, 0, 0, 0), 0);
  EXPECT_EQ(entry(A).first_seen, 0u);
  EXPECT_EQ(entry(A).last_seen, 5u);
  tally_record(make_record(A, OUT, 100, 101, 0, 0, 0, 0), 1000);
  EXPECT_EQ(entry(A).first_seen, 1100u);  // set afresh, not min(0, 1100)
  EXPECT_EQ(entry(A).last_seen, 1101u);
}

TEST_F(Tally, SlotZeroCountsLikeAnyOther) {
  uint32_t z = 1;
  while (host_hash(z) != 0) z++;
  place_blocks(single_addresses({A, B, z}));
  ASSERT_EQ(host_lookup(z), 0);
  tally_record(make_record(z, OUT, 0, 0, 1, 5000, 1, 6000), 0);
  EXPECT_EQ(host_table.entries[0].bytes_out, 5000u);
  tally_record(make_record(z, A, 0, 0, 1, 7, 1, 0), 0);
  EXPECT_EQ(host_table.entries[0].internal_bytes_out, 7u);
}

// Neither end ours: one line on standard error, whatever follows each
// address in the record, and no change to the table.
TEST_F(Tally, NeitherEndIsReported) {
  std::string err = captured_output(2, [] {
    tally_record(make_record(ip(203, 0, 113, 5), ip(198, 51, 100, 7), 0, 0, 1, 1, 1, 1, 0xFF), 0);
  });
  EXPECT_EQ(err, "Strange...203.0.113.5->198.51.100.7\n");
  EXPECT_EQ(entry(A).bytes_in + entry(B).bytes_in, 0u);
}

}  // namespace
