#include "flowformat/write_all.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>

// Blocks until fd can take bytes, or reports something that the next
// write will turn into its own error (a reader gone, a hang-up).
static bool wait_writable(int fd) {
  struct pollfd p = {};
  p.fd = fd;
  p.events = POLLOUT;
  for (;;) {
    int k = poll(&p, 1, -1);
    if (k >= 0) return true;
    if (errno != EINTR) return false;
  }
}

bool write_all(int fd, const char* bytes, size_t n) {
  size_t done = 0;
  while (done < n) {
    ssize_t k = write(fd, bytes + done, n - done);
    if (k < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        if (!wait_writable(fd)) return false;
        continue;
      }
      return false;
    }
    if (k == 0) {
      errno = EIO;
      return false;
    }
    done += size_t(k);
  }
  return true;
}
