#include "flowformat/flow_file.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

#include "flowformat/flow_reader.h"

static int64_t now_ms() {
  struct timespec t = {};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return int64_t{t.tv_sec} * 1000 + t.tv_nsec / 1000000;
}

// Reads the header of a FIFO opened without blocking, for at most
// FLOW_ENTRY_WAIT_SECONDS. A FIFO whose writer has not come yet reads as
// empty at once (and, on Linux, reports no hang-up), so nothing is read
// before poll says there is something: data, or the end left by a writer
// that came and went. Returns the bytes read, or -1 with errno set.
static ssize_t read_fifo_header(int fd, std::span<uint8_t, FLOW_HEADER_SIZE> header) {
  const int64_t deadline = now_ms() + int64_t{FLOW_ENTRY_WAIT_SECONDS} * 1000;
  size_t got = 0;
  while (got < FLOW_HEADER_SIZE) {
    int64_t left = deadline - now_ms();
    if (left <= 0) break;
    struct pollfd p = {};
    p.fd = fd;
    p.events = POLLIN;
    int ready = poll(&p, 1, int(left));
    if (ready < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (ready == 0) break;  // the wait ran out
    ssize_t k = read(fd, header.data() + got, FLOW_HEADER_SIZE - got);
    if (k < 0) {
      if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
      return -1;
    }
    if (k == 0) break;  // a writer came and went
    got += size_t(k);
  }
  return ssize_t(got);
}

FlowOpenStatus open_flow_file(const char* path, FlowFileOrigin origin,
                              std::span<uint8_t, FLOW_HEADER_SIZE> header, FlowFile* f) {
  f->fd = -1;
  f->header_bytes = 0;
  f->error = 0;
  // An entry is opened without blocking, since opening a FIFO for reading
  // would wait for a writer without any bound; then it is made blocking
  // again, except a FIFO until its header is in.
  int fd = open(path, origin == FLOW_DIRECTORY_ENTRY ? O_RDONLY | O_NONBLOCK : O_RDONLY);
  if (fd < 0) {
    f->error = errno;
    return FLOW_OPEN_FAILED;
  }
  bool waited_fifo = false;
  ssize_t got = 0;
  if (origin == FLOW_DIRECTORY_ENTRY) {
    struct stat st;
    if (fstat(fd, &st) == 0 && S_ISFIFO(st.st_mode)) {
      waited_fifo = true;
      got = read_fifo_header(fd, header);
      if (got < 0) f->error = errno;
    }
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) < 0) {
      f->error = errno;
      close(fd);
      return FLOW_OPEN_FAILED;
    }
  }
  f->fd = fd;
  if (!waited_fifo) {
    got = read_full(fd, header.data(), FLOW_HEADER_SIZE);
    if (got < 0) f->error = errno;
  }
  if (got < 0) return FLOW_OPEN_READ_FAILED;
  f->header_bytes = size_t(got);
  return f->header_bytes == FLOW_HEADER_SIZE ? FLOW_OPEN_WHOLE : FLOW_OPEN_SHORT;
}
