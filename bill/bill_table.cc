#include "bill/bill_table.h"

#include <sys/mman.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "bill/flow_queue.h"
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

// count zeroed elements of `size` bytes, or nullptr with errno set.
static void* zeroed_or_null(uint64_t count, uint64_t size) {
  if (count > SIZE_MAX / size) {
    errno = ENOMEM;
    return nullptr;
  }
  return calloc(size_t(count), size_t(size));
}

static void* zeroed(uint64_t count, uint64_t size) {
  void* p = zeroed_or_null(count, size);
  if (!p) fail_perror(MEMORY_LABEL);
  return p;
}

// Why the adding of flows stopped, for the reader's thread to say: the
// adder may run on a thread of its own, and only one thread writes the
// messages and ends the run.
enum BillStop { BILL_GOING, BILL_SUM_OVERFLOW, BILL_CLIPPED_OVERFLOW, BILL_NO_MEMORY };
static BillStop stop_kind;
static uint32_t stop_row;
static int stop_errno;

static bool stop(BillStop kind, uint32_t row, int error) {
  stop_kind = kind;
  stop_row = row;
  stop_errno = error;
  return false;
}

// The message of a stop, on the reader's thread, once the adder is done.
[[noreturn]] static void report_stop() {
  switch (stop_kind) {
    case BILL_SUM_OVERFLOW:
      err_printf("netbill: the bytes of %s in one interval pass 2^64-1: no bill\n", table.rows[stop_row].name);
      break;
    case BILL_CLIPPED_OVERFLOW:
      err_printf("netbill: the bytes outside the period pass 2^64-1: no bill\n");
      break;
    case BILL_NO_MEMORY:
      errno = stop_errno;
      fail_perror(MEMORY_LABEL);
    case BILL_GOING:
      break;
  }
  fail_exit();
}

// zeroed for the adder: nullptr, and the stop recorded, when the memory
// cannot be had.
static void* zeroed_or_stop(uint64_t count, uint64_t size) {
  void* p = zeroed_or_null(count, size);
  if (!p) stop(BILL_NO_MEMORY, 0, errno);
  return p;
}

static uint64_t chunk_words() { return uint64_t(table.row_count) * CHUNK_ROW_SUMS; }

// Without a period, each chunk is made when a flow first adds to it;
// nullptr when it cannot be (the stop recorded).
static uint64_t* chunk_for(uint64_t c) {
  uint64_t*& chunk = chunks[c - chunk_first];
  if (!chunk) chunk = static_cast<uint64_t*>(zeroed_or_stop(chunk_words(), sizeof(uint64_t)));
  return chunk;
}

// With a period, the chunks of all its intervals are one mapping of zero
// pages, in huge pages where the system gives them: a month is hundreds of
// megabytes written all over, and a fault per 4 KiB page would cost more
// than the billing.
static void* period_region;  // the mapping of the period's chunks, or nullptr
static size_t period_region_bytes;

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
  period_region = p;
  period_region_bytes = bytes;
  uint64_t* region = static_cast<uint64_t*>(p);
  chunks = static_cast<uint64_t**>(zeroed(chunk_count, sizeof(uint64_t*)));
  for (uint64_t i = 0; i < chunk_count; i++) chunks[i] = region + i * words;
}

// The batch of crossing flows being filled for the adder, and how many it
// holds; the adder.
static BillFlow* filling;
static size_t filled;
static bool add_flows(const BillFlow* flows, size_t count);

void bill_table_start(uint32_t interval, bool given, Period period, bool adder_thread) {
  // A table made before is let go (netbill makes one; its tests more).
  if (period_region) munmap(period_region, period_region_bytes);
  period_region = nullptr;
  table = {};
  chunks = nullptr;
  chunk_first = chunk_count = 0;
  stop_kind = BILL_GOING;
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
  filling = flow_queue_start(add_flows, adder_thread);
  filled = 0;
}

// Without a period: makes the chunks cover chunk numbers lo .. hi, at
// least doubling their number when they grow, so that a month of flows
// read in any order moves the list of chunks only a few times (the chunks
// themselves stay where they are). The room added lies on the side that
// grew. False, the stop recorded, when the memory cannot be had.
static bool cover_chunks(uint64_t lo, uint64_t hi) {
  uint64_t first = chunk_first, count = chunk_count;
  if (count > 0 && lo >= first && hi < first + count) return true;
  uint64_t need_lo = count > 0 ? std::min(lo, first) : lo;
  uint64_t need_hi = count > 0 ? std::max(hi, first + count - 1) : hi;
  uint64_t need = need_hi - need_lo + 1;
  uint64_t grown = std::max<uint64_t>({need, count > UINT64_MAX / 2 ? UINT64_MAX : count * 2, 16});
  uint64_t new_first = need_lo;
  if (count > 0 && lo < first) new_first = need_hi + 1 >= grown ? need_hi + 1 - grown : 0;
  uint64_t c_max = window_last_k / CHUNK_INTERVALS;
  if (new_first + grown - 1 > c_max || new_first + grown < new_first) grown = c_max - new_first + 1;
  uint64_t** list = static_cast<uint64_t**>(zeroed_or_stop(grown, sizeof(uint64_t*)));
  if (!list) return false;
  if (count > 0) memcpy(list + (first - new_first), chunks, size_t(count) * sizeof(uint64_t*));
  free(chunks);
  chunks = list;
  chunk_first = new_first;
  chunk_count = grown;
  return true;
}

