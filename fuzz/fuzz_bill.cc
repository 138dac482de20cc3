// Fuzz target: netbill's billing of flow records. The input chooses the
// interval length, a period or none, and a base time, then gives runs of
// 57-byte records, each run with a base time of its own near the first, so
// that without a period the intervals grow both ways. bill_table_start,
// one bill_records call per run and bill_table_finish bill them into the
// rows of a fixed set of supernets and customers, loaded once with
// netbill's notes: two custs entries share a name, one claims nothing
// (an earlier entry holds its block), one lies outside the supernets, one
// is named DEFAULT, and the addresses no entry claims keep DEFAULT's row.
//
// A run that got through must agree with a plain model of the bill made
// here from the same records: the rows' names, every row's bytes in and
// out in every interval of the period, as bill_row_sums gives them (the exact parts
// ⌊B·(t−start)/(end−start)⌋ differences, a flow with end <= start all in
// the interval of its start), the bytes outside the period, the internal
// and neither-end counts, and the period and interval count that
// bill_table_finish settles. A run may end in fail_exit only where the
// model finds a sum beyond 2^64−1. The blocks a run keeps must be the
// bill's own: any more is a leak that the harness's freeing would hide.
//
// The input, big-endian like the flow file:
//   off  width  field
//     0    1    interval: below 0x80 one of COMMON_INTERVALS; else bit 0
//     1    2      and these 16 bits make v, the length 1 + v % 86400
//     3    1    bit 0: a period is given
//     4    2    the period's first interval, signed, counted from the one
//                 that holds base 0 (at least interval 0)
//     6    2    the period's length: 1 + this % PERIOD_INTERVALS_MAX intervals
//     8    4    base 0, epoch seconds
//    12         runs, each a 1-byte record count, a 2-byte signed shift of
//                 its base time from base 0 in seconds (held to 32 bits,
//                 as a header's start_time), and its records (the whole
//                 ones left when fewer)

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <vector>

#include "bill/bill_table.h"
#include "bill/period.h"
#include "flowformat/flow_format.h"
#include "fuzz/fuzz_support.h"
#include "nets/host_table.h"
#include "nets/networks.h"

static constexpr char OUR_NETS[] =
    "192.0.2.0/24\n"
    "198.51.100.0/26\n"
    "203.0.113.77/32\n"
    "0.0.0.0/30\n"
    "255.255.255.248/29\n";
static constexpr char CUSTS[] =
    "192.0.2.0/26 acme\n"
    "192.0.2.64/27 globex\n"
    "198.51.100.0/28 acme\n"
    "192.0.2.32/28 initech\n"
    "203.0.113.77 umbrella\n"
    "10.0.0.0/8 outside\n"
    "192.0.2.96/30 acme\n"
    "255.255.255.255 DEFAULT\n"
    "0.0.0.2/31 globex\n";

// The same definitions, for the model.
struct Block {
  uint32_t address, prefix_length;
};
static constexpr Block SUPERNETS[] = {
    {0xC0000200, 24}, {0xC6336400, 26}, {0xCB00714D, 32}, {0x00000000, 30}, {0xFFFFFFF8, 29},
};
struct Customer {
  Block block;
  const char* name;
};
static constexpr Customer CUSTOMERS[] = {
    {{0xC0000200, 26}, "acme"},     {{0xC0000240, 27}, "globex"},  {{0xC6336400, 28}, "acme"},
    {{0xC0000220, 28}, "initech"},  {{0xCB00714D, 32}, "umbrella"}, {{0x0A000000, 8}, "outside"},
    {{0xC0000260, 30}, "acme"},     {{0xFFFFFFFF, 32}, "DEFAULT"},  {{0x00000002, 31}, "globex"},
};

static constexpr uint32_t COMMON_INTERVALS[] = {300, 60, 1, 3600, 86400, 900, 5, 7};
static constexpr uint32_t INTERVAL_MAX = 86400;
// The period's arrays are allocated whole; this keeps a run's memory small.
static constexpr uint32_t PERIOD_INTERVALS_MAX = 4096;
static constexpr size_t SETTINGS_SIZE = 12;
static constexpr size_t RUN_HEAD_SIZE = 3;

