#include "tally/output.h"

#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

static constexpr size_t ERR_BUFFER_SIZE = 64 * 1024;
static constexpr size_t ERR_LINE_MAX = 1024;  // longer messages bypass the buffer
static char err_buffer[ERR_BUFFER_SIZE];
static size_t err_used;

void err_flush() {
  size_t done = 0;
  while (done < err_used) {
    ssize_t k = write(STDERR_FILENO, err_buffer + done, err_used - done);
    if (k < 0 && errno == EINTR) continue;
    if (k <= 0) break;  // nowhere to report a failing standard error
    done += size_t(k);
  }
  err_used = 0;
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
  // Did not fit: write what is pending, then the message straight through.
  err_flush();
  va_start(ap, fmt);
  vfprintf(stderr, fmt, ap);
  va_end(ap);
}

void err_write(const char* bytes, size_t n) {
  if (ERR_BUFFER_SIZE - err_used < n) {
    err_flush();
    if (n > ERR_BUFFER_SIZE) {
      fwrite(bytes, 1, n, stderr);
      return;
    }
  }
  memcpy(err_buffer + err_used, bytes, n);
  err_used += n;
}

// A report cut short by a full disk, a closed descriptor or a reader that
// went away must not look complete: any failed write of standard output
// ends the run with status 1, reported where it is met, while errno still
// tells why.
static constexpr const char* OUT_FAILED_LABEL = "Writing standard output";

static void check_out(bool written) {
  if (!written) fail_perror(OUT_FAILED_LABEL);
}

void out_printf(const char* fmt, ...) {
  err_flush();
  va_list ap;
  va_start(ap, fmt);
  int n = vprintf(fmt, ap);
  va_end(ap);
  check_out(n >= 0);
}

void out_puts(const char* line) {
  err_flush();
  check_out(puts(line) != EOF);
}

void out_write(const char* bytes, size_t n) {
  err_flush();
  check_out(fwrite(bytes, 1, n, stdout) == n);
}

void out_flush() {
  err_flush();
  check_out(fflush(stdout) == 0 && !ferror(stdout));
}

void fail_perror(const char* label) {
  int saved = errno;
  err_flush();
  errno = saved;
  perror(label);
  exit(1);
}

void fail_exit() {
  err_flush();
  // The status is 1 already; a line that did not reach standard output
  // ("No KVRZ File") is still worth saying.
  if (fflush(stdout) != 0 || ferror(stdout)) perror(OUT_FAILED_LABEL);
  exit(1);
}

void finish() {
  err_flush();
  // Status 0 only once every byte of standard output has been written.
  check_out(fflush(stdout) == 0 && !ferror(stdout));
  exit(0);
}
