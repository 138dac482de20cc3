#include "bill/bill_table.h"

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

// One row's two arrays of `capacity` intervals, zeroed.
static uint64_t* new_intervals(uint64_t capacity) {
  if (capacity > SIZE_MAX / 16) {
    errno = ENOMEM;
    fail_perror(MEMORY_LABEL);
  }
  void* p = calloc(size_t(capacity) * 2, sizeof(uint64_t));
  if (!p) fail_perror(MEMORY_LABEL);
  return static_cast<uint64_t*>(p);
}

static void set_row_arrays(BillRow* row, uint64_t* in, uint64_t capacity) {
  row->in = in;
  row->out = in + capacity;
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

  if (given) {
    table.first_k = period.from / interval;
    table.capacity = period_intervals(period, interval);
    for (uint32_t r = 0; r < table.row_count; r++)
      set_row_arrays(&table.rows[r], new_intervals(table.capacity), table.capacity);
  }
}

// Without a period: makes the rows' intervals cover k = lo .. hi, at least
// doubling them when they grow, so that a month of flows read in any order
// moves each row only a few times. The room added lies on the side that
// grew. Exits 1 when the memory cannot be had.
static void cover_intervals(uint64_t lo, uint64_t hi) {
  uint64_t first = table.first_k, capacity = table.capacity;
  if (capacity > 0 && lo >= first && hi < first + capacity) return;
  uint64_t need_lo = capacity > 0 ? std::min(lo, first) : lo;
  uint64_t need_hi = capacity > 0 ? std::max(hi, first + capacity - 1) : hi;
  uint64_t need = need_hi - need_lo + 1;
  uint64_t grown = std::max<uint64_t>({need, capacity > UINT64_MAX / 2 ? UINT64_MAX : capacity * 2, 64});
  uint64_t new_first = need_lo;
  if (capacity > 0 && lo < first) new_first = need_hi + 1 >= grown ? need_hi + 1 - grown : 0;
  // The last interval's end must stay within 64 bits of seconds.
  uint64_t k_max = UINT64_MAX / table.interval - 1;
  if (new_first + grown - 1 > k_max || new_first + grown < new_first) grown = k_max - new_first + 1;
  for (uint32_t r = 0; r < table.row_count; r++) {
    BillRow& row = table.rows[r];
    uint64_t* in = new_intervals(grown);
    if (capacity > 0) {
      uint64_t at = first - new_first;
      memcpy(in + at, row.in, size_t(capacity) * sizeof(uint64_t));
      memcpy(in + grown + at, row.out, size_t(capacity) * sizeof(uint64_t));
      free(row.in);
    }
    set_row_arrays(&row, in, grown);
  }
  table.first_k = new_first;
  table.capacity = grown;
}

[[noreturn]] static void sum_overflow(const BillRow& row) {
  err_printf("netbill: the bytes of %s in one interval pass 2^64-1: no bill\n", row.name);
  fail_exit();
}

static void add_clipped(uint64_t bytes) {
  if (bytes > UINT64_MAX - table.clipped_bytes) {
    err_printf("netbill: the bytes outside the period pass 2^64-1: no bill\n");
    fail_exit();
  }
  table.clipped_bytes += bytes;
}

// Adds one record whose ends the table holds at slots s and d (-1: not held).
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
  const BillRow& row = table.rows[owner_rows[owner]];
  uint64_t fwd_bytes = load_be32(p + REC_FWD_BYTES);
  uint64_t rev_bytes = load_be32(p + REC_REV_BYTES);
  uint64_t in = source_inside ? rev_bytes : fwd_bytes;
  uint64_t out = source_inside ? fwd_bytes : rev_bytes;
  uint64_t start = base_time + load_be16(p + REC_START_OFFSET);
  uint64_t end = base_time + load_be16(p + REC_END_OFFSET);
  uint32_t interval = table.interval;
  if (!table.fixed_period) {
    uint64_t last = flow_last_second(start, end);
    if (!table.any_crossing || start < table.earliest) table.earliest = start;
    if (!table.any_crossing || last > table.latest) table.latest = last;
    table.any_crossing = true;
    cover_intervals(start / interval, last / interval);
  }
  if (table.capacity == 0) {
    add_clipped(in);
    add_clipped(out);
    return;
  }
  SpreadWindow window = {interval, table.first_k, table.first_k + table.capacity - 1};
  // row.in and row.out are read here, after cover_intervals may have moved them.
  SpreadResult a = spread_flow(start, end, in, window, row.in);
  SpreadResult b = spread_flow(start, end, out, window, row.out);
  if (a.overflow || b.overflow) sum_overflow(row);
  add_clipped(a.clipped);
  add_clipped(b.clipped);
}

// Both ends of a batch of records are looked up before the first is
// billed, so that the table's cache misses overlap.
template <bool FIXED>
static void bill_batches(const uint8_t* records, size_t count, uint64_t base_time) {
  static int32_t slots[RECORD_BATCH][2];
  for (size_t first = 0; first < count; first += RECORD_BATCH) {
    const uint8_t* batch = records + first * FLOW_RECORD_SIZE;
    size_t n = count - first < RECORD_BATCH ? count - first : RECORD_BATCH;
    host_lookup_records<FIXED, false>(batch, n, slots);
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

uint64_t bill_table_finish(uint64_t* offset) {
  *offset = 0;
  if (!table.fixed_period) {
    table.period = {0, 0};
    if (table.any_crossing && !period_of_flows(table.earliest, table.latest, table.interval, &table.period)) {
      err_printf("netbill: the flows end after 2^64-1 seconds: no bill\n");
      fail_exit();
    }
    if (table.any_crossing) *offset = table.period.from / table.interval - table.first_k;
  }
  return period_intervals(table.period, table.interval);
}
