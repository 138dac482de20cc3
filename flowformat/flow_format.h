// The flow file format that nettally and recdump both read: a 272-byte
// header, then packed 57-byte records up to the end of the file. Every
// integer is unsigned and big-endian; every field is read byte by byte from
// its offset, never through a cast pointer, since most start at odd offsets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

constexpr size_t FLOW_HEADER_SIZE = 272;
constexpr size_t FLOW_RECORD_SIZE = 57;
constexpr uint8_t FLOW_MAGIC[4] = {'K', 'V', 'R', 'Z'};

// FlowFileHeader, 272 bytes:
//   off  width  field          meaning
//     0    4    magic          "KVRZ"
//     4    2    -              not interpreted
//     6    4    start_time     seconds since the epoch; base of record offsets
//    10    4    -              not interpreted
//    14    4    stop_time      end of the period
//    18    4    -              not interpreted
//    22    8    total_bytes    byte total of the period (the one 64-bit field)
//    30    4    flow_count     flows of the period
//    34    4    -              not interpreted
//    38    4    packet_count   packets of the period
//    42  230    -              not interpreted
struct FlowFileHeader {
  uint8_t magic[4];
  uint32_t start_time;
  uint32_t stop_time;
  uint64_t total_bytes;
  uint32_t flow_count;
  uint32_t packet_count;
};

// FlowRecord, 57 bytes. Each 32-bit field fills the first four bytes of an
// 8-byte slot; the four bytes behind it are not interpreted.
//   off  width  field          meaning
//     0    1    protocol       1 ICMP, 6 TCP, 17 UDP, else shown by number
//     1    2    start_offset   seconds after the header's start_time
//     3    2    end_offset     seconds after the header's start_time
//     5    4    fwd_packets    packets src -> dst
//    13    4    fwd_bytes      bytes src -> dst
//    21    4    rev_packets    packets dst -> src
//    29    4    rev_bytes      bytes dst -> src
//    37    4    src_addr       IPv4, network order
//    45    4    dst_addr       IPv4, network order
//    53    2    src_port       TCP/UDP; for ICMP byte 53 is the type, 54 the code
//    55    2    dst_port       TCP/UDP
struct FlowRecord {
  uint8_t protocol;
  uint16_t start_offset;
  uint16_t end_offset;
  uint64_t fwd_packets;  // each counter holds at most 4,294,967,295
  uint64_t fwd_bytes;
  uint64_t rev_packets;
  uint64_t rev_bytes;
  uint8_t src_bytes[4];  // the address bytes in file order, for dotted text
  uint8_t dst_bytes[4];
  uint32_t src_addr;     // host order, for table look-ups
  uint32_t dst_addr;
  uint16_t src_port;     // host order; meaningful for TCP and UDP only
  uint16_t dst_port;
  uint8_t icmp_type;     // raw byte 53
  uint8_t icmp_code;     // raw byte 54
};

constexpr uint8_t PROTO_ICMP = 1;
constexpr uint8_t PROTO_TCP = 6;
constexpr uint8_t PROTO_UDP = 17;

constexpr size_t REC_PROTOCOL = 0;
constexpr size_t REC_START_OFFSET = 1;
constexpr size_t REC_END_OFFSET = 3;
constexpr size_t REC_FWD_PACKETS = 5;
constexpr size_t REC_FWD_BYTES = 13;
constexpr size_t REC_REV_PACKETS = 21;
constexpr size_t REC_REV_BYTES = 29;
constexpr size_t REC_SRC_ADDR = 37;
constexpr size_t REC_DST_ADDR = 45;
constexpr size_t REC_SRC_PORT = 53;
constexpr size_t REC_DST_PORT = 55;

constexpr size_t HDR_MAGIC = 0;
constexpr size_t HDR_START_TIME = 6;
constexpr size_t HDR_STOP_TIME = 14;
constexpr size_t HDR_TOTAL_BYTES = 22;
constexpr size_t HDR_FLOW_COUNT = 30;
constexpr size_t HDR_PACKET_COUNT = 38;

// A big-endian field at any offset: p may have any alignment.
constexpr uint16_t load_be16(const uint8_t* p) {
  return uint16_t(uint16_t{p[0]} << 8 | uint16_t{p[1]});
}
constexpr uint32_t load_be32(const uint8_t* p) {
  return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 |
         uint32_t{p[3]};
}
constexpr uint64_t load_be64(const uint8_t* p) {
  return uint64_t{load_be32(p)} << 32 | load_be32(p + 4);
}

// True when the header's first four bytes are "KVRZ", in this order.
bool header_has_magic(std::span<const uint8_t, FLOW_HEADER_SIZE> h);

// Decodes every used field of a header into host order.
FlowFileHeader decode_header(std::span<const uint8_t, FLOW_HEADER_SIZE> h);

// Decodes every field of a record into host order; the not-interpreted
// bytes are never read.
FlowRecord decode_record(std::span<const uint8_t, FLOW_RECORD_SIZE> r);
