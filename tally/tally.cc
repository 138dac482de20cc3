#include "tally/tally.h"

#include <cstddef>

#include "nets/host_table.h"
#include "nets/output.h"
#include "nets/record_lookup.h"

// Adds one record whose ends the table holds at slots s and d (-1: not
// held). Inlined into the batch loops, which exist once per table size.
[[gnu::always_inline]] static inline void add_record(const uint8_t* p, int32_t s, int32_t d, uint64_t base_time) {
  uint64_t fwd_bytes = load_be32(p + REC_FWD_BYTES);
  uint64_t rev_bytes = load_be32(p + REC_REV_BYTES);

  if (s >= 0 && d >= 0) {
    // Internal. When both ends are one address, both additions go to it.
    HostEntry* entries = host_table.entries;
    entries[s].internal_bytes_out += fwd_bytes;
    entries[s].internal_bytes_in += rev_bytes;
    entries[d].internal_bytes_in += fwd_bytes;
    entries[d].internal_bytes_out += rev_bytes;
    return;
  }
  if (s < 0 && d < 0) {
    // "Strange...%u.%u.%u.%u->%u.%u.%u.%u\n", without printf's cost: a busy
    // border sends tens of thousands of these.
    const uint8_t* a = p + REC_SRC_ADDR;
    const uint8_t* b = p + REC_DST_ADDR;
    char line[64] = "Strange...";
    char* q = put_dotted_quad(line + 10, a[0], a[1], a[2], a[3]);
    *q++ = '-';
    *q++ = '>';
    q = put_dotted_quad(q, b[0], b[1], b[2], b[3]);
    *q++ = '\n';
    err_write(line, size_t(q - line));
    return;
  }

  // Crossing: the one end inside gets the counts, seen from its side. Which
  // end that is follows no pattern, so it is chosen by selects, not
  // branches; likewise the times.
  bool source_inside = s >= 0;
  HostEntry& e = host_table.entries[source_inside ? s : d];
  uint64_t start = base_time + load_be16(p + REC_START_OFFSET);
  uint64_t end = base_time + load_be16(p + REC_END_OFFSET);
  uint64_t first = e.first_seen, last = e.last_seen;
  bool fresh = first == 0;
  e.first_seen = fresh || start < first ? start : first;
  e.last_seen = fresh || end > last ? end : last;
  uint64_t fwd_packets = load_be32(p + REC_FWD_PACKETS);
  uint64_t rev_packets = load_be32(p + REC_REV_PACKETS);
  e.bytes_out += source_inside ? fwd_bytes : rev_bytes;
  e.packets_out += source_inside ? fwd_packets : rev_packets;
  e.bytes_in += source_inside ? rev_bytes : fwd_bytes;
  e.packets_in += source_inside ? rev_packets : fwd_packets;
}

void tally_record(std::span<const uint8_t, FLOW_RECORD_SIZE> record, uint64_t base_time) {
  const uint8_t* p = record.data();
  int32_t s = host_lookup(load_be32(p + REC_SRC_ADDR));
  int32_t d = host_lookup(load_be32(p + REC_DST_ADDR));
  add_record(p, s, d, base_time);
}

// A batch goes in three passes: each end's lookup is started, then
// finished, fetching the entry that each record will change
// (host_lookup_records), then the records are added. The table's
// addresses do not change while records are added, so every lookup of a
// batch can be made before its first record is added, and the lines it
// fetched stay in the cache until it is.
template <bool FIXED>
static void tally_batches(const uint8_t* records, size_t count, uint64_t base_time) {
  static int32_t slots[RECORD_BATCH][2];
  for (size_t first = 0; first < count; first += RECORD_BATCH) {
    const uint8_t* batch = records + first * FLOW_RECORD_SIZE;
    size_t n = count - first < RECORD_BATCH ? count - first : RECORD_BATCH;
    host_lookup_records<FIXED, true>(batch, n, slots);
    for (size_t i = 0; i < n; i++)
      add_record(batch + i * FLOW_RECORD_SIZE, slots[i][0], slots[i][1], base_time);
  }
}

void tally_records(const uint8_t* records, size_t count, uint64_t base_time) {
  // Once per call: the fixed table's lookups go by rank, a made table's by
  // home slot.
  if (host_table.fixed)
    tally_batches<true>(records, count, base_time);
  else
    tally_batches<false>(records, count, base_time);
}
