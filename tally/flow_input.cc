#include "tally/flow_input.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "flowformat/flow_format.h"
#include "flowformat/flow_reader.h"
#include "tally/output.h"
#include "tally/tally.h"

static FlowReader reader;

void read_flow_file(const char* path) {
  // Opened without blocking, so that a FIFO nobody writes to cannot stall
  // the run: it reads as empty and fails the header test like any short
  // file. Then read in blocking mode, so that a slow writer (a
  // decompressor) is waited for instead of being taken for the end.
  int fd = open(path, O_RDONLY | O_NONBLOCK);
  if (fd < 0) fail_perror("open flowfile");
  int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) < 0) fail_perror("open flowfile");

  uint8_t header[FLOW_HEADER_SIZE];
  ssize_t got = read_full(fd, header, sizeof header);
  if (got < 0) fail_perror("Short read header");
  if (size_t(got) < FLOW_HEADER_SIZE) {
    err_printf("Short read header: %s has %zd of 272 bytes\n", path, got);
    fail_exit();
  }
  if (!header_has_magic(header)) {
    out_puts("No KVRZ File");
    fail_exit();
  }
  uint64_t base_time = load_be32(header + HDR_START_TIME);

  flow_reader_start(&reader, fd);
  const uint8_t* records;
  size_t count;
  for (;;) {
    FlowReadStatus st = flow_reader_next(&reader, &records, &count);
    if (st == FLOW_READ_RECORDS) {
      tally_records(records, count, base_time);
      continue;
    }
    if (st == FLOW_READ_PARTIAL)
      err_printf("Partial record: %s ends with %zu bytes after its last whole record\n", path,
                 reader.trailing);
    if (st == FLOW_READ_ERROR) {
      errno = reader.error;
      fail_perror("read flowfile");
    }
    break;
  }
  close(fd);
}
