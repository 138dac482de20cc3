// The bytes of every customer in every interval of a bill: one row per
// customer name, two 8-byte sums (in, out) per row and interval, 16 bytes
// per customer-interval, and the accounting of flow records into them.
// Rows come from the owners that load_networks_for(NETWORKS_NOTES_PER_ENTRY)
// leaves; records are looked up in the HostTable in batches, as nettally's.
#pragma once

#include <cstddef>
#include <cstdint>

#include "bill/period.h"

struct BillRow {
  const char* name;  // NUL-terminated, 1..200 bytes
  size_t name_length;
};

struct BillTable {
  BillRow* rows;  // sorted by the bytes of the name
  uint32_t row_count;
  uint32_t interval;  // seconds
  // After bill_table_finish, the period's intervals: first_k ..
  // first_k + intervals − 1. Without a given period the sums grow to cover
  // every crossing flow, and the period is taken from the flows at the end.
  uint64_t first_k;
  uint64_t intervals;
  bool fixed_period;
  Period period;  // the given period; without one, set by bill_table_finish
  // Without a period: the earliest start and latest last second of the
  // crossing flows (flow_last_second), once any_crossing.
  uint64_t earliest;
  uint64_t latest;
  bool any_crossing;
  uint64_t internal_flows;  // both ends ours: not billed
  uint64_t neither_flows;  // neither end ours: not billed
  uint64_t clipped_bytes;  // bytes outside the period: not billed
};
extern const BillTable& bill_table;

// Makes the rows, after load_networks_for: one per distinct name of the
// customer file, plus DEFAULT when a slot of the table is still DEFAULT's;
// a custs entry named DEFAULT shares DEFAULT's row. With a period (given
// is true), maps the sums of every row and interval now, pages of zeros
// that cost memory once written. Exits 1 with a perror report when the
// memory cannot be had. With adder_thread, the flows are added to the
// sums on a second thread while the reading goes on (bill/flow_queue.h);
// the bill is the same either way.
void bill_table_start(uint32_t interval, bool given, Period period, bool adder_thread);

// Adds `count` consecutive 57-byte records of one file with the header's
// start_time as base_time: crossing flows (exactly one end ours) are spread
// over the intervals into the row of the own end's owner, in = what the
// own end received, out = what it sent; internal and neither-end flows are
// counted. Exits 1 with a message when a sum would pass 2^64−1, or with a
// perror report when the intervals cannot grow, here or in
// bill_table_finish (the flows may be added a little later, on the adder's
// thread).
void bill_records(const uint8_t* records, size_t count, uint64_t base_time);

// Waits until every flow has been added, then settles the period of a
// run without one (period_of_flows, or the empty
// period [0, 0) when no crossing flow was read). Returns the number of
// intervals N of the period.
uint64_t bill_table_finish();

// After bill_table_finish: row r's bytes of the period's N intervals into
// in[0 .. N−1] and out[0 .. N−1], interval first_k + i at i.
void bill_row_sums(uint32_t r, uint64_t* in, uint64_t* out);
