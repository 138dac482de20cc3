// Hostile input, end to end: hand-edited definition files with odd bytes,
// damaged flow files and odd directory entries. Each case must end with
// its exact message and exit status, never a crash, a hang (the runner
// kills a program after a time limit) or a report after an error.

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/e2e.h"

namespace {

const char* const NETS = "10.0.0.0/30\n";
const char* const ECHO = "10.0.0.0 Mask:30\n";
const char* const TRAFFIC =
    "header 1100000000 0 0 1000 0\n"  // the header claims 1000 flows; two follow
    "tcp 10.0.0.1:1 198.51.100.1:2 0 10 5 5000 6 6000\n"
    "tcp 198.51.100.1:2 10.0.0.1:1 20 30 5 5000 6 6000\n";
const char* const REPORT = "10.0.0.1 11000 11000 11 11 1100000000 1100000030 0 0 DEFAULT\n";

struct DefinitionCase {
  const char* name;
  std::string nets;
  std::string custs;
  std::string out;
  std::string err;
  int status;
};

void PrintTo(const DefinitionCase& c, std::ostream* os) { *os << c.name; }

std::vector<DefinitionCase> definition_cases() {
  const std::string bad_net = "our.nets: entry 1 is not an address and a prefix length of 0 to 32: ";
  const std::string nul_word = std::string("10.0.0.1\0x", 10);
  return {
      {"customer_number_with_a_sign", NETS, "-10.0.0.1 a\n",
       "Bad Statement in Line 1 : -10.0.0.1 a\n", ECHO, 1},
      {"customer_prefix_with_a_sign", NETS, "10.0.0.1/+30 a\n",
       "Bad Statement in Line 1 : 10.0.0.1/+30 a\n", ECHO, 1},
      {"customer_number_above_32_bits", NETS, "10.0.0.4294967297 a\n",
       "Bad Statement in Line 1 : 10.0.0.4294967297 a\n", ECHO, 1},
      {"customer_prefix_above_32_bits", NETS, "10.0.0.1/4294967328 a\n",
       "Bad Statement in Line 1 : 10.0.0.1/4294967328 a\n", ECHO, 1},
      {"supernet_prefix_above_32_bits", "10.0.0.0/4294967326\n", "",
       "", bad_net + "\"10.0.0.0/4294967326\" (line 1)\n", 1},
      // A NUL byte would cut the text short where it is read as a string.
      {"NUL_byte_in_a_customer_entry", NETS, nul_word + " a\n", "Bad Statement in Line 1 : 10.0.0.1 a\n",
       ECHO, 1},
      {"NUL_byte_in_a_supernet_entry", std::string("10.0.0.0/30\0\n", 13), "", "",
       "10.0.0.0 Mask:30\n" + std::string("our.nets: entry 2") +
           bad_net.substr(std::string("our.nets: entry 1").size()) + "\"\\x00\" (line 1)\n",
       1},
      {"very_long_supernet_line", std::string(100000, '1'), "", "",
       bad_net + "\"" + std::string(255, '1') + "\"... (line 1)\n", 1},
      {"very_long_customer_line_of_one_word", NETS, std::string(100000, 'x') + " a\n",
       "Bad Statement in Line 1 : " + std::string(255, 'x') + " a\n", ECHO, 1},
      {"binary_garbage_as_customer_file", NETS, std::string("\x7f" "ELF\x02\x01\x01", 7),
       "Bad Statement in Line 1 : \x7f" "ELF\x02\x01\x01 \n", ECHO, 1},
      {"CR_line_ends_everywhere", "\r\n10.0.0.0/30\r\n\r\n", "10.0.0.1 cr\r\n\r\n",
       std::string("File\n") + "10.0.0.1 11000 11000 11 11 1100000000 1100000030 0 0 cr\n", ECHO, 0},
      {"tabs_and_form_feeds_separate_words", "\t10.0.0.0/30\f\v", "10.0.0.1\t\tff\f",
       std::string("File\n") + "10.0.0.1 11000 11000 11 11 1100000000 1100000030 0 0 ff\n", ECHO, 0},
  };
}

class DefinitionCases : public ::testing::TestWithParam<DefinitionCase> {};

TEST_P(DefinitionCases, EndExactly) {
  const DefinitionCase& c = GetParam();
  TempDir dir;
  dir.write("our.nets", c.nets);
  dir.write("custs", c.custs);
  dir.write_flow("f", TRAFFIC);
  RunResult r = run_program(NETTALLY_BIN, {"nettally", "f"}, dir.path());
  EXPECT_EQ(r.out, c.out);
  EXPECT_EQ(r.err, c.err);
  EXPECT_EQ(r.status, c.status);
}

INSTANTIATE_TEST_SUITE_P(Hostile, DefinitionCases, ::testing::ValuesIn(definition_cases()),
                         [](const auto& test) { return std::string(test.param.name); });

TEST(HostileFlowInput, HeaderCountsAreNotTrusted) {
  TempDir dir;
  dir.write("our.nets", NETS);
  dir.write("custs", "");
  dir.write_flow("f", TRAFFIC);
  RunResult r = run_program(NETTALLY_BIN, {"nettally", "f"}, dir.path());
  EXPECT_EQ(r.out, std::string("File\n") + REPORT);
  EXPECT_EQ(r.status, 0);
}

TEST(HostileFlowInput, ThousandsOfDirectoryEntries) {
  TempDir dir;
  dir.write("our.nets", NETS);
  dir.write("custs", "");
  dir.mkdir("day");
  for (int i = 0; i < 3000; i++) dir.write("day/junk" + std::to_string(i), "");
  dir.write_flow("day/flow.1", TRAFFIC);
  dir.write_flow("day/flow.2", TRAFFIC);
  std::string err = ECHO;
  for (const std::string& name : list_directory(dir.at("day")))
    err += walk_line(name);
  RunResult r = run_program(NETTALLY_BIN, {"nettally", "day"}, dir.path());
  EXPECT_EQ(r.out, "10.0.0.1 22000 22000 22 22 1100000000 1100000030 0 0 DEFAULT\n");
  EXPECT_EQ(r.err, err);
  EXPECT_EQ(r.status, 0);
}

// A socket cannot be opened for reading, not even by root.
TEST(HostileFlowInput, EntryThatCannotBeOpened) {
  TempDir dir;
  dir.write("our.nets", NETS);
  dir.write("custs", "");
  dir.mkdir("day");
  int s = socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(s, 0);
  sockaddr_un addr = {};
  addr.sun_family = AF_UNIX;
  std::string path = dir.at("day/flow.sock");
  ASSERT_LT(path.size(), sizeof addr.sun_path);
  path.copy(addr.sun_path, path.size());
  ASSERT_EQ(bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);

  std::string err = ECHO;
  for (const std::string& name : list_directory(dir.at("day"))) {
    bool is_flow = is_flow_name(name);
    err += walk_line(name);
    if (is_flow) {
      err += "open flowfile: No such device or address\n";
      break;
    }
  }
  RunResult r = run_program(NETTALLY_BIN, {"nettally", "day"}, dir.path());
  close(s);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, err);
  EXPECT_EQ(r.status, 1);

  // The socket as the path fails in the same way, never an empty report.
  RunResult p = run_program(NETTALLY_BIN, {"nettally", "day/flow.sock"}, dir.path());
  EXPECT_EQ(p.out, "File\n");
  EXPECT_EQ(p.err, ECHO + std::string("open flowfile: No such device or address\n"));
  EXPECT_EQ(p.status, 1);
}

// recdump on bytes that are no flow file at all still prints what it can
// and ends normally.
TEST(HostileFlowInput, RecdumpOnAnyBytes) {
  TempDir dir;
  std::string bytes;
  for (int i = 0; i < 272 + 57 * 3 + 20; i++) bytes += char(i * 37 + 11);
  dir.write("junk", bytes);
  RunResult r = run_program(RECDUMP_BIN, {"recdump", "junk"}, dir.path());
  EXPECT_EQ(r.status, 0);
  size_t lines = 0;
  for (char ch : r.out) lines += ch == '\n';
  EXPECT_EQ(lines, 2u + 3u);
  EXPECT_EQ(r.err, "Partial record: junk ends with 20 bytes after its last whole record\n");
}

}  // namespace
