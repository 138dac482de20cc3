// Fuzz target: recdump's decoding and printing. The input is one flow file:
// its first 272 bytes (zero-filled when shorter, as recdump shows them) are
// the header, then every whole 57-byte record is decoded and formatted, by
// format_record and by format_record_cached with one cache for the whole
// process. Each line must fit RECORD_LINE_MAX, end in its one newline, and
// equal what the literal printf formats below make of the decoded fields:
// the oracle that keeps the hand-made formatter honest.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <span>

#include "dump/print_record.h"
#include "flowformat/flow_format.h"

static TimeTextCache time_cache;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // A zone with daylight saving time, so that local times are not trivial.
  setenv("TZ", "America/New_York", 1);
  tzset();
  return 0;
}

static size_t reference_line(char* line, size_t cap, const FlowRecord& r, uint32_t start_time) {
  char src[16], dst[16];
  snprintf(src, sizeof src, "%u.%u.%u.%u", r.src_bytes[0], r.src_bytes[1], r.src_bytes[2],
           r.src_bytes[3]);
  snprintf(dst, sizeof dst, "%u.%u.%u.%u", r.dst_bytes[0], r.dst_bytes[1], r.dst_bytes[2],
           r.dst_bytes[3]);
  int n;
  if (r.protocol == PROTO_ICMP)
    n = snprintf(line, cap, "ICMP(1) %s %s %u %u", src, dst, r.icmp_type, r.icmp_code);
  else if (r.protocol == PROTO_UDP)
    n = snprintf(line, cap, "UDP(17) %s:%-u %s:%-u", src, r.src_port, dst, r.dst_port);
  else if (r.protocol == PROTO_TCP)
    n = snprintf(line, cap, "TCP(6) %s:%-u %s:%-u", src, r.src_port, dst, r.dst_port);
  else
    n = snprintf(line, cap, "OTHER(%u) %s %s", r.protocol, src, dst);
  uint16_t duration = uint16_t(r.end_offset - r.start_offset);
  time_t start = time_t(uint32_t(start_time + r.start_offset));
  char when[9] = "00:00:00";
  if (const struct tm* tm = localtime(&start)) strftime(when, sizeof when, "%T", tm);
  n += snprintf(line + n, cap - size_t(n), " %lu %lu %.2f %lu %lu %.2f %s %u\n", r.fwd_packets,
                r.fwd_bytes, record_rate(r.fwd_bytes, duration), r.rev_packets, r.rev_bytes,
                record_rate(r.rev_bytes, duration), when, duration);
  return size_t(n);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  uint8_t header[FLOW_HEADER_SIZE] = {};
  if (size > 0) memcpy(header, data, size < FLOW_HEADER_SIZE ? size : FLOW_HEADER_SIZE);
  FlowFileHeader h = decode_header(header);
  char summary[128];
  snprintf(summary, sizeof summary, "Start:%lu Stop:%lu\nFlows:%lu Pkts:%lu Bytes:%lu\n",
           uint64_t{h.start_time}, uint64_t{h.stop_time}, uint64_t{h.flow_count},
           uint64_t{h.packet_count}, h.total_bytes);
  if (size <= FLOW_HEADER_SIZE) return 0;

  const uint8_t* p = data + FLOW_HEADER_SIZE;
  size_t count = (size - FLOW_HEADER_SIZE) / FLOW_RECORD_SIZE;
  for (size_t i = 0; i < count; i++, p += FLOW_RECORD_SIZE) {
    FlowRecord r = decode_record(std::span<const uint8_t, FLOW_RECORD_SIZE>(p, FLOW_RECORD_SIZE));
    // Poisoned margins behind the line: a write past RECORD_LINE_MAX is seen.
    char* line = static_cast<char*>(malloc(RECORD_LINE_MAX));
    size_t n = format_record(line, r, h.start_time);
    if (n == 0 || n >= RECORD_LINE_MAX || line[n - 1] != '\n' ||
        memchr(line, '\n', n - 1) != nullptr)
      abort();
    char expected[2 * RECORD_LINE_MAX];
    size_t m = reference_line(expected, sizeof expected, r, h.start_time);
    if (m != n || memcmp(line, expected, n) != 0) {
      fprintf(stderr, "format_record: %.*s\nexpected:      %.*s", int(n), line, int(m), expected);
      abort();
    }
    // recdump's own path: the cache of times of day, kept across inputs as
    // recdump keeps it across a file, must not change a byte.
    n = format_record_cached(line, r, h.start_time, &time_cache);
    if (n != m || memcmp(line, expected, n) != 0) {
      fprintf(stderr, "format_record_cached: %.*s\nexpected:             %.*s", int(n), line,
              int(m), expected);
      abort();
    }
    free(line);
  }
  return 0;
}
