// The parsing of customer network texts, and the reading of supernet
// entries from a stream. Reading the customer file (next_customer keeps
// one-shot state) is tested through the real binary.
#include "nets/networks.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

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

// Reads every entry of text as our.nets, up to the first refused one.
struct SupernetReading {
  std::vector<std::vector<uint32_t>> entries;
  bool refused = false;
  std::string text;  // of the refused entry
  bool text_cut = false;
  int line = 0;
};
SupernetReading read_supernets(const std::string& text) {
  SupernetReading r;
  FILE* f = fmemopen(const_cast<char*>(text.data()), text.size(), "r");
  if (!f) ADD_FAILURE() << "fmemopen";
  int line = 1;
  SupernetEntry e;
  for (SupernetRead got; f && (got = read_supernet_entry(f, &line, &e)) != SUPERNET_END;) {
    if (got == SUPERNET_REFUSED) {
      r.refused = true;
      r.text.assign(e.text, e.text_length);
      r.text_cut = e.text_cut;
      r.line = e.line;
      break;
    }
    r.entries.push_back({e.number[0], e.number[1], e.number[2], e.number[3], e.number[4]});
  }
  if (f) fclose(f);
  return r;
}

// White space before any of the numbers is skipped, as "%u" skips it; every
// one of these is the single entry 10.1.2.3/16.
TEST(ReadSupernetEntry, WhiteSpaceBeforeANumberIsSkipped) {
  const std::vector<uint32_t> entry = {10, 1, 2, 3, 16};
  const char* const texts[] = {
      "10.1.2.3/16",
      "10.1.2.3/16\n",
      "\n\n  10.1.2.3/16 \t\r\n\n",
      "10.1.2.3/ 16\n",
      "10. 1. 2. 3/16\n",
      "10.1.2.3/\n16\n",           // broken across a line end after "/"
      "10.\t1.\r2.\v3/\f16",
      "10.\r\n1.\n\n2.3/\r\n 16\r\n",
  };
  for (const char* text : texts) {
    SupernetReading r = read_supernets(text);
    EXPECT_FALSE(r.refused) << text << " refused at " << r.text;
    ASSERT_EQ(r.entries.size(), 1u) << text;
    EXPECT_EQ(r.entries[0], entry) << text;
  }
}

TEST(ReadSupernetEntry, EntriesAreSeparatedByAnyWhiteSpace) {
  SupernetReading r = read_supernets("10.0.0.0/8 192.0.2.0/24\t198.51.100.77/32\r\n\n0.0.0.0/0");
  EXPECT_FALSE(r.refused);
  std::vector<std::vector<uint32_t>> want = {
      {10, 0, 0, 0, 8}, {192, 0, 2, 0, 24}, {198, 51, 100, 77, 32}, {0, 0, 0, 0, 0}};
  EXPECT_EQ(r.entries, want);
  EXPECT_TRUE(read_supernets("").entries.empty());
  EXPECT_FALSE(read_supernets(" \n\t\r\n").refused);
  // Numbers beyond 255 are taken as written (the address carries them).
  EXPECT_EQ(read_supernets("10.0.0.256/32").entries,
            (std::vector<std::vector<uint32_t>>{{10, 0, 0, 256, 32}}));
}

// A refused entry shows what was read of it, up to and with the character
// where it stopped matching, and the line of that character; the entries
// before it were read.
TEST(ReadSupernetEntry, RefusedEntriesShowWhereTheyStop) {
  struct {
    const char* text;
    size_t read_before;  // entries read before the refused one
    const char* shown;
    int line;
  } cases[] = {
      {"10.1.2.3 /16", 0, "10.1.2.3 ", 1},           // white space before "/"
      {"10 .1.2.3/16", 0, "10 ", 1},                 // and before "."
      {"10.1.2.3\n/16", 0, "10.1.2.3\n", 1},
      {"10.0.0.0/30\n10.1.2.3\r\n/16", 1, "10.1.2.3\r", 2},
      {"10.0.0.0/30\n# a comment\n", 1, "#", 2},
      {"10.0.0.0\n", 0, "10.0.0.0\n", 1},             // no prefix length
      {"10.0.0.0", 0, "10.0.0.0", 1},                 // ends before "/"
      {"10.0.0.0/", 0, "10.0.0.0/", 1},
      {"10.0.0.0/\n\nx", 0, "10.0.0.0/\n\nx", 3},
      {"10.0.0.0/33", 0, "10.0.0.0/33", 1},
      {"10.0.0.0/24x", 1, "x", 1},                   // the entry matched; x is the next
      {"-10.0.0.0/24", 0, "-10.0.0.0/24", 1},         // a sign would wrap
      {"10.0.0.+1/24", 0, "10.0.0.+1/24", 1},
      {"10.0.0.0/ -8", 0, "10.0.0.0/ -8", 1},
      {"10.0.0.4294967296/32", 0, "10.0.0.4294967296/32", 1},  // beyond 32 bits
      {"10.0.0.0/4294967328", 0, "10.0.0.0/4294967328", 1},
      {"10.0.0.-/24", 0, "10.0.0.-/", 1},
      {"10..0.0/8", 0, "10..", 1},
  };
  for (const auto& c : cases) {
    SupernetReading r = read_supernets(c.text);
    EXPECT_TRUE(r.refused) << c.text;
    EXPECT_EQ(r.entries.size(), c.read_before) << c.text;
    EXPECT_EQ(r.text, c.shown) << c.text;
    EXPECT_EQ(r.line, c.line) << c.text;
    EXPECT_FALSE(r.text_cut) << c.text;
  }
  // A NUL byte is no white space: it ends the entry before it and is refused.
  SupernetReading nul = read_supernets(std::string("10.0.0.0/30\0\n", 13));
  EXPECT_EQ(nul.entries.size(), 1u);
  EXPECT_EQ(nul.text, std::string(1, '\0'));
  // What is shown stops at SUPERNET_TEXT_MAX bytes.
  SupernetReading long_number = read_supernets(std::string(100000, '1'));
  EXPECT_TRUE(long_number.refused);
  EXPECT_EQ(long_number.text, std::string(SUPERNET_TEXT_MAX, '1'));
  EXPECT_TRUE(long_number.text_cut);
}

}  // namespace