static bool add_clipped(uint64_t bytes) {
  if (bytes > UINT64_MAX - table.clipped_bytes) return stop(BILL_CLIPPED_OVERFLOW, 0, 0);
  table.clipped_bytes += bytes;
  return true;
}

// Adds one flow to row r: spread over its intervals in the window, or, as
// almost every flow of a 5-minute file, all in one interval. False when
// the bill cannot go on, the stop recorded.
static bool bill_flow(uint32_t r, uint64_t start, uint64_t end, uint64_t in, uint64_t out) {
  uint64_t interval = table.interval;
  uint64_t last = flow_last_second(start, end);
  uint64_t k = divide(interval_divisor, start);
  bool one_interval = last - k * interval < interval;
  uint64_t last_k = one_interval ? k : divide(interval_divisor, last);
  if (!table.fixed_period) {
    if (!table.any_crossing || start < table.earliest) table.earliest = start;
    if (!table.any_crossing || last > table.latest) table.latest = last;
    table.any_crossing = true;
    if (!cover_chunks(k / CHUNK_INTERVALS, last_k / CHUNK_INTERVALS)) return false;
  }
  if (one_interval && k >= window_first_k && k <= window_last_k) {
    uint64_t* chunk = chunk_for(k / CHUNK_INTERVALS);
    if (!chunk) return false;
    uint64_t* sums = chunk + uint64_t(r) * CHUNK_ROW_SUMS + 2 * (k % CHUNK_INTERVALS);
    bool in_wraps = __builtin_add_overflow(sums[0], in, &sums[0]);
    bool out_wraps = __builtin_add_overflow(sums[1], out, &sums[1]);
    if (in_wraps || out_wraps) return stop(BILL_SUM_OVERFLOW, r, 0);
    return true;
  }
  // Chunk by chunk over the intervals the flow shares with the window;
  // what lands in none of them is clipped.
  uint64_t landed[DIRECTIONS] = {0, 0};
  uint64_t lo = std::max(k, window_first_k), hi = std::min(last_k, window_last_k);
  for (uint64_t c = lo / CHUNK_INTERVALS; lo <= hi && c <= hi / CHUNK_INTERVALS; c++) {
    uint64_t chunk_k = c * CHUNK_INTERVALS;
    SpreadWindow window = {interval_divisor, std::max(lo, chunk_k), std::min(hi, chunk_k + CHUNK_INTERVALS - 1)};
    uint64_t* chunk = chunk_for(c);
    if (!chunk) return false;
    uint64_t* sums = chunk + uint64_t(r) * CHUNK_ROW_SUMS + 2 * (window.first_k - chunk_k);
    SpreadResult spread =
        spread_flow(start, end, {in, out}, window, reinterpret_cast<uint64_t (*)[DIRECTIONS]>(sums));
    if (spread.overflow) return stop(BILL_SUM_OVERFLOW, r, 0);
    landed[0] += in - spread.clipped[0];
    landed[1] += out - spread.clipped[1];
  }
  return add_clipped(in - landed[0]) && add_clipped(out - landed[1]);
}

static bool add_flows(const BillFlow* flows, size_t count) {
  for (size_t i = 0; i < count; i++)
    if (!bill_flow(flows[i].row, flows[i].start, flows[i].end, flows[i].in, flows[i].out)) return false;
  return true;
}

// The own end of a record whose ends the table holds at slots s and d
// (-1: not held): the slot of a crossing flow's end in our networks, or
// -1 for an internal flow or one with neither end ours.
static inline int32_t own_end(int32_t s, int32_t d) { return (s >= 0) == (d >= 0) ? -1 : (s >= 0 ? s : d); }

// Counts a record whose ends the table holds at slots s and d as internal
// or neither-end, or puts its crossing flow in the batch for the adder.
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
  BillFlow& flow = filling[filled];
  flow.start = base_time + load_be16(p + REC_START_OFFSET);
  flow.end = base_time + load_be16(p + REC_END_OFFSET);
  flow.in = in;
  flow.out = out;
  flow.row = owner_rows[owner];
  if (++filled == FLOW_BATCH) {
    filling = flow_queue_hand_over(filled);
    filled = 0;
  }
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
  if (flow_queue_stopped()) {
    flow_queue_finish(0);
    report_stop();
  }
}

uint64_t bill_table_finish() {
  flow_queue_finish(filled);
  filled = 0;
  if (flow_queue_stopped()) report_stop();
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