static bool block_holds(const Block& b, uint32_t a) {
  uint64_t size = uint64_t{1} << (32 - b.prefix_length);
  uint64_t first = b.address & ~(size - 1);
  return a >= first && a <= first + size - 1;
}

// The rows the bill must have, sorted by the bytes of their names.
static std::vector<const char*> model_rows;

static int32_t model_row_named(const char* name) {
  for (size_t r = 0; r < model_rows.size(); r++)
    if (strcmp(model_rows[r], name) == 0) return int32_t(r);
  abort();
}

// The row of an address of ours, or -1 for one that is not: the first
// customer entry holding it claims it, else DEFAULT keeps it. Address 0 is
// never held.
static int32_t model_row_of(uint32_t a) {
  bool ours = false;
  for (const Block& b : SUPERNETS) ours |= a != 0 && block_holds(b, a);
  if (!ours) return -1;
  for (const Customer& c : CUSTOMERS)
    if (block_holds(c.block, a)) return model_row_named(c.name);
  return model_row_named("DEFAULT");
}

static void load_fixture() { load_networks_for({"our.nets", "custs", NETWORKS_NOTES_PER_ENTRY}); }

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz_setup();
  fuzz_write_file("our.nets", reinterpret_cast<const uint8_t*>(OUR_NETS), sizeof OUR_NETS - 1);
  fuzz_write_file("custs", reinterpret_cast<const uint8_t*>(CUSTS), sizeof CUSTS - 1);
  networks_restart();
  if (run_program(load_fixture) != -1) abort();
  if (!host_table.fixed) abort();
  // The table points at the records for the whole process.
  keep_records();

  // Every custs name is a row, DEFAULT too when it keeps an address.
  bool default_keeps = false;
  for (const Block& b : SUPERNETS) {
    uint64_t size = uint64_t{1} << (32 - b.prefix_length);
    for (uint64_t x = b.address; x < b.address + size; x++) {
      bool claimed = false;
      for (const Customer& c : CUSTOMERS) claimed |= block_holds(c.block, uint32_t(x));
      default_keeps |= x != 0 && !claimed;
    }
  }
  for (const Customer& c : CUSTOMERS) model_rows.push_back(c.name);
  if (default_keeps) model_rows.push_back("DEFAULT");
  std::sort(model_rows.begin(), model_rows.end(), [](const char* a, const char* b) { return strcmp(a, b) < 0; });
  model_rows.erase(std::unique(model_rows.begin(), model_rows.end(),
                               [](const char* a, const char* b) { return strcmp(a, b) == 0; }),
                   model_rows.end());

  // The model's owners must be the table's, or the checks below would
  // blame the bill for a fixture that drifted.
  for (const Block& b : SUPERNETS) {
    uint64_t size = uint64_t{1} << (32 - b.prefix_length);
    for (uint64_t x = b.address; x < b.address + size; x++) {
      int32_t slot = host_lookup(uint32_t(x));
      int32_t row = model_row_of(uint32_t(x));
      if ((slot < 0) != (row < 0)) abort();
      if (slot >= 0 && strcmp(host_owner(uint32_t(slot))->name, model_rows[size_t(row)]) != 0) abort();
    }
  }
  return 0;
}

struct Run {
  uint64_t base_time;
  size_t count;
  std::vector<uint8_t> records;  // exactly count records, so that a read past them is caught
};

struct BillInput {
  uint32_t interval;
  bool given;
  Period period;
  std::vector<Run> runs;
};

static bool parse_input(const uint8_t* data, size_t size, BillInput* in) {
  if (size < SETTINGS_SIZE) return false;
  uint32_t v = uint32_t{data[0] & 1u} << 16 | load_be16(data + 1);
  in->interval = data[0] < 0x80 ? COMMON_INTERVALS[data[0] % std::size(COMMON_INTERVALS)] : 1 + v % INTERVAL_MAX;
  in->given = (data[3] & 1) != 0;
  uint32_t base0 = load_be32(data + 8);
  int64_t first_k = std::max<int64_t>(int64_t(base0 / in->interval) + int16_t(load_be16(data + 4)), 0);
  uint64_t length = 1 + load_be16(data + 6) % PERIOD_INTERVALS_MAX;
  in->period = {uint64_t(first_k) * in->interval, (uint64_t(first_k) + length) * in->interval};
  if (in->given && check_period(in->period, in->interval) != PERIOD_OK) abort();

  in->runs.clear();
  for (size_t at = SETTINGS_SIZE; size - at >= RUN_HEAD_SIZE;) {
    size_t wanted = data[at];
    int64_t base = std::clamp<int64_t>(int64_t{base0} + int16_t(load_be16(data + at + 1)), 0, UINT32_MAX);
    at += RUN_HEAD_SIZE;
    size_t count = std::min(wanted, (size - at) / FLOW_RECORD_SIZE);
    const uint8_t* records = data + at;
    at += count * FLOW_RECORD_SIZE;
    in->runs.push_back({uint64_t(base), count, std::vector<uint8_t>(records, data + at)});
  }
  return true;
}

