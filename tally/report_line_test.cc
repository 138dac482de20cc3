// The report's lines, written by hand, against snprintf with the literal
// format "%s %lu %lu %lu %lu %lu %lu %lu %lu %s\n" over a table of edge
// values and many random entries, through print_report itself.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "tally/capture_test_util.h"
#include "nets/host_table.h"
#include "nets/networks.h"
#include "nets/output.h"
#include "tally/report.h"
#include "nets/table_test_util.h"

namespace {

// print_report's standard output.
std::string report() { return captured_output(1, print_report); }

// What the literal format prints for the table, in slot order.
std::string oracle() {
  std::string text;
  for (uint32_t i = 0; i < host_table.size; i++) {
    const HostEntry& e = host_table.entries[i];
    if (e.bytes_in <= 4096 || e.bytes_out <= 4096) continue;
    char address[16], line[512];
    uint32_t a = host_table.addresses[i];
    snprintf(address, sizeof address, "%u.%u.%u.%u", a >> 24, a >> 16 & 0xFF, a >> 8 & 0xFF,
             a & 0xFF);
    snprintf(line, sizeof line, "%s %lu %lu %lu %lu %lu %lu %lu %lu %s\n", address,
             (unsigned long)e.bytes_in, (unsigned long)e.bytes_out, (unsigned long)e.packets_in,
             (unsigned long)e.packets_out, (unsigned long)e.first_seen,
             (unsigned long)e.last_seen, (unsigned long)e.internal_bytes_in,
             (unsigned long)e.internal_bytes_out, host_owner(i)->name);
    text += line;
  }
  return text;
}

const uint64_t EDGES[] = {0,
                          1,
                          9,
                          10,
                          4095,
                          4096,
                          4097,
                          99999,
                          100000,
                          4294967295,
                          4294967296,
                          999999999999999999,
                          1000000000000000000,
                          9999999999999999999u,
                          10000000000000000000u,
                          18446744073709551615u};

TEST(ReportLine, AsTheLiteralFormatPrintsIt) {
  static CustomerRecord owners[4] = {};
  strcpy(owners[0].name, "DEFAULT");
  strcpy(owners[1].name, "x");
  memset(owners[2].name, 'n', CUSTOMER_NAME_MAX);  // the longest name
  strcpy(owners[3].name, "cust00042");

  std::mt19937_64 rng(11);
  const uint32_t edge_addresses[] = {0x00000001, 0x01020304, 0x0A000001, 0x09090909,
                                     0x0A0A0A0A, 0x63636363, 0x64646464, 0xC0000200,
                                     0xFFFFFFFF, 0xFFFFFFFE, 0x00FF00FF, 0xFF00FF00};
  uint32_t next = 0x0B000000;
  auto counter = [&] {
    switch (rng() % 3) {
      case 0: return EDGES[rng() % std::size(EDGES)];
      case 1: return rng() >> (rng() % 64);
      default: return 4097 + rng() % 100000;
    }
  };
  // Edge addresses, then enough random entries for the lines to fill the
  // report's buffer many times over.
  std::vector<TestBlock> blocks;
  for (int i = 0; i < 40000; i++) {
    uint32_t a = i < int(std::size(edge_addresses)) ? edge_addresses[i] : next += uint32_t(1 + rng() % 50);
    blocks.push_back({a, a, &owners[rng() % 4]});
  }
  place_blocks(blocks);
  for (const TestBlock& b : blocks) {
    HostEntry& e = host_table.entries[host_lookup(uint32_t(b.first))];
    e.bytes_in = counter();
    e.bytes_out = counter();
    e.packets_in = counter();
    e.packets_out = counter();
    e.first_seen = counter();
    e.last_seen = counter();
    e.internal_bytes_in = counter();
    e.internal_bytes_out = counter();
  }
  std::string expected = oracle();
  EXPECT_GT(expected.size(), 1000000u);
  EXPECT_EQ(report(), expected);
}

TEST(ReportLine, EmptyTablePrintsNothing) {
  place_blocks({});
  EXPECT_EQ(report(), "");
}

}  // namespace
