#include "flowformat/flow_format.h"

#include <cstring>

bool header_has_magic(std::span<const uint8_t, FLOW_HEADER_SIZE> h) {
  return memcmp(h.data() + HDR_MAGIC, FLOW_MAGIC, sizeof FLOW_MAGIC) == 0;
}

FlowFileHeader decode_header(std::span<const uint8_t, FLOW_HEADER_SIZE> h) {
  const uint8_t* p = h.data();
  FlowFileHeader f = {};
  memcpy(f.magic, p + HDR_MAGIC, sizeof f.magic);
  f.start_time = load_be32(p + HDR_START_TIME);
  f.stop_time = load_be32(p + HDR_STOP_TIME);
  f.total_bytes = load_be64(p + HDR_TOTAL_BYTES);
  f.flow_count = load_be32(p + HDR_FLOW_COUNT);
  f.packet_count = load_be32(p + HDR_PACKET_COUNT);
  return f;
}

FlowRecord decode_record(std::span<const uint8_t, FLOW_RECORD_SIZE> rec) {
  const uint8_t* p = rec.data();
  FlowRecord r = {};
  r.protocol = p[REC_PROTOCOL];
  r.start_offset = load_be16(p + REC_START_OFFSET);
  r.end_offset = load_be16(p + REC_END_OFFSET);
  r.fwd_packets = load_be32(p + REC_FWD_PACKETS);
  r.fwd_bytes = load_be32(p + REC_FWD_BYTES);
  r.rev_packets = load_be32(p + REC_REV_PACKETS);
  r.rev_bytes = load_be32(p + REC_REV_BYTES);
  memcpy(r.src_bytes, p + REC_SRC_ADDR, 4);
  memcpy(r.dst_bytes, p + REC_DST_ADDR, 4);
  r.src_addr = load_be32(p + REC_SRC_ADDR);
  r.dst_addr = load_be32(p + REC_DST_ADDR);
  r.src_port = load_be16(p + REC_SRC_PORT);
  r.dst_port = load_be16(p + REC_DST_PORT);
  r.icmp_type = p[REC_SRC_PORT];
  r.icmp_code = p[REC_SRC_PORT + 1];
  return r;
}
