// mkflow end to end: the customer files it draws for given supernets, its
// refusals, and its exit status when its output cannot be written. The
// programs' tests trust the files mkflow makes, so its own faults would
// hide behind theirs.

#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdio>
#include <string>
#include <vector>

#include "tests/e2e.h"

namespace {

struct CustBlock {
  uint64_t first, last;  // 64-bit: a block may end at 255.255.255.255
  unsigned prefix;
};

// Parses mkflow custs' output, "a.b.c.d/p custNNNNN" per line, failing the
// test on any other line or a name out of turn.
std::vector<CustBlock> parse_custs(const std::string& out) {
  std::vector<CustBlock> blocks;
  size_t at = 0;
  while (at < out.size()) {
    size_t end = out.find('\n', at);
    EXPECT_NE(end, std::string::npos) << "unterminated last line";
    if (end == std::string::npos) break;
    std::string line = out.substr(at, end - at);
    unsigned a, b, c, d, p;
    char name[32], tail;
    EXPECT_EQ(sscanf(line.c_str(), "%u.%u.%u.%u/%u %31s%c", &a, &b, &c, &d, &p, name, &tail), 6) << line;
    char want[32];
    snprintf(want, sizeof want, "cust%05zu", blocks.size());
    EXPECT_STREQ(name, want) << line;
    uint64_t first = uint64_t(a) << 24 | b << 16 | c << 8 | d;
    uint64_t size = uint64_t(1) << (32 - p);
    EXPECT_EQ(first % size, 0u) << "not aligned to its length: " << line;
    blocks.push_back({first, first + size - 1, p});
    at = end + 1;
  }
  return blocks;
}

struct Supernet {
  uint64_t first, last;
};

struct CustsCase {
  const char* name;
  const char* nets;
  std::vector<std::string> options;  // after --nets our.nets
  std::vector<Supernet> supernets;   // the addresses of nets
  uint64_t count;
  bool disjoint;
  unsigned min_prefix, max_prefix;  // the lengths every block must keep to
};

// Supernets 192.0.2.0/24, 198.51.100.0/26, 203.0.113.77/32: 321 addresses.
const char* const EXAMPLE_NETS = "192.0.2.0/24\n198.51.100.0/26\n203.0.113.77/32\n";
const std::vector<Supernet> EXAMPLE_SUPERNETS = {
    {0xC0000200, 0xC00002FF}, {0xC6336400, 0xC633643F}, {0xCB00714D, 0xCB00714D}};

const CustsCase CUSTS_CASES[] = {
    // Blocks of /22 used to spill out of the /24 and overlap one another.
    {"few_blocks_by_default", EXAMPLE_NETS, {"--count", "40", "--seed", "1"}, EXAMPLE_SUPERNETS, 40,
     true, 22, 32},
    {"disjoint_said_explicitly", EXAMPLE_NETS, {"--count", "200", "--seed", "7", "--disjoint"},
     EXAMPLE_SUPERNETS, 200, true, 22, 32},
    // As many blocks as addresses: every one a single address, none twice.
    {"every_address_a_block", EXAMPLE_NETS, {"--count", "321", "--seed", "3"}, EXAMPLE_SUPERNETS, 321,
     true, 32, 32},
    {"overlapping_still_inside_the_supernets", EXAMPLE_NETS,
     {"--count", "500", "--seed", "1", "--overlapping"}, EXAMPLE_SUPERNETS, 500, false, 22, 32},
    {"narrow_prefix_range", EXAMPLE_NETS,
     {"--count", "30", "--seed", "5", "--min-prefix", "28", "--max-prefix", "30"}, EXAMPLE_SUPERNETS,
     30, true, 28, 32},
    // A supernet listed twice, once in part, holds its addresses once; the
    // last address of the space catches a 32-bit loop.
    {"supernets_overlap_at_the_top", "255.255.255.252/30\n255.255.255.254/31\n",
     {"--count", "4", "--seed", "9", "--min-prefix", "0"}, {{0xFFFFFFFC, 0xFFFFFFFF}}, 4, true, 32, 32},
    {"one_big_supernet", "10.64.0.0/13\n", {"--count", "2000", "--seed", "11"},
     {{0x0A400000, 0x0A47FFFF}}, 2000, true, 22, 32},
};

TEST(MkflowCusts, BlocksStayInsideTheSupernetsAndApart) {
  for (const CustsCase& c : CUSTS_CASES) {
    TempDir dir;
    dir.write("our.nets", c.nets);
    std::vector<std::string> argv = {"mkflow", "custs", "--nets", "our.nets"};
    argv.insert(argv.end(), c.options.begin(), c.options.end());
    RunResult r = run_program(MKFLOW_BIN, argv, dir.path());
    EXPECT_EQ(r.err, "") << c.name;
    EXPECT_EQ(r.status, 0) << c.name;

    std::vector<CustBlock> blocks = parse_custs(r.out);
    EXPECT_EQ(blocks.size(), c.count) << c.name;
    for (const CustBlock& b : blocks) {
      bool inside = false;
      for (const Supernet& s : c.supernets) inside |= b.first >= s.first && b.last <= s.last;
      EXPECT_TRUE(inside) << c.name << ": block " << b.first << "/" << b.prefix << " is outside";
      EXPECT_GE(b.prefix, c.min_prefix) << c.name;
      EXPECT_LE(b.prefix, c.max_prefix) << c.name;
    }
    if (c.disjoint) {
      for (size_t i = 0; i < blocks.size(); i++)
        for (size_t j = i + 1; j < blocks.size(); j++)
          EXPECT_TRUE(blocks[i].last < blocks[j].first || blocks[j].last < blocks[i].first)
              << c.name << ": cust" << i << " and cust" << j << " overlap";
    }

    // The same seed draws the same file.
    EXPECT_EQ(run_program(MKFLOW_BIN, argv, dir.path()).out, r.out) << c.name;
  }
}

// The customer file drawn for the example's supernets, read by nettally
// with the example's flows: standard error is what it is with an empty
// custs, so not one conflict and no block outside our.nets.
TEST(MkflowCusts, NettallyTakesTheDrawnBlocksWithoutComplaint) {
  TempDir dir;
  dir.write("our.nets", EXAMPLE_NETS);
  dir.mkdir("flows");
  for (const char* stem : {"0900", "0905"})
    dir.write_flow(std::string("flows/flow.") + stem,
                   read_file(std::string(EXAMPLES_DIR) + "/flows/" + stem + ".txt"));
  dir.write("custs", "");
  RunResult plain = run_program(NETTALLY_BIN, {"nettally", "flows"}, dir.path());
  ASSERT_EQ(plain.status, 0);

  for (const char* mode : {"--disjoint", "--overlapping"}) {
    RunResult custs = run_program(
        MKFLOW_BIN, {"mkflow", "custs", "--nets", "our.nets", "--count", "150", "--seed", "1", mode},
        dir.path());
    ASSERT_EQ(custs.status, 0) << mode;
    dir.write("custs", custs.out);
    RunResult r = run_program(NETTALLY_BIN, {"nettally", "flows"}, dir.path());
    EXPECT_EQ(r.status, 0) << mode;
    if (std::string(mode) == "--disjoint") {
      EXPECT_EQ(r.err, plain.err) << mode;
    }
    // Overlapping blocks conflict, but none lies outside our.nets.
    EXPECT_EQ(r.err.find("outside our.nets"), std::string::npos) << mode << "\n" << r.err;
  }
}

TEST(MkflowCusts, RefusesWhatCannotBeDrawn) {
  struct Refusal {
    const char* name;
    const char* nets;
    std::vector<std::string> options;
    std::string err;
  };
  const Refusal refusals[] = {
      {"one_block_too_many", EXAMPLE_NETS, {"--count", "322"},
       "mkflow: 322 disjoint blocks do not fit in the 321 addresses of the supernets in our.nets "
       "(use a smaller --count, or --overlapping)\n"},
      {"a_supernet_counted_once", "10.0.0.0/30\n10.0.0.0/31\n", {"--count", "5", "--disjoint"},
       "mkflow: 5 disjoint blocks do not fit in the 4 addresses of the supernets in our.nets "
       "(use a smaller --count, or --overlapping)\n"},
      {"both_modes", EXAMPLE_NETS, {"--count", "3", "--disjoint", "--overlapping"},
       "mkflow: --disjoint and --overlapping exclude each other\n"},
  };
  for (const Refusal& c : refusals) {
    TempDir dir;
    dir.write("our.nets", c.nets);
    std::vector<std::string> argv = {"mkflow", "custs", "--nets", "our.nets"};
    argv.insert(argv.end(), c.options.begin(), c.options.end());
    RunResult r = run_program(MKFLOW_BIN, argv, dir.path());
    EXPECT_EQ(r.out, "") << c.name;  // not a single block before the message
    EXPECT_EQ(r.err, c.err) << c.name;
    EXPECT_EQ(r.status, 1) << c.name;
  }
  // Overlapping blocks may outnumber the addresses.
  TempDir dir;
  dir.write("our.nets", EXAMPLE_NETS);
  RunResult r = run_program(
      MKFLOW_BIN, {"mkflow", "custs", "--nets", "our.nets", "--count", "322", "--overlapping"}, dir.path());
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(parse_custs(r.out).size(), 322u);
}

const char* const DESCRIPTION =
    "header 1795942800 1795943100 0 1 0\n"
    "tcp 198.18.7.20:51000 192.0.2.10:443 12 70 900 60000 1200 1500000\n";

// Output that cannot be written in full ends mkflow with status 1 and the
// reason, as it ends the programs: a file made short would fail tests far
// from the cause.
TEST(MkflowOutput, FailedWritesEndWithStatus1) {
  struct Failure {
    FailingOutput how;
    const char* reason;
  };
  const Failure failures[] = {
      {FailingOutput::FULL_DEVICE, "No space left on device"},
      {FailingOutput::CLOSED, "Bad file descriptor"},
      {FailingOutput::READER_GONE, "Broken pipe"},
  };
  struct Command {
    const char* name;
    std::vector<std::string> argv;
  };
  const Command commands[] = {
      // a few lines: the failure shows only at the final flush
      {"custs_short", {"mkflow", "custs", "--nets", "our.nets", "--count", "3"}},
      // some 600 KB: the failure shows in a write
      {"custs_long", {"mkflow", "custs", "--nets", "big.nets", "--count", "30000", "--overlapping"}},
      {"text_to_standard_output", {"mkflow", "text", "flows.txt", "-"}},
  };
  for (const Failure& f : failures) {
    for (const Command& c : commands) {
      TempDir dir;
      dir.write("our.nets", EXAMPLE_NETS);
      dir.write("big.nets", "10.0.0.0/8\n");
      dir.write("flows.txt", DESCRIPTION);
      RunResult r = run_with_failing_output(MKFLOW_BIN, c.argv, dir.path(), f.how);
      EXPECT_EQ(r.err, std::string("mkflow: writing standard output: ") + f.reason + "\n")
          << c.name << ", " << f.reason;
      EXPECT_EQ(r.status, 1) << c.name << ", " << f.reason;
    }
  }

  TempDir dir;
  dir.write("flows.txt", DESCRIPTION);
  RunResult r = run_program(MKFLOW_BIN, {"mkflow", "text", "flows.txt", "/dev/full"}, dir.path());
  EXPECT_EQ(r.err, "mkflow: writing /dev/full: No space left on device\n");
  EXPECT_EQ(r.status, 1);
}

// A record needs a header line before it; raw lines may stand anywhere,
// so that damaged files can still be made.
TEST(MkflowText, RecordsNeedAHeaderFirst) {
  struct TextCase {
    const char* name;
    std::string text;
    std::string err;
    int status;
    uint64_t size;  // of the file made, when status is 0
  };
  const std::string record = "udp 192.0.2.1:53 198.18.5.5:5353 5 60 10 9000 10 6000\n";
  const TextCase cases[] = {
      {"record_without_header", "# no header\n\n" + record,
       "mkflow: flows.txt: line 3: a record before any header line (only raw lines may come before it)\n",
       1, 0},
      {"record_before_header", record + "header 1 2 0 0 0\n",
       "mkflow: flows.txt: line 1: a record before any header line (only raw lines may come before it)\n",
       1, 0},
      {"raw_header_bytes_are_no_header_line", "raw 4b 56 52 5a\n" + record,
       "mkflow: flows.txt: line 2: a record before any header line (only raw lines may come before it)\n",
       1, 0},
      {"header_then_records", "header 1 2 0 0 0\n" + record + record, "", 0, 272 + 2 * 57},
      {"raw_then_header", "raw 00 01\nheader 1 2 0 0 0\n" + record, "", 0, 2 + 272 + 57},
      {"empty_description", "", "", 0, 0},
      {"short_header_from_raw_bytes", "raw 4b 56 52 5a 00\n", "", 0, 5},
  };
  for (const TextCase& c : cases) {
    TempDir dir;
    dir.write("flows.txt", c.text);
    RunResult r = run_program(MKFLOW_BIN, {"mkflow", "text", "flows.txt", "flow.out"}, dir.path());
    EXPECT_EQ(r.out, "") << c.name;
    EXPECT_EQ(r.err, c.err) << c.name;
    EXPECT_EQ(r.status, c.status) << c.name;
    if (c.status == 0) {
      EXPECT_EQ(read_file(dir.at("flow.out")).size(), c.size) << c.name;
    }
  }

  // The message names standard input when the description comes from it.
  TempDir dir;
  dir.write("flows.txt", record);
  RunResult r = run_program(MKFLOW_BIN, {"mkflow", "text", "-", "flow.out"}, dir.path(), "UTC",
                            dir.at("flows.txt"));
  EXPECT_EQ(r.err,
            "mkflow: standard input: line 1: a record before any header line (only raw lines may come "
            "before it)\n");
  EXPECT_EQ(r.status, 1);
}

}  // namespace
