#include "nets/output.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "flowformat/write_all.h"

// Standard error: gathered, written out before anything that could put its
// bytes behind later ones.
static constexpr size_t ERR_BUFFER_SIZE = 64 * 1024;
static constexpr size_t ERR_LINE_MAX = 1024;  // room kept for the next message
static char err_buffer[ERR_BUFFER_SIZE];
static size_t err_used;

void err_flush() {
  // Nowhere to report a failing standard error: its bytes are dropped.
  write_all(STDERR_FILENO, err_buffer, err_used);
  err_used = 0;
}

void err_write(const char* bytes, size_t n) {
  if (ERR_BUFFER_SIZE - err_used < n) {
    err_flush();
    if (n > ERR_BUFFER_SIZE) {
      write_all(STDERR_FILENO, bytes, n);
      return;
    }
  }
  memcpy(err_buffer + err_used, bytes, n);
  err_used += n;
}

// A message longer than the room of its buffer is formatted once more, n
// bytes into memory of its own, so that it is written whole whatever its
// length. Returns the text, to be freed, or null when no memory is left.
__attribute__((format(printf, 2, 0))) static char* format_long_message(size_t n,
                                                                     const char* fmt, va_list ap) {
  char* text = static_cast<char*>(malloc(n + 1));
  if (text) vsnprintf(text, n + 1, fmt, ap);
  return text;
}

void err_printf(const char* fmt, ...) {
  if (ERR_BUFFER_SIZE - err_used < ERR_LINE_MAX) err_flush();
  va_list ap;
  va_start(ap, fmt);
  int n = vsnprintf(err_buffer + err_used, ERR_BUFFER_SIZE - err_used, fmt, ap);
  va_end(ap);
  if (n < 0) return;
  if (size_t(n) < ERR_BUFFER_SIZE - err_used) {
    err_used += size_t(n);
    return;
  }
  va_start(ap, fmt);
  char* text = format_long_message(size_t(n), fmt, ap);
  va_end(ap);
  if (text) err_write(text, size_t(n));
  free(text);
}

// Standard output: a buffer of its own, kept by stdio's rules, so that the
// bytes and the points where they go out are those of the earlier stdio
// stream: line-buffered on a terminal, else fully buffered in blocks of the
// descriptor's preferred size, at most OUT_BUFFER_SIZE. Unlike stdio it
// writes with write_all, so that a non-blocking descriptor is waited for.
static constexpr size_t OUT_BUFFER_SIZE = BUFSIZ;
static char out_buffer[OUT_BUFFER_SIZE];
static size_t out_used;
static size_t out_block;      // 0 until the first byte decides the mode
static bool out_line_mode;    // a terminal: out at every newline
static bool out_any_written;  // a byte has gone to descriptor 1

// A report cut short by a full disk, a closed descriptor or a reader that
// went away must not look complete: any failed write of standard output
// ends the run with status 1, reported where it is met, while errno still
// tells why.
static constexpr const char* OUT_FAILED_LABEL = "Writing standard output";

// Writes bytes to descriptor 1; false with errno set when that fails.
static bool out_send(const char* bytes, size_t n) {
  if (n == 0) return true;
  out_any_written = true;
  return write_all(STDOUT_FILENO, bytes, n);
}

static void out_check(bool written) {
  if (!written) {
    out_used = 0;  // not tried again on the way out
    fail_perror(OUT_FAILED_LABEL);
  }
}

static void out_write_buffer() {
  bool written = out_send(out_buffer, out_used);
  out_used = 0;
  out_check(written);
}

static void out_choose_mode() {
  struct stat st;
  out_block = OUT_BUFFER_SIZE;
  if (fstat(STDOUT_FILENO, &st) == 0) {
    out_line_mode = S_ISCHR(st.st_mode) && isatty(STDOUT_FILENO);
    if (st.st_blksize > 0 && size_t(st.st_blksize) < OUT_BUFFER_SIZE)
      out_block = size_t(st.st_blksize);
  }
}

// The one way bytes enter standard output's buffer. Like stdio, the buffer
// is filled to its end before it goes out; whole blocks of a long text then
// go straight through, and the rest waits in the buffer.
static void out_put(const char* bytes, size_t n) {
  err_flush();
  if (out_block == 0) out_choose_mode();
  size_t room = out_block - out_used;
  if (n <= room) {
    memcpy(out_buffer + out_used, bytes, n);
    out_used += n;
  } else {
    memcpy(out_buffer + out_used, bytes, room);
    out_used += room;
    out_write_buffer();
    size_t rest = n - room;
    size_t direct = rest - rest % out_block;
    out_check(out_send(bytes + room, direct));
    memcpy(out_buffer, bytes + room + direct, rest - direct);
    out_used = rest - direct;
  }
  if (out_line_mode && memchr(bytes, '\n', n)) out_write_buffer();
}

void out_printf(const char* fmt, ...) {
  char line[1024];
  va_list ap;
  va_start(ap, fmt);
  int n = vsnprintf(line, sizeof line, fmt, ap);
  va_end(ap);
  if (n < 0) out_check(false);
  if (size_t(n) < sizeof line) {
    out_put(line, size_t(n));
    return;
  }
  va_start(ap, fmt);
  char* text = format_long_message(size_t(n), fmt, ap);
  va_end(ap);
  if (!text) out_check(false);
  out_put(text, size_t(n));
  free(text);
}

void out_puts(const char* line) {
  out_put(line, strlen(line));
  out_put("\n", 1);
}

void out_write(const char* bytes, size_t n) { out_put(bytes, n); }

void out_flush() {
  err_flush();
  out_write_buffer();
}

void fail_perror(const char* label) {
  int saved = errno;
  err_flush();
  errno = saved;
  perror(label);
  // The status is 1 already; what waits for standard output (the line
  // "File") still goes out, behind the error, as stdio wrote it at exit.
  out_send(out_buffer, out_used);
  out_used = 0;
  exit(1);
}

void fail_exit() {
  err_flush();
  // A line that did not reach standard output ("No KVRZ File") is still
  // worth saying.
  if (!out_send(out_buffer, out_used)) perror(OUT_FAILED_LABEL);
  out_used = 0;
  exit(1);
}

void finish() {
  out_flush();
  // Status 0 only once every byte has been taken, including by file
  // systems (NFS, quotas) that report a failed write only at close. A
  // descriptor that was never open and never written lost nothing.
  if (close(STDOUT_FILENO) != 0 && !(errno == EBADF && !out_any_written))
    fail_perror(OUT_FAILED_LABEL);
  exit(0);
}