static BillInput input;
static uint64_t finished_intervals;

// netbill's sequence, after the definitions: the table, the records of
// every file, the period. A file's records may come in several calls; a
// call never has none.
static void bill_input() {
  bill_table_start(input.interval, input.given, input.period, false);
  for (const Run& run : input.runs)
    if (run.count > 0) bill_records(run.records.data(), run.count, run.base_time);
  finished_intervals = bill_table_finish();
}

// The bill as a plain model computes it.
struct Model {
  uint64_t first_k;  // the intervals first_k .. first_k + intervals − 1
  uint64_t intervals;
  std::vector<std::vector<uint64_t>> in, out;  // per row, index k − first_k
  uint64_t clipped;
  uint64_t internal, neither;
  bool any_crossing;
  uint64_t earliest, latest;  // starts and last seconds of the crossing flows
  unsigned __int128 crossing_bytes;  // in and out, all of them
  unsigned __int128 billed_bytes;  // the parts inside the intervals
  bool overflow;  // a sum passed 2^64−1
};

struct Crossing {
  size_t row;
  uint64_t start, end, in, out;
};

static void add_checked(uint64_t* sum, uint64_t part, bool* overflow) {
  if (*sum > UINT64_MAX - part) *overflow = true;
  *sum += part;
}

static void add_part(Model& m, std::vector<uint64_t>& sums, uint64_t k, uint64_t part) {
  if (k >= m.first_k && k - m.first_k < m.intervals) {
    add_checked(&sums[k - m.first_k], part, &m.overflow);
    m.billed_bytes += part;
  } else {
    add_checked(&m.clipped, part, &m.overflow);
  }
}

// The part of a flow in interval k is what has flowed by the interval's
// end, less what had by its start, each B·(t−start)/(end−start) rounded
// down with t held to [start, end]. Both ends of a flow have the same base,
// so end − start < 2^16 and B·(t−start) < 2^48.
static void model_spread(Model& m, std::vector<uint64_t>& sums, uint64_t start, uint64_t end, uint64_t bytes,
                         uint32_t interval) {
  if (end <= start) {
    add_part(m, sums, start / interval, bytes);
    return;
  }
  uint64_t parts = 0;
  for (uint64_t k = start / interval; k <= (end - 1) / interval; k++) {
    uint64_t a = std::max(k * interval, start);
    uint64_t b = std::min((k + 1) * interval, end);
    uint64_t part = bytes * (b - start) / (end - start) - bytes * (a - start) / (end - start);
    add_part(m, sums, k, part);
    parts += part;
  }
  if (parts != bytes) abort();
}

