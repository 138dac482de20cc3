#include "bill/bill_table.h"

#include <sys/mman.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "bill/spread.h"
#include "flowformat/flow_format.h"
#include "nets/host_table.h"
#include "nets/networks.h"
#include "nets/record_lookup.h"
#include "nets/output.h"

static_assert(sizeof(unsigned long) == sizeof(uint64_t), "%lu prints uint64_t");

static BillTable table;
const BillTable& bill_table = table;

// The row of each owner index of the HostTable; NO_ROW for nullptr.
static uint32_t* owner_rows;
static constexpr uint32_t NO_ROW = UINT32_MAX;
static constexpr uint32_t DEFAULT_OWNER = 1;  // load_networks adds DEFAULT first

static constexpr const char* MEMORY_LABEL = "netbill: memory for the bill's intervals";

// The sums live in chunks of CHUNK_INTERVALS consecutive intervals, chunk
// c holding intervals c·CHUNK_INTERVALS .. and in it every row's sums for
// them: row r's part is CHUNK_INTERVALS pairs {in, out} from word
// r·CHUNK_ROW_SUMS. The files of a collector come in time order, so the
// records of one file add to one or two chunks, which the cache and the
// TLB hold, instead of to a line of every row's month; bill_row_sums
// gathers a row's intervals once the files are read.
static constexpr uint64_t CHUNK_INTERVALS = 64;
static constexpr uint64_t CHUNK_ROW_SUMS = 2 * CHUNK_INTERVALS;

static uint64_t** chunks;  // chunk chunk_first + i; nullptr until a flow adds to it
static uint64_t chunk_first;
static uint64_t chunk_count;

// The intervals a flow is billed in: the period's with one, else all that
// 64 bits of seconds can end.
static uint64_t window_first_k, window_last_k;
static Divisor interval_divisor;

static void* zeroed(uint64_t count, uint64_t size) {
  if (count > SIZE_MAX / size) {
    errno = ENOMEM;
    fail_perror(MEMORY_LABEL);
  }
  void* p = calloc(size_t(count), size_t(size));
  if (!p) fail_perror(MEMORY_LABEL);
  return p;
}

static uint64_t chunk_words() { return uint64_t(table.row_count) * CHUNK_ROW_SUMS; }

// Without a period, each chunk is made when a flow first adds to it.
static uint64_t* chunk_for(uint64_t c) {
  uint64_t*& chunk = chunks[c - chunk_first];
  if (!chunk) chunk = static_cast<uint64_t*>(zeroed(chunk_words(), sizeof(uint64_t)));
  return chunk;
}

// With a period, the chunks of all its intervals are one mapping of zero
// pages, in huge pages where the system gives them: a month is hundreds of
// megabytes written all over, and a fault per 4 KiB page would cost more
// than the billing.
static void map_period_chunks() {
  uint64_t words = chunk_words();
  if (chunk_count > SIZE_MAX / 8 / words) {
    errno = ENOMEM;
    fail_perror(MEMORY_LABEL);
  }
  size_t bytes = size_t(chunk_count * words * 8);
  void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) fail_perror(MEMORY_LABEL);
  madvise(p, bytes, MADV_HUGEPAGE);  // a hint: without it the pages are small
  uint64_t* region = static_cast<uint64_t*>(p);
  chunks = static_cast<uint64_t**>(zeroed(chunk_count, sizeof(uint64_t*)));
  for (uint64_t i = 0; i < chunk_count; i++) chunks[i] = region + i * words;
}

void bill_table_start(uint32_t interval, bool given, Period period) {
  table.interval = interval;
  table.fixed_period = given;
  table.period = period;

  // The custs entries are owners 2 .. count − 1, in file order; sorted by
  // name, equal names are neighbours and make one row.
  uint32_t owners = host_owner_count();
  uint32_t entries = owners > 2 ? owners - 2 : 0;
  uint32_t* order = static_cast<uint32_t*>(calloc(size_t(entries) + 1, sizeof(uint32_t)));
  owner_rows = static_cast<uint32_t*>(calloc(size_t(owners) + 1, sizeof(uint32_t)));
  table.rows = static_cast<BillRow*>(calloc(size_t(entries) + 2, sizeof(BillRow)));
  if (!order || !owner_rows || !table.rows) fail_perror("netbill: memory for the customers");
  for (uint32_t i = 0; i < entries; i++) order[i] = i + 2;

  // DEFAULT is a row when an address of ours is left to it; it sorts in
  // among the names like any other.
  bool default_holds = false;
  for (uint32_t slot = 0; slot < host_table.size && !default_holds; slot++)
    default_holds = host_table.owners[slot] == DEFAULT_OWNER;
  if (default_holds) order[entries++] = DEFAULT_OWNER;
  std::sort(order, order + entries,
            [](uint32_t a, uint32_t b) { return strcmp(host_owner_at(a)->name, host_owner_at(b)->name) < 0; });

  for (uint32_t i = 0; i < owners; i++) owner_rows[i] = NO_ROW;
  const char* default_name = host_owner_at(DEFAULT_OWNER)->name;
  for (uint32_t i = 0; i < entries; i++) {
    const char* name = host_owner_at(order[i])->name;
    if (table.row_count == 0 || strcmp(table.rows[table.row_count - 1].name, name) != 0) {
      BillRow& row = table.rows[table.row_count++];
      row.name = name;
      row.name_length = strlen(name);
    }
    owner_rows[order[i]] = table.row_count - 1;
    if (strcmp(name, default_name) == 0) owner_rows[DEFAULT_OWNER] = table.row_count - 1;
  }
  free(order);

  interval_divisor = divisor_of(interval);
  window_first_k = 0;
  window_last_k = UINT64_MAX / interval - 1;  // (k + 1)·interval stays within 64 bits
  if (given) {
    uint64_t n = period_intervals(period, interval);
    window_first_k = period.from / interval;
    window_last_k = window_first_k + n - 1;
    chunk_first = window_first_k / CHUNK_INTERVALS;
    chunk_count = window_last_k / CHUNK_INTERVALS - chunk_first + 1;
    if (table.row_count > 0) map_period_chunks();
  }
}

