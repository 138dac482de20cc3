// Opening a flow file and reading its header, for both programs: the rule
// for how long a FIFO is waited for lives here, and only here. What
// happened is returned; each program reports it in its own words.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "flowformat/flow_format.h"

// How long a FIFO that is an entry of a directory gets for a writer to come
// and write the whole header. The operator named the directory, not the
// FIFO: one that nobody writes must not stall the run for ever.
constexpr int FLOW_ENTRY_WAIT_SECONDS = 10;

enum FlowFileOrigin {
  // The path the operator named: opened blocking, as cat opens it, so that
  // a FIFO waits for its writer however late it comes.
  FLOW_NAMED_PATH,
  // An entry found in a directory: a FIFO gets FLOW_ENTRY_WAIT_SECONDS for
  // a writer and its header; anything else is read as a named path is.
  FLOW_DIRECTORY_ENTRY,
};

enum FlowOpenStatus {
  FLOW_OPEN_WHOLE,        // fd open at the first record; all 272 header bytes read
  FLOW_OPEN_SHORT,        // fd open; end of file, or the wait ran out, after header_bytes
  FLOW_OPEN_FAILED,       // opening failed; no fd; `error` holds its errno
  FLOW_OPEN_READ_FAILED,  // fd open; reading the header failed; `error` holds its errno
};

struct FlowFile {
  int fd;               // -1 on FLOW_OPEN_FAILED
  size_t header_bytes;  // header bytes read, 0 to 272
  int error;            // errno, on FLOW_OPEN_FAILED and FLOW_OPEN_READ_FAILED
};

// Opens path (relative to the working directory) for reading and reads
// its header into header, bytes beyond header_bytes left as they were.
// Once the header is read, fd is in blocking mode, so that the records of a
// slow writer (a decompressor) are waited for. Prints nothing; the caller
// closes fd when it is open.
FlowOpenStatus open_flow_file(const char* path, FlowFileOrigin origin,
                              std::span<uint8_t, FLOW_HEADER_SIZE> header, FlowFile* f);
