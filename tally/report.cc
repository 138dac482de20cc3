#include "tally/report.h"

#include <cstring>

#include "nets/host_table.h"
#include "nets/networks.h"
#include "nets/output.h"

static constexpr uint64_t REPORT_THRESHOLD = 4096;

// A report line is at most 15 + 8 * 21 + 1 + 200 + 1 characters.
static constexpr size_t REPORT_LINE_MAX = 15 + 8 * 21 + 1 + CUSTOMER_NAME_MAX + 1;
// Lines are gathered and written a buffer at a time rather than flushed one
// by one: nothing is written to standard error while the report runs, so
// the two streams keep their merged order, and the bytes are the same.
static constexpr size_t REPORT_BUFFER_SIZE = 128 * 1024;

// Writes the line "%s %lu %lu %lu %lu %lu %lu %lu %lu %s\n" of an entry: the
// dotted quad of its address, its eight counters and its owner's name.
static char* put_report_line(char* p, uint32_t a, const HostEntry& e, const char* name) {
  p = put_dotted_quad(p, uint8_t(a >> 24), uint8_t(a >> 16), uint8_t(a >> 8), uint8_t(a));
  const uint64_t counters[8] = {e.bytes_in,    e.bytes_out, e.packets_in,        e.packets_out,
                                e.first_seen,  e.last_seen, e.internal_bytes_in, e.internal_bytes_out};
  for (uint64_t c : counters) {
    *p++ = ' ';
    p = put_decimal(p, c);
  }
  *p++ = ' ';
  size_t n = strlen(name);
  memcpy(p, name, n);
  p += n;
  *p++ = '\n';
  return p;
}

void print_report() {
  static char buffer[REPORT_BUFFER_SIZE];
  size_t used = 0;
  for (uint32_t i = 0; i < host_table.size; i++) {
    const HostEntry& e = host_table.entries[i];
    // Empty slots and idle duplicates have zero counters and fail here.
    if (e.bytes_in <= REPORT_THRESHOLD || e.bytes_out <= REPORT_THRESHOLD) continue;
    if (REPORT_BUFFER_SIZE - used < REPORT_LINE_MAX) {
      out_write(buffer, used);
      out_flush();
      used = 0;
    }
    used = size_t(put_report_line(buffer + used, host_table.addresses[i], e, host_owner(i)->name) -
                  buffer);
  }
  if (used > 0) {
    out_write(buffer, used);
    out_flush();
  }
}
