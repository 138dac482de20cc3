#include "dump/print_record.h"

#include <cstdio>
#include <ctime>

static_assert(sizeof(unsigned long) == sizeof(uint64_t), "%lu prints uint64_t");

double record_rate(uint64_t bytes, uint16_t duration) {
  if (duration < 3) return 0;
  // The single-precision step is part of the output: 4294967295 bytes over
  // 3 seconds print 11166915.00, not 11166914.97.
  return double(float(double(bytes) * 0.0078 / double(duration)));
}

size_t format_record(char* line, const FlowRecord& r, uint32_t start_time) {
  char src[16], dst[16];
  snprintf(src, sizeof src, "%u.%u.%u.%u", r.src_bytes[0], r.src_bytes[1], r.src_bytes[2],
           r.src_bytes[3]);
  snprintf(dst, sizeof dst, "%u.%u.%u.%u", r.dst_bytes[0], r.dst_bytes[1], r.dst_bytes[2],
           r.dst_bytes[3]);

  int n;
  switch (r.protocol) {
    case PROTO_ICMP:
      n = snprintf(line, RECORD_LINE_MAX, "ICMP(1) %s %s %u %u", src, dst, r.icmp_type,
                   r.icmp_code);
      break;
    case PROTO_UDP:
      n = snprintf(line, RECORD_LINE_MAX, "UDP(17) %s:%-u %s:%-u", src, r.src_port, dst,
                   r.dst_port);
      break;
    case PROTO_TCP:
      n = snprintf(line, RECORD_LINE_MAX, "TCP(6) %s:%-u %s:%-u", src, r.src_port, dst,
                   r.dst_port);
      break;
    default:
      n = snprintf(line, RECORD_LINE_MAX, "OTHER(%u) %s %s", r.protocol, src, dst);
      break;
  }

  // Both sums wrap on purpose: the duration in 16 bits, the start in 32.
  uint16_t duration = uint16_t(r.end_offset - r.start_offset);
  time_t start = time_t(uint32_t(start_time + r.start_offset));
  char when[9] = "00:00:00";
  const struct tm* tm = localtime(&start);
  if (tm) strftime(when, sizeof when, "%T", tm);

  n += snprintf(line + n, RECORD_LINE_MAX - size_t(n), " %lu %lu %.2f %lu %lu %.2f %s %u\n",
                r.fwd_packets, r.fwd_bytes, record_rate(r.fwd_bytes, duration), r.rev_packets,
                r.rev_bytes, record_rate(r.rev_bytes, duration), when, duration);
  return size_t(n);
}

void print_record(const FlowRecord& r, uint32_t start_time) {
  char line[RECORD_LINE_MAX];
  size_t n = format_record(line, r, start_time);
  fwrite(line, 1, n, stdout);
}
