// Complete flow records from a file descriptor, read in large chunks. Both
// programs read flow files only through here: a pipe or a slow disk that
// returns short reads still yields whole records, in file order, and the
// memory used stays one chunk whatever the size of the file.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "flowformat/flow_format.h"

// A whole number of records per read, so that a regular file never leaves a
// piece of a record behind between two reads.
constexpr size_t FLOW_READ_CHUNK_RECORDS = 4096;
constexpr size_t FLOW_READ_CHUNK = FLOW_RECORD_SIZE * FLOW_READ_CHUNK_RECORDS;

enum FlowReadStatus {
  FLOW_READ_RECORDS,  // *records holds *count >= 1 whole records
  FLOW_READ_END,      // end of file right after a whole record
  FLOW_READ_PARTIAL,  // end of file after `trailing` (1..56) extra bytes
  FLOW_READ_ERROR,    // read failed; `error` holds its errno
};

struct FlowReader {
  int fd;
  size_t have;      // bytes in buf
  size_t used;      // bytes of buf already handed out as records
  bool done;        // end, partial or error has been reported
  size_t trailing;  // length of the trailing piece, on FLOW_READ_PARTIAL
  int error;        // errno, on FLOW_READ_ERROR
  uint8_t buf[FLOW_READ_CHUNK];
};

// Reads up to n bytes into buf, looping on short reads and EINTR. Returns
// the number read, which is below n only at end of file, or -1 with errno
// set when a read fails.
ssize_t read_full(int fd, uint8_t* buf, size_t n);

// Prepares r to read records from fd, which is positioned at the first one.
void flow_reader_start(FlowReader* r, int fd);

// The next run of whole records. On FLOW_READ_RECORDS, *records points at
// *count consecutive 57-byte records inside r, valid until the next call.
// After END, PARTIAL or ERROR every further call returns FLOW_READ_END.
FlowReadStatus flow_reader_next(FlowReader* r, const uint8_t** records,
                                size_t* count);
