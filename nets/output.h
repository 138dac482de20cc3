// Every byte that nettally writes, and all that netbill writes on its two
// standard streams, goes through here, and out through
// flowformat/write_all.h, so that a non-blocking descriptor is waited for.
// Standard output is gathered by stdio's rules (line-buffered on a
// terminal, else fully buffered) and flushed where the run says so, when
// its buffer is full, and at the end, where it is also closed and checked.
// Standard error is
// gathered in a buffer so that thousands of "Strange..." lines do not cost
// a system call each; the buffer is written out before anything that could
// put its bytes behind later ones: a write to or flush of standard output,
// an error report, and the end of the process. Both streams thus come out
// in the same order as if standard error were written at once.
#pragma once

#include <cstddef>
#include <cstdint>

#include "flowformat/number_text.h"

// Write to standard output (through its buffer). A failed write reports
// "Writing standard output: ..." in the perror form and exits 1.
void out_printf(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void out_puts(const char* line);  // the line and a newline
void out_write(const char* bytes, size_t n);
// Flushes standard output, after any standard error bytes still pending.
void out_flush();

// Writes to standard error, in order with everything else.
void err_printf(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void err_write(const char* bytes, size_t n);
void err_flush();

// The hand formatters of the hot paths, put_decimal and put_dotted_quad,
// are flowformat/number_text.h's, which recdump shares.

// The platform's perror report "label: description of errno" on standard
// error, then exit status 1.
[[noreturn]] void fail_perror(const char* label);
// Ends the process with status 1 after the messages already written.
[[noreturn]] void fail_exit();
// Flushes and closes standard output, then ends the process with status 0;
// with status 1 and "Writing standard output: ..." when either fails.
[[noreturn]] void finish();
