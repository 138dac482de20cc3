#include "tally/tally.h"

#include "tally/host_table.h"
#include "tally/output.h"

void tally_record(std::span<const uint8_t, FLOW_RECORD_SIZE> record, uint64_t base_time) {
  const uint8_t* p = record.data();
  int32_t s = host_lookup(load_be32(p + REC_SRC_ADDR));
  int32_t d = host_lookup(load_be32(p + REC_DST_ADDR));
  uint64_t fwd_bytes = load_be32(p + REC_FWD_BYTES);
  uint64_t rev_bytes = load_be32(p + REC_REV_BYTES);

  if (s >= 0 && d >= 0) {
    // Internal. When both ends are one address, both additions go to it.
    host_table[s].internal_bytes_out += fwd_bytes;
    host_table[s].internal_bytes_in += rev_bytes;
    host_table[d].internal_bytes_in += fwd_bytes;
    host_table[d].internal_bytes_out += rev_bytes;
    return;
  }
  if (s < 0 && d < 0) {
    const uint8_t* a = p + REC_SRC_ADDR;
    const uint8_t* b = p + REC_DST_ADDR;
    err_printf("Strange...%u.%u.%u.%u->%u.%u.%u.%u\n", a[0], a[1], a[2], a[3], b[0], b[1], b[2],
               b[3]);
    return;
  }

  // Crossing: the one end inside gets the counts, seen from its side.
  HostEntry& e = host_table[s >= 0 ? s : d];
  uint64_t start = base_time + load_be16(p + REC_START_OFFSET);
  uint64_t end = base_time + load_be16(p + REC_END_OFFSET);
  if (e.first_seen == 0) {
    e.first_seen = start;
    e.last_seen = end;
  } else {
    if (start < e.first_seen) e.first_seen = start;
    if (end > e.last_seen) e.last_seen = end;
  }
  uint64_t fwd_packets = load_be32(p + REC_FWD_PACKETS);
  uint64_t rev_packets = load_be32(p + REC_REV_PACKETS);
  if (s >= 0) {
    e.bytes_out += fwd_bytes;
    e.packets_out += fwd_packets;
    e.bytes_in += rev_bytes;
    e.packets_in += rev_packets;
  } else {
    e.bytes_out += rev_bytes;
    e.packets_out += rev_packets;
    e.bytes_in += fwd_bytes;
    e.packets_in += fwd_packets;
  }
}
