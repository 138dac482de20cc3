#include "dump/print_record.h"

#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "flowformat/number_text.h"
#include "flowformat/write_all.h"

static_assert(sizeof(unsigned long) == sizeof(uint64_t), "%lu prints uint64_t");

double record_rate(uint64_t bytes, uint16_t duration) {
  if (duration < 3) return 0;
  // The single-precision step is part of the output: 4294967295 bytes over
  // 3 seconds print 11166915.00, not 11166914.97.
  return double(float(double(bytes) * 0.0078 / double(duration)));
}

// The line is written by hand rather than by snprintf, which costs more
// than all the rest of recdump put together. Each piece below prints
// exactly what its conversion in the line's format prints:
// "ICMP(1) %s %s %u %u", "UDP(17) %s:%-u %s:%-u", "TCP(6) %s:%-u %s:%-u",
// "OTHER(%u) %s %s", then " %lu %lu %.2f %lu %lu %.2f %s %u\n", the address
// texts being "%u.%u.%u.%u" of the four bytes in file order.

static char* put_text(char* p, const char* text) {
  size_t n = strlen(text);
  memcpy(p, text, n);
  return p + n;
}

// An address as "%u.%u.%u.%u" of its four bytes in file order. The caller
// leaves room for 16 bytes.
static inline char* put_address(char* p, const uint8_t (&b)[4]) {
  return put_dotted_quad(p, b[0], b[1], b[2], b[3]);
}

// "%.2f" of a rate. A rate is a single-precision value, whose significand
// has 24 bits: times 100 (7 bits) it is exact in double precision, so
// rounding that product to an integer in the current rounding mode is the
// rounding of the exact decimal value to two places that "%.2f" makes.
// Anything else goes to snprintf.
static char* put_rate(char* p, double rate) {
  if (!(rate >= 0 && rate < 1e9 && !std::signbit(rate) && double(float(rate)) == rate))
    return p + snprintf(p, 48, "%.2f", rate);
  uint64_t cents = uint64_t(std::nearbyint(rate * 100));
  p = put_decimal(p, cents / 100);
  *p++ = '.';
  *p++ = char('0' + cents % 100 / 10);
  *p++ = char('0' + cents % 10);
  return p;
}

// "%T" of the local time of second t, as strftime writes it; 00:00:00 if
// localtime fails.
static void local_time_of_day(uint32_t t, char (&text)[8]) {
  char when[9] = "00:00:00";
  time_t start = time_t(t);
  const struct tm* tm = localtime(&start);
  if (tm) strftime(when, sizeof when, "%T", tm);
  memcpy(text, when, sizeof text);
}

size_t format_record_cached(char* line, const FlowRecord& r, uint32_t start_time,
                            TimeTextCache* cache) {
  char* p = line;
  switch (r.protocol) {
    case PROTO_ICMP:
      p = put_text(p, "ICMP(1) ");
      p = put_address(p, r.src_bytes);
      *p++ = ' ';
      p = put_address(p, r.dst_bytes);
      *p++ = ' ';
      p = put_decimal(p, r.icmp_type);
      *p++ = ' ';
      p = put_decimal(p, r.icmp_code);
      break;
    case PROTO_UDP:
    case PROTO_TCP:
      p = put_text(p, r.protocol == PROTO_UDP ? "UDP(17) " : "TCP(6) ");
      p = put_address(p, r.src_bytes);
      *p++ = ':';
      p = put_decimal(p, r.src_port);
      *p++ = ' ';
      p = put_address(p, r.dst_bytes);
      *p++ = ':';
      p = put_decimal(p, r.dst_port);
      break;
    default:
      p = put_text(p, "OTHER(");
      p = put_decimal(p, r.protocol);
      p = put_text(p, ") ");
      p = put_address(p, r.src_bytes);
      *p++ = ' ';
      p = put_address(p, r.dst_bytes);
      break;
  }

  // Both sums wrap on purpose: the duration in 16 bits, the start in 32.
  uint16_t duration = uint16_t(r.end_offset - r.start_offset);
  uint32_t start = uint32_t(start_time + r.start_offset);

  *p++ = ' ';
  p = put_decimal(p, r.fwd_packets);
  *p++ = ' ';
  p = put_decimal(p, r.fwd_bytes);
  *p++ = ' ';
  p = put_rate(p, record_rate(r.fwd_bytes, duration));
  *p++ = ' ';
  p = put_decimal(p, r.rev_packets);
  *p++ = ' ';
  p = put_decimal(p, r.rev_bytes);
  *p++ = ' ';
  p = put_rate(p, record_rate(r.rev_bytes, duration));
  *p++ = ' ';
  if (cache) {
    size_t slot = start % TIME_TEXT_SLOTS;
    if (cache->second[slot] != uint64_t{start} + 1) {
      local_time_of_day(start, cache->text[slot]);
      cache->second[slot] = uint64_t{start} + 1;
    }
    memcpy(p, cache->text[slot], 8);
  } else {
    char text[8];
    local_time_of_day(start, text);
    memcpy(p, text, 8);
  }
  p += 8;
  *p++ = ' ';
  p = put_decimal(p, duration);
  *p++ = '\n';
  return size_t(p - line);
}

size_t format_record(char* line, const FlowRecord& r, uint32_t start_time) {
  return format_record_cached(line, r, start_time, nullptr);
}

// Every byte of recdump's standard output is gathered here and written a
// buffer at a time.
static constexpr size_t OUT_BUFFER_SIZE = 64 * 1024;
static char out_buffer[OUT_BUFFER_SIZE];
static size_t out_used;

// A dump cut short by a full disk, a closed descriptor or a reader that
// went away must not end as if it were complete.
[[noreturn]] static void output_failed() {
  perror("Writing standard output");
  exit(1);
}

void print_flush() {
  if (!write_all(STDOUT_FILENO, out_buffer, out_used)) output_failed();
  out_used = 0;
}

void print_finish() {
  print_flush();
  if (close(STDOUT_FILENO) != 0) output_failed();
  exit(0);
}

void print_text(const char* text, size_t n) {
  if (OUT_BUFFER_SIZE - out_used < n) print_flush();
  memcpy(out_buffer + out_used, text, n);
  out_used += n;
}

void print_record(const FlowRecord& r, uint32_t start_time) {
  // One run shows one file in one time zone: a cache for the whole run.
  static TimeTextCache time_cache;
  if (OUT_BUFFER_SIZE - out_used < RECORD_LINE_MAX) print_flush();
  out_used += format_record_cached(out_buffer + out_used, r, start_time, &time_cache);
}
