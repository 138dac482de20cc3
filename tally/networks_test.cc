// The parsing of customer network texts. Reading the files themselves
// (next_customer keeps one-shot state) is tested through the real binary.
#include "tally/networks.h"

#include <gtest/gtest.h>

namespace {

constexpr uint32_t ip(uint32_t a, uint32_t b, uint32_t c, uint32_t d) {
  return a << 24 | b << 16 | c << 8 | d;
}

TEST(ParseCustomerNetwork, AcceptedAndRejectedTexts) {
  struct {
    const char* text;
    bool accepted;
    uint32_t network;
    uint32_t prefix_length;
  } cases[] = {
      {"10.20.1.0/24", true, ip(10, 20, 1, 0), 24},
      {"10.20.1.9/24", true, ip(10, 20, 1, 9), 24},  // not masked here
      {"10.20.4.17", true, ip(10, 20, 4, 17), 32},
      {"10.20.4.17/", true, ip(10, 20, 4, 17), 32},
      {"10.20.4.17x", true, ip(10, 20, 4, 17), 32},
      {"10.20.4.17/x", true, ip(10, 20, 4, 17), 32},
      {"10.20.4.17/30junk", true, ip(10, 20, 4, 17), 30},
      {"10.20.4.17/0", true, ip(10, 20, 4, 17), 0},
      {"10.20.4.17/32", true, ip(10, 20, 4, 17), 32},
      {"10.0.0.256/32", true, ip(10, 0, 1, 0), 32},  // no range check: 256 carries
      {"300.0.0.0", true, ip(44, 0, 0, 0), 32},      // modulo 2^32
      {"010.0.0.1", true, ip(10, 0, 0, 1), 32},      // decimal, leading zero
      {"4294967295.0.0.0", true, 0xFF000000u, 32},
      {"10.20.4/24", false, 0, 0},
      {"10.20.4.", false, 0, 0},
      {"delta", false, 0, 0},
      {"", false, 0, 0},
      {"10..4.17", false, 0, 0},
      {"10.20.x.17", false, 0, 0},
      {"10.20.4.17/33", false, 0, 0},
      {"10.20.4.17/4294967296", false, 0, 0},
      {"4294967296.0.0.1", false, 0, 0},  // would wrap to 1 as a 32-bit number
      {"-10.0.0.1", false, 0, 0},         // a sign would wrap the number
      {"+10.0.0.1", false, 0, 0},
      {"10.20.4.17/-8", false, 0, 0},
      {"/24", false, 0, 0},
  };
  for (const auto& c : cases) {
    uint32_t network = 0xDEADBEEF, prefix = 99;
    bool ok = parse_customer_network(c.text, &network, &prefix);
    EXPECT_EQ(ok, c.accepted) << c.text;
    if (ok && c.accepted) {
      EXPECT_EQ(network, c.network) << c.text;
      EXPECT_EQ(prefix, c.prefix_length) << c.text;
    }
  }
}

TEST(ScanNetwork, CountsMatchesLikeFormattedInput) {
  struct {
    const char* text;
    int count;
    size_t end;  // characters matched
    bool out_of_range;
  } cases[] = {
      {"192.0.2.0/24", 5, 12, false}, {"192.0.2.0", 4, 9, false}, {"192.0.2.0/", 4, 9, false},
      {"192.0.2", 3, 7, false},       {"#", 0, 0, false},         {"1.2.3.4/24x", 5, 10, false},
      {"1.2.3.-4/5", 5, 10, true},
  };
  for (const auto& c : cases) {
    NetworkScan s = scan_network(c.text);
    EXPECT_EQ(s.count, c.count) << c.text;
    EXPECT_EQ(size_t(s.end - c.text), c.end) << c.text;
    EXPECT_EQ(s.out_of_range, c.out_of_range) << c.text;
  }
}

}  // namespace