// Without a period: makes the chunks cover chunk numbers lo .. hi, at
// least doubling their number when they grow, so that a month of flows
// read in any order moves the list of chunks only a few times (the chunks
// themselves stay where they are). The room added lies on the side that
// grew. Exits 1 when the memory cannot be had.
static void cover_chunks(uint64_t lo, uint64_t hi) {
  uint64_t first = chunk_first, count = chunk_count;
  if (count > 0 && lo >= first && hi < first + count) return;
  uint64_t need_lo = count > 0 ? std::min(lo, first) : lo;
  uint64_t need_hi = count > 0 ? std::max(hi, first + count - 1) : hi;
  uint64_t need = need_hi - need_lo + 1;
  uint64_t grown = std::max<uint64_t>({need, count > UINT64_MAX / 2 ? UINT64_MAX : count * 2, 16});
  uint64_t new_first = need_lo;
  if (count > 0 && lo < first) new_first = need_hi + 1 >= grown ? need_hi + 1 - grown : 0;
  uint64_t c_max = window_last_k / CHUNK_INTERVALS;
  if (new_first + grown - 1 > c_max || new_first + grown < new_first) grown = c_max - new_first + 1;
  uint64_t** list = static_cast<uint64_t**>(zeroed(grown, sizeof(uint64_t*)));
  if (count > 0) memcpy(list + (first - new_first), chunks, size_t(count) * sizeof(uint64_t*));
  free(chunks);
  chunks = list;
  chunk_first = new_first;
  chunk_count = grown;
}

[[noreturn]] static void sum_overflow(uint32_t r) {
  err_printf("netbill: the bytes of %s in one interval pass 2^64-1: no bill\n", table.rows[r].name);
  fail_exit();
}

static void add_clipped(uint64_t bytes) {
  if (bytes > UINT64_MAX - table.clipped_bytes) {
    err_printf("netbill: the bytes outside the period pass 2^64-1: no bill\n");
    fail_exit();
  }
  table.clipped_bytes += bytes;
}

// Adds one flow to row r: spread over its intervals in the window, or, as
// almost every flow of a 5-minute file, all in one interval.
static void bill_flow(uint32_t r, uint64_t start, uint64_t end, uint64_t in, uint64_t out) {
  uint64_t interval = table.interval;
  uint64_t last = flow_last_second(start, end);
  uint64_t k = divide(interval_divisor, start);
  bool one_interval = last - k * interval < interval;
  uint64_t last_k = one_interval ? k : divide(interval_divisor, last);
  if (!table.fixed_period) {
    if (!table.any_crossing || start < table.earliest) table.earliest = start;
    if (!table.any_crossing || last > table.latest) table.latest = last;
    table.any_crossing = true;
    cover_chunks(k / CHUNK_INTERVALS, last_k / CHUNK_INTERVALS);
  }
  if (one_interval && k >= window_first_k && k <= window_last_k) {
    uint64_t* sums = chunk_for(k / CHUNK_INTERVALS) + uint64_t(r) * CHUNK_ROW_SUMS + 2 * (k % CHUNK_INTERVALS);
    if (__builtin_add_overflow(sums[0], in, &sums[0]) | __builtin_add_overflow(sums[1], out, &sums[1]))
      sum_overflow(r);
    return;
  }
  // Chunk by chunk over the intervals the flow shares with the window;
  // what lands in none of them is clipped.
  uint64_t landed[DIRECTIONS] = {0, 0};
  uint64_t lo = std::max(k, window_first_k), hi = std::min(last_k, window_last_k);
  for (uint64_t c = lo / CHUNK_INTERVALS; lo <= hi && c <= hi / CHUNK_INTERVALS; c++) {
    uint64_t chunk_k = c * CHUNK_INTERVALS;
    SpreadWindow window = {interval_divisor, std::max(lo, chunk_k), std::min(hi, chunk_k + CHUNK_INTERVALS - 1)};
    uint64_t* sums = chunk_for(c) + uint64_t(r) * CHUNK_ROW_SUMS + 2 * (window.first_k - chunk_k);
    SpreadResult spread =
        spread_flow(start, end, {in, out}, window, reinterpret_cast<uint64_t (*)[DIRECTIONS]>(sums));
    if (spread.overflow) sum_overflow(r);
    landed[0] += in - spread.clipped[0];
    landed[1] += out - spread.clipped[1];
  }
  add_clipped(in - landed[0]);
  add_clipped(out - landed[1]);
}

