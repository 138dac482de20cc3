// Flow input of nettally: one flow file, its header checked, its records
// handed to the accounting in file order.
#pragma once

#include "flowformat/flow_file.h"

// Opens path (relative to the working directory; a regular file, a FIFO, a
// pipe or a device) as open_flow_file does for its origin: a named FIFO is
// waited for however long, a FIFO entry of a directory for
// FLOW_ENTRY_WAIT_SECONDS. Checks that its header is whole and starts with
// "KVRZ", and calls tally_record for every whole record with the header's
// start_time as base time. A trailing piece of a record is noted on
// standard error and skipped. Exits 1 when the file cannot be opened or
// read, its header is short, or its magic is wrong.
void read_flow_file(const char* path, FlowFileOrigin origin);
