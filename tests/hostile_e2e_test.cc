// Findings of the fuzz targets and of valgrind, end to end: each case runs
// the real binary on the input that showed the fault.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tests/e2e.h"

namespace {

const char* const VALGRIND = "/usr/bin/valgrind";

const char* const NETS = "192.0.2.0/29\n";
const char* const ECHO = "192.0.2.0 Mask:29\n";
const char* const TRAFFIC =
    "header 1100000000 0 0 1 0\n"
    "tcp 192.0.2.3:1 198.51.100.1:2 0 10 5 5000 6 6000\n";

struct RecordCase {
  const char* name;
  std::string custs;
  std::string err;  // after the supernet echo
  std::string owner;
};

void PrintTo(const RecordCase& c, std::ostream* os) { *os << c.name; }

// A customer record that no slot points at was kept to the end with no
// reference to it, which valgrind reports as definitely lost: a customer
// whose block an earlier one already holds, and one wholly outside
// our.nets. DEFAULT stays in the table's owner list even once the
// customers have taken every slot, so it is never lost.
const RecordCase RECORD_CASES[] = {
    {"customer_whose_block_is_held_already", "192.0.2.0/29 acme\n192.0.2.3 late\n",
     "Used\nIP:192.0.2.3\nacme\nlate\nNetwork:c0000203\nNetmaks:32\n", "acme"},
    {"customer_outside_our_nets", "198.51.100.0/30 away\n",
     "custs: entry 1, 198.51.100.0/30 away: 4 addresses lie outside our.nets and are not "
     "claimed\n",
     "DEFAULT"},
    {"customers_take_every_slot", "192.0.2.0/30 low\n192.0.2.4/30 high\n", "", "low"},
};

class RecordCases : public ::testing::TestWithParam<RecordCase> {};

TEST_P(RecordCases, NoRecordIsLeftUnreferenced) {
  if (BUILT_WITH_ASAN) GTEST_SKIP() << "valgrind cannot run a binary built with AddressSanitizer";
  if (access(VALGRIND, X_OK) != 0) {
    // CI installs valgrind: there a missing one must not pass as a skip.
    const char* ci = getenv("CI");
    if (ci && strcmp(ci, "true") == 0) FAIL() << "no " << VALGRIND << ", and CI=true needs it";
    GTEST_SKIP() << "no " << VALGRIND;
  }
  const RecordCase& c = GetParam();
  TempDir dir;
  dir.write("our.nets", NETS);
  dir.write("custs", c.custs);
  dir.write_flow("flow.x", TRAFFIC);
  // -q: valgrind itself prints only what it finds; 99 marks a definite leak.
  RunResult r = run_program(VALGRIND,
                            {"valgrind", "-q", "--leak-check=full",
                             "--errors-for-leak-kinds=definite", "--error-exitcode=99",
                             NETTALLY_BIN, "flow.x"},
                            dir.path());
  EXPECT_EQ(r.out, "File\n192.0.2.3 6000 5000 6 5 1100000000 1100000010 0 0 " + c.owner + "\n");
  EXPECT_EQ(r.err, ECHO + c.err);
  EXPECT_EQ(r.status, 0);
}

INSTANTIATE_TEST_SUITE_P(Valgrind, RecordCases, ::testing::ValuesIn(RECORD_CASES),
                         [](const auto& test) { return std::string(test.param.name); });

}  // namespace
