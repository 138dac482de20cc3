#include "flowformat/flow_reader.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

ssize_t read_full(int fd, uint8_t* buf, size_t n) {
  size_t got = 0;
  while (got < n) {
    ssize_t k = read(fd, buf + got, n - got);
    if (k < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (k == 0) break;
    got += size_t(k);
  }
  return ssize_t(got);
}

void flow_reader_start(FlowReader* r, int fd) {
  r->fd = fd;
  r->have = 0;
  r->used = 0;
  r->done = false;
  r->trailing = 0;
  r->error = 0;
}

FlowReadStatus flow_reader_next(FlowReader* r, const uint8_t** records,
                                size_t* count) {
  if (r->done) return FLOW_READ_END;
  // Keep the piece of a record that the last read left, at the front.
  size_t left = r->have - r->used;
  if (left > 0 && r->used > 0) memmove(r->buf, r->buf + r->used, left);
  r->have = left;
  r->used = 0;
  while (r->have < FLOW_RECORD_SIZE) {
    ssize_t k = read(r->fd, r->buf + r->have, FLOW_READ_CHUNK - r->have);
    if (k < 0) {
      if (errno == EINTR) continue;
      r->error = errno;
      r->done = true;
      return FLOW_READ_ERROR;
    }
    if (k == 0) {
      r->done = true;
      if (r->have == 0) return FLOW_READ_END;
      r->trailing = r->have;
      return FLOW_READ_PARTIAL;
    }
    r->have += size_t(k);
  }
  *count = r->have / FLOW_RECORD_SIZE;
  *records = r->buf;
  r->used = *count * FLOW_RECORD_SIZE;
  return FLOW_READ_RECORDS;
}
