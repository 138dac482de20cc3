// Every byte that nettally writes goes through here. Standard output is
// stdio's stdout, flushed only where the run says so. Standard error is
// gathered in a buffer so that thousands of "Strange..." lines do not cost
// a system call each; the buffer is written out before anything that could
// put its bytes behind later ones: a write to or flush of standard output,
// an error report, and the end of the process. Both streams thus come out
// in the same order as if standard error were written at once.
#pragma once

#include <cstddef>
#include <cstdint>

// Writes to standard output (through stdio's buffer).
void out_printf(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void out_puts(const char* line);  // the line and a newline
void out_write(const char* bytes, size_t n);
// Flushes standard output, after any standard error bytes still pending.
void out_flush();

// Writes to standard error, in order with everything else.
void err_printf(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void err_write(const char* bytes, size_t n);
void err_flush();

// Hand formatters for the hot paths, each printing exactly what its printf
// conversion prints. Each writes at p and returns the end of its text.
// "%lu" of a 64-bit number: at most 20 characters.
char* put_decimal(char* p, uint64_t value);
// "%u.%u.%u.%u" of four bytes, the first one first: at most 15 characters.
char* put_dotted_quad(char* p, uint8_t a, uint8_t b, uint8_t c, uint8_t d);

// The platform's perror report "label: description of errno" on standard
// error, then exit status 1.
[[noreturn]] void fail_perror(const char* label);
// Ends the process with status 1 after the messages already written.
[[noreturn]] void fail_exit();
// Ends the process with status 0.
[[noreturn]] void finish();
