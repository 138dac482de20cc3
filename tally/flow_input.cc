#include "tally/flow_input.h"

#include <unistd.h>

#include <cerrno>

#include "flowformat/flow_file.h"
#include "flowformat/flow_format.h"
#include "flowformat/flow_reader.h"
#include "nets/output.h"
#include "tally/tally.h"

static FlowReader reader;

void read_flow_file(const char* path, FlowFileOrigin origin) {
  uint8_t header[FLOW_HEADER_SIZE];
  FlowFile file;
  FlowOpenStatus opened = open_flow_file(path, origin, header, &file);
  if (opened == FLOW_OPEN_FAILED) {
    errno = file.error;
    fail_perror("open flowfile");
  }
  if (opened == FLOW_OPEN_READ_FAILED) {
    errno = file.error;
    fail_perror("Short read header");
  }
  if (opened == FLOW_OPEN_SHORT) {
    err_printf("Short read header: %s has %zu of 272 bytes\n", path, file.header_bytes);
    fail_exit();
  }
  if (!header_has_magic(header)) {
    out_puts("No KVRZ File");
    fail_exit();
  }
  int fd = file.fd;
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