static Model model_bill(const BillInput& in) {
  Model m = {};
  std::vector<Crossing> flows;
  for (const Run& run : in.runs)
    for (size_t i = 0; i < run.count; i++) {
      const uint8_t* p = run.records.data() + i * FLOW_RECORD_SIZE;
      int32_t src = model_row_of(load_be32(p + REC_SRC_ADDR));
      int32_t dst = model_row_of(load_be32(p + REC_DST_ADDR));
      if (src >= 0 && dst >= 0) {
        m.internal++;
        continue;
      }
      if (src < 0 && dst < 0) {
        m.neither++;
        continue;
      }
      uint64_t fwd = load_be32(p + REC_FWD_BYTES), rev = load_be32(p + REC_REV_BYTES);
      Crossing f = {size_t(src >= 0 ? src : dst), run.base_time + load_be16(p + REC_START_OFFSET),
                    run.base_time + load_be16(p + REC_END_OFFSET), src >= 0 ? rev : fwd, src >= 0 ? fwd : rev};
      uint64_t last = f.end > f.start ? f.end - 1 : f.start;
      m.earliest = m.any_crossing ? std::min(m.earliest, f.start) : f.start;
      m.latest = m.any_crossing ? std::max(m.latest, last) : last;
      m.any_crossing = true;
      m.crossing_bytes += f.in;
      m.crossing_bytes += f.out;
      flows.push_back(f);
    }
  if (in.given) {
    m.first_k = in.period.from / in.interval;
    m.intervals = (in.period.to - in.period.from) / in.interval;
  } else if (m.any_crossing) {
    m.first_k = m.earliest / in.interval;
    m.intervals = m.latest / in.interval - m.first_k + 1;
  }
  m.in.assign(model_rows.size(), std::vector<uint64_t>(m.intervals));
  m.out.assign(model_rows.size(), std::vector<uint64_t>(m.intervals));
  for (const Crossing& f : flows) {
    model_spread(m, m.in[f.row], f.start, f.end, f.in, in.interval);
    model_spread(m, m.out[f.row], f.start, f.end, f.out, in.interval);
  }
  if (!m.overflow && m.billed_bytes + m.clipped != m.crossing_bytes) abort();
  return m;
}

static void check_bill(const BillInput& in, const Model& m) {
  const BillTable& t = bill_table;
  if (t.interval != in.interval || t.fixed_period != in.given) abort();
  if (t.internal_flows != m.internal || t.neither_flows != m.neither) abort();
  if (t.clipped_bytes != m.clipped) abort();

  if (t.row_count != model_rows.size()) abort();
  for (uint32_t r = 0; r < t.row_count; r++)
    if (strcmp(t.rows[r].name, model_rows[r]) != 0 || t.rows[r].name_length != strlen(model_rows[r])) abort();

  // The period.
  if (finished_intervals != m.intervals) abort();
  if (t.period.from != m.first_k * in.interval || t.period.to != (m.first_k + m.intervals) * in.interval) abort();
  if (t.first_k != m.first_k || t.intervals != m.intervals) abort();
  if (!in.given) {
    if (t.any_crossing != m.any_crossing) abort();
    if (m.any_crossing && (t.earliest != m.earliest || t.latest != m.latest)) abort();
  }

  // Every row's sums of every interval of the period, as bill_row_sums
  // gathers them. The model's parts add up to each flow's bytes, so a
  // table equal to it accounts for every byte once. memcmp rather than a
  // loop of comparisons, each of which the fuzzer's instrumentation would
  // trace.
  static std::vector<uint64_t> got_in, got_out;
  got_in.assign(size_t(m.intervals) + 1, 1);
  got_out.assign(size_t(m.intervals) + 1, 1);
  const size_t bytes = size_t(m.intervals) * sizeof(uint64_t);
  for (uint32_t r = 0; r < t.row_count && m.intervals > 0; r++) {
    bill_row_sums(r, got_in.data(), got_out.data());
    if (memcmp(got_in.data(), m.in[r].data(), bytes) != 0 || memcmp(got_out.data(), m.out[r].data(), bytes) != 0)
      abort();
    if (got_in[size_t(m.intervals)] != 1 || got_out[size_t(m.intervals)] != 1) abort();  // nothing past the end
  }
  // The rows, the row of each owner, the list of blocks of sums and,
  // without a period, the blocks made where flows fell, each of 64
  // intervals within the period's: a run that kept more leaked, though
  // release_records frees it below.
  uint64_t blocks = 0;
  if (!in.given && m.intervals > 0) blocks = (m.first_k + m.intervals - 1) / 64 - m.first_k / 64 + 1;
  if (held_records() > 3 + blocks) abort();
}

// bill_table is netbill's one table, filled once per process. Only the
// header's view of it is const, not the table itself, so the harness can
// zero it between runs, as a fresh process finds it; the arrays it pointed
// to are freed by release_records.
static void clear_bill_table() { const_cast<BillTable&>(bill_table) = {}; }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (!parse_input(data, size, &input)) return 0;
  Model m = model_bill(input);
  int status = run_program(bill_input);
  if (status != -1 && status != 1) abort();
  if (status == 1 && !m.overflow) abort();
  if (status == -1) {
    if (m.overflow) abort();
    check_bill(input, m);
  }
  release_records();
  clear_bill_table();
  return 0;
}