// The own end of a record whose ends the table holds at slots s and d
// (-1: not held): the slot of a crossing flow's end in our networks, or
// -1 for an internal flow or one with neither end ours.
static inline int32_t own_end(int32_t s, int32_t d) { return (s >= 0) == (d >= 0) ? -1 : (s >= 0 ? s : d); }

// Adds one record whose ends the table holds at slots s and d.
static void bill_record(const uint8_t* p, int32_t s, int32_t d, uint64_t base_time) {
  if (s >= 0 && d >= 0) {
    table.internal_flows++;
    return;
  }
  if (s < 0 && d < 0) {
    table.neither_flows++;
    return;
  }
  bool source_inside = s >= 0;
  uint32_t owner = host_table.owners[source_inside ? s : d];
  uint64_t fwd_bytes = load_be32(p + REC_FWD_BYTES);
  uint64_t rev_bytes = load_be32(p + REC_REV_BYTES);
  uint64_t in = source_inside ? rev_bytes : fwd_bytes;
  uint64_t out = source_inside ? fwd_bytes : rev_bytes;
  uint64_t start = base_time + load_be16(p + REC_START_OFFSET);
  uint64_t end = base_time + load_be16(p + REC_END_OFFSET);
  bill_flow(owner_rows[owner], start, end, in, out);
}

// Both ends of a batch of records are looked up, and the owner of each
// crossing flow's own end fetched, before the first is billed, so that
// the table's cache misses overlap.
template <bool FIXED>
static void bill_batches(const uint8_t* records, size_t count, uint64_t base_time) {
  static int32_t slots[RECORD_BATCH][2];
  for (size_t first = 0; first < count; first += RECORD_BATCH) {
    const uint8_t* batch = records + first * FLOW_RECORD_SIZE;
    size_t n = count - first < RECORD_BATCH ? count - first : RECORD_BATCH;
    host_lookup_records<FIXED, false>(batch, n, slots);
    for (size_t i = 0; i < n; i++) {
      int32_t own = own_end(slots[i][0], slots[i][1]);
      // For -1, slot 0's line: a select, not a branch.
      __builtin_prefetch(&host_table.owners[uint32_t(own) & ~all_ones(own < 0)]);
    }
    for (size_t i = 0; i < n; i++)
      bill_record(batch + i * FLOW_RECORD_SIZE, slots[i][0], slots[i][1], base_time);
  }
}

void bill_records(const uint8_t* records, size_t count, uint64_t base_time) {
  if (host_table.fixed)
    bill_batches<true>(records, count, base_time);
  else
    bill_batches<false>(records, count, base_time);
}

uint64_t bill_table_finish() {
  if (!table.fixed_period) {
    table.period = {0, 0};
    if (table.any_crossing && !period_of_flows(table.earliest, table.latest, table.interval, &table.period)) {
      err_printf("netbill: the flows end after 2^64-1 seconds: no bill\n");
      fail_exit();
    }
  }
  table.first_k = table.period.from / table.interval;
  table.intervals = period_intervals(table.period, table.interval);
  return table.intervals;
}

void bill_row_sums(uint32_t r, uint64_t* in, uint64_t* out) {
  const uint64_t first_k = table.first_k, n = table.intervals;
  for (uint64_t i = 0; i < n;) {
    uint64_t k = first_k + i;
    uint64_t c = k / CHUNK_INTERVALS;
    uint64_t at = k % CHUNK_INTERVALS;
    uint64_t run = std::min(CHUNK_INTERVALS - at, n - i);
    const uint64_t* chunk = c >= chunk_first && c - chunk_first < chunk_count ? chunks[c - chunk_first] : nullptr;
    if (!chunk) {
      memset(in + i, 0, size_t(run) * sizeof(uint64_t));
      memset(out + i, 0, size_t(run) * sizeof(uint64_t));
    } else {
      const uint64_t* pairs = chunk + uint64_t(r) * CHUNK_ROW_SUMS + 2 * at;
      for (uint64_t j = 0; j < run; j++) {
        in[i + j] = pairs[2 * j];
        out[i + j] = pairs[2 * j + 1];
      }
    }
    i += run;
  }
}
