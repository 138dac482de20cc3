// recdump: prints one flow file in readable form on standard output: two
// summary lines from the header, then one line per record, in file order.
// Only a failed open or read writes to standard error, with the notes on a
// short header or a trailing piece of a record.

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "dump/print_record.h"
#include "flowformat/flow_file.h"
#include "flowformat/flow_format.h"
#include "flowformat/flow_reader.h"

static FlowReader reader;

int main(int argc, char** argv) {
  if (argc != 2) exit(1);
  const char* path = argv[1];

  // Bytes that a short file does not fill are shown as zero.
  uint8_t header[FLOW_HEADER_SIZE] = {};
  FlowFile file;
  FlowOpenStatus opened = open_flow_file(path, FLOW_NAMED_PATH, header, &file);
  if (opened == FLOW_OPEN_FAILED) {
    errno = file.error;
    perror("Open File");
    exit(1);
  }
  if (opened == FLOW_OPEN_READ_FAILED) {
    errno = file.error;
    perror("Read File");
    exit(1);
  }
  if (opened == FLOW_OPEN_SHORT)
    fprintf(stderr, "Short header: %s has %zu of 272 bytes; the rest is shown as zero\n", path,
            file.header_bytes);
  int fd = file.fd;

  FlowFileHeader h = decode_header(header);
  char line[RECORD_LINE_MAX];
  int n = snprintf(line, sizeof line, "Start:%lu Stop:%lu\n", uint64_t{h.start_time},
                   uint64_t{h.stop_time});
  print_text(line, size_t(n));
  n = snprintf(line, sizeof line, "Flows:%lu Pkts:%lu Bytes:%lu\n", uint64_t{h.flow_count},
               uint64_t{h.packet_count}, h.total_bytes);
  print_text(line, size_t(n));

  flow_reader_start(&reader, fd);
  const uint8_t* records;
  size_t count;
  for (;;) {
    FlowReadStatus st = flow_reader_next(&reader, &records, &count);
    if (st == FLOW_READ_RECORDS) {
      for (size_t i = 0; i < count; i++) {
        std::span<const uint8_t, FLOW_RECORD_SIZE> rec(records + i * FLOW_RECORD_SIZE,
                                                       FLOW_RECORD_SIZE);
        print_record(decode_record(rec), h.start_time);
      }
      continue;
    }
    // A note on standard error comes after every line already printed.
    print_flush();
    if (st == FLOW_READ_PARTIAL)
      fprintf(stderr, "Partial record: %s ends with %zu bytes after its last whole record\n",
              path, reader.trailing);
    if (st == FLOW_READ_ERROR) {
      errno = reader.error;
      perror("Read File");
      exit(1);
    }
    break;
  }
  close(fd);
  print_finish();
}
