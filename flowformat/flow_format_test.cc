#include "flowformat/flow_format.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>

namespace {

// The TCP record from 192.168.1.10:51000 to 10.0.0.1:80, byte by byte.
constexpr std::array<uint8_t, FLOW_RECORD_SIZE> EXAMPLE = {
    0x06, 0x00, 0x0a, 0x00, 0x46, 0x00, 0x00, 0x00, 0x0c, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x0b, 0xb8, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x0a, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x01, 0xd4, 0xc0, 0x00, 0x00, 0x00, 0x00, 0xc0, 0xa8, 0x01, 0x0a, 0x00, 0x00, 0x00, 0x00,
    0x0a, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0xc7, 0x38, 0x00, 0x50};

// The bytes that no reader may look at.
bool not_interpreted(size_t i) {
  return (i >= 9 && i < 13) || (i >= 17 && i < 21) || (i >= 25 && i < 29) || (i >= 33 && i < 37) ||
         (i >= 41 && i < 45) || (i >= 49 && i < 53);
}

void expect_example_fields(const FlowRecord& r) {
  EXPECT_EQ(r.protocol, PROTO_TCP);
  EXPECT_EQ(r.start_offset, 10);
  EXPECT_EQ(r.end_offset, 70);
  EXPECT_EQ(r.fwd_packets, 12u);
  EXPECT_EQ(r.fwd_bytes, 3000u);
  EXPECT_EQ(r.rev_packets, 10u);
  EXPECT_EQ(r.rev_bytes, 120000u);
  EXPECT_EQ(r.src_addr, 3232235786u);  // 192.168.1.10
  EXPECT_EQ(r.dst_addr, 167772161u);   // 10.0.0.1
  const uint8_t src[4] = {192, 168, 1, 10}, dst[4] = {10, 0, 0, 1};
  EXPECT_EQ(memcmp(r.src_bytes, src, 4), 0);
  EXPECT_EQ(memcmp(r.dst_bytes, dst, 4), 0);
  EXPECT_EQ(r.src_port, 51000);
  EXPECT_EQ(r.dst_port, 80);
  EXPECT_EQ(r.icmp_type, 0xc7);
  EXPECT_EQ(r.icmp_code, 0x38);
}

TEST(DecodeRecord, ExampleRecord) { expect_example_fields(decode_record(EXAMPLE)); }

TEST(DecodeRecord, BytesNotInterpretedAreIgnored) {
  for (uint8_t fill : {uint8_t{0xFF}, uint8_t{0x5A}}) {
    auto rec = EXAMPLE;
    for (size_t i = 0; i < rec.size(); i++)
      if (not_interpreted(i)) rec[i] = fill;
    expect_example_fields(decode_record(rec));
  }
}

TEST(DecodeRecord, FieldsAtTheirWidths) {
  std::array<uint8_t, FLOW_RECORD_SIZE> rec = {};
  rec[1] = rec[2] = 0xFF;                         // start_offset 65535
  rec[5] = 0; rec[6] = 0; rec[7] = 1; rec[8] = 0;  // fwd_packets 256
  rec[9] = 0xFF;                                  // behind it: not interpreted
  rec[29] = rec[30] = rec[31] = rec[32] = 0xFF;   // rev_bytes 4294967295
  FlowRecord r = decode_record(rec);
  EXPECT_EQ(r.start_offset, 65535);
  EXPECT_EQ(r.fwd_packets, 256u);
  EXPECT_EQ(r.rev_bytes, 4294967295u);
}

TEST(DecodeHeader, FieldsAndMagic) {
  std::array<uint8_t, FLOW_HEADER_SIZE> h;
  h.fill(0xEE);  // every byte not interpreted holds something
  memcpy(h.data(), "KVRZ", 4);
  const uint8_t start[4] = {128, 0, 0, 0}, stop[4] = {0x65, 0x53, 0xf2, 0x2c};
  const uint8_t total[8] = {0, 0, 0, 1, 0, 0, 0, 0};
  memcpy(h.data() + 6, start, 4);
  memcpy(h.data() + 14, stop, 4);
  memcpy(h.data() + 22, total, 8);
  memset(h.data() + 30, 0, 4);
  h[33] = 2;
  memset(h.data() + 38, 0, 4);
  h[41] = 24;
  FlowFileHeader f = decode_header(h);
  EXPECT_TRUE(header_has_magic(h));
  EXPECT_EQ(f.start_time, 2147483648u);  // top bit set: still positive
  EXPECT_EQ(f.stop_time, 1700000300u);
  EXPECT_EQ(f.total_bytes, 4294967296u);
  EXPECT_EQ(f.flow_count, 2u);
  EXPECT_EQ(f.packet_count, 24u);

  for (const char* bad : {"KVRz", "ZRVK", "KVR\0", "XVRZ"}) {
    memcpy(h.data(), bad, 4);
    EXPECT_FALSE(header_has_magic(h)) << bad;
  }
}

}  // namespace
