// The accounting of one flow record: internal flows (both ends in the
// HostTable) add to the two entries' internal byte counters, crossing flows
// (one end in the table) to that entry's bytes, packets and times, and a
// flow with neither end in the table is reported on standard error.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "flowformat/flow_format.h"

// Adds one record, exactly as read from its file, to the HostTable.
// base_time is the file header's start_time, widened to 64 bits; a flow's
// start and end are base_time plus its offsets, with no wrap at 32 bits.
// Writes "Strange...%s->%s\n" to standard error when neither end is ours.
void tally_record(std::span<const uint8_t, FLOW_RECORD_SIZE> record, uint64_t base_time);

// Adds `count` consecutive records, exactly as tally_record would one after
// the other, but looks up a batch of them before it adds them, so that the
// table's cache misses overlap instead of following one another. The table
// must be sealed.
void tally_records(const uint8_t* records, size_t count, uint64_t base_time);
