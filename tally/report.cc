#include "tally/report.h"

#include "tally/address.h"
#include "tally/host_table.h"
#include "tally/networks.h"
#include "tally/output.h"

static constexpr uint64_t REPORT_THRESHOLD = 4096;

void print_report() {
  for (uint32_t i = 0; i < HOST_TABLE_SIZE; i++) {
    const HostEntry& e = host_table[i];
    // Empty slots and idle duplicates have zero counters and fail here.
    if (e.bytes_in <= REPORT_THRESHOLD || e.bytes_out <= REPORT_THRESHOLD) continue;
    out_printf("%s %lu %lu %lu %lu %lu %lu %lu %lu %s\n", dotted_quad(uint32_t(e.address)),
               e.bytes_in, e.bytes_out, e.packets_in, e.packets_out, e.first_seen, e.last_seen,
               e.internal_bytes_in, e.internal_bytes_out, e.owner->name);
    out_flush();
  }
}
