// The one write loop of both programs: every byte they write on standard
// output, and nettally's gathered standard error, goes out through here.
#pragma once

#include <cstddef>

// Writes all n bytes to fd. A short write goes on with the rest, a write
// interrupted by a signal is repeated, and a descriptor that is
// non-blocking and full (EAGAIN, EWOULDBLOCK: a pipe handed down by a
// parent with an event loop) is waited for until it takes bytes again.
// Returns true once every byte is written; false when a write fails for
// any other reason, with errno telling why (EIO for a write that took
// nothing).
bool write_all(int fd, const char* bytes, size_t n);
