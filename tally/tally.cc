#include "tally/tally.h"

#include <cstddef>

#include "tally/host_table.h"
#include "tally/output.h"

// Adds one record whose ends the table holds at slots s and d (-1: not
// held).
static void add_record(const uint8_t* p, int32_t s, int32_t d, uint64_t base_time) {
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

void tally_record(std::span<const uint8_t, FLOW_RECORD_SIZE> record, uint64_t base_time) {
  const uint8_t* p = record.data();
  int32_t s = host_lookup(load_be32(p + REC_SRC_ADDR));
  int32_t d = host_lookup(load_be32(p + REC_DST_ADDR));
  add_record(p, s, d, base_time);
}

// Records per batch. A batch goes in three passes: the home slots of all
// its ends are fetched, then looked up, fetching the entry fields that each
// record will change, then the records are added. The misses of a whole
// batch overlap, and its lines stay in the cache until it is added.
static constexpr size_t TALLY_BATCH = 512;

// Starts loading the bytes [first, last] of an entry.
static void prefetch_fields(int32_t slot, size_t first, size_t last) {
  const char* e = reinterpret_cast<const char*>(&host_table[slot]);
  __builtin_prefetch(e + first, 1);
  __builtin_prefetch(e + last, 1);
}

void tally_records(const uint8_t* records, size_t count, uint64_t base_time) {
  // The table's addresses do not change while records are added, so every
  // lookup of a batch can be made before its first record is added.
  static int32_t slots[TALLY_BATCH][2];
  static_assert(offsetof(HostEntry, bytes_in) == 8 && offsetof(HostEntry, packets_out) == 56 &&
                    offsetof(HostEntry, internal_bytes_in) == 64 && sizeof(HostEntry) == 80,
                "the fields fetched below");
  for (size_t first = 0; first < count; first += TALLY_BATCH) {
    const uint8_t* batch = records + first * FLOW_RECORD_SIZE;
    size_t n = count - first < TALLY_BATCH ? count - first : TALLY_BATCH;
    for (size_t i = 0; i < n; i++) {
      const uint8_t* p = batch + i * FLOW_RECORD_SIZE;
      host_prefetch(load_be32(p + REC_SRC_ADDR));
      host_prefetch(load_be32(p + REC_DST_ADDR));
    }
    for (size_t i = 0; i < n; i++) {
      const uint8_t* p = batch + i * FLOW_RECORD_SIZE;
      int32_t s = host_lookup(load_be32(p + REC_SRC_ADDR));
      int32_t d = host_lookup(load_be32(p + REC_DST_ADDR));
      slots[i][0] = s;
      slots[i][1] = d;
      if (s >= 0 && d >= 0) {  // internal: the two internal counters of each
        prefetch_fields(s, 64, 79);
        prefetch_fields(d, 64, 79);
      } else if (s >= 0 || d >= 0) {  // crossing: bytes_in to packets_out
        prefetch_fields(s >= 0 ? s : d, 8, 63);
      }
    }
    for (size_t i = 0; i < n; i++)
      add_record(batch + i * FLOW_RECORD_SIZE, slots[i][0], slots[i][1], base_time);
  }
}
