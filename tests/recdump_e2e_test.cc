// recdump end to end: flow files made from text, the real binary, whole
// outputs compared byte for byte.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "tests/e2e.h"

namespace {

const char* const EXAMPLE_TEXT =
    "header 1700000000 1700000300 123168 2 24\n"
    "tcp 192.168.1.10:51000 10.0.0.1:80 10 70 12 3000 10 120000\n"
    "icmp 10.0.0.1:8/0 192.168.1.10 100 101 1 84 1 84\n";

const char* const EXAMPLE_OUT =
    "Start:1700000000 Stop:1700000300\n"
    "Flows:2 Pkts:24 Bytes:123168\n"
    "TCP(6) 192.168.1.10:51000 10.0.0.1:80 12 3000 0.39 10 120000 15.60 22:13:30 60\n"
    "ICMP(1) 10.0.0.1 192.168.1.10 8 0 1 84 0.00 1 84 0.00 22:15:00 1\n";

struct DumpCase {
  const char* name;
  const char* flow_text;  // made into the file "f" (zeros in the bytes not interpreted)
  const char* tz;
  const char* out;
  const char* err;
  int status;
};

const DumpCase DUMP_CASES[] = {
    {"worked_example", EXAMPLE_TEXT, "UTC", EXAMPLE_OUT, "", 0},
    {"rates_are_rounded_to_single_precision",
     "header 0 0 0 0 0\n"
     "udp 1.2.3.4:1 5.6.7.8:2 0 3 1 4294967295 1 1000\n"   // 11166914.967 -> 11166915
     "udp 1.2.3.4:1 5.6.7.8:2 0 7 1 4000000000 1 0\n"      // 4457142.857 -> 4457143
     "udp 1.2.3.4:1 5.6.7.8:2 0 2 1 4000000000 1 1000\n"   // below 3 s: no rate
     "udp 1.2.3.4:1 5.6.7.8:2 10 10 1 4000000000 1 1000\n" // 0 s
     "udp 1.2.3.4:1 5.6.7.8:2 30 28 1 4000000000 1 1000\n",  // wraps to 65534 s
     "UTC",
     "Start:0 Stop:0\nFlows:0 Pkts:0 Bytes:0\n"
     "UDP(17) 1.2.3.4:1 5.6.7.8:2 1 4294967295 11166915.00 1 1000 2.60 00:00:00 3\n"
     "UDP(17) 1.2.3.4:1 5.6.7.8:2 1 4000000000 4457143.00 1 0 0.00 00:00:00 7\n"
     "UDP(17) 1.2.3.4:1 5.6.7.8:2 1 4000000000 0.00 1 1000 0.00 00:00:00 2\n"
     "UDP(17) 1.2.3.4:1 5.6.7.8:2 1 4000000000 0.00 1 1000 0.00 00:00:10 0\n"
     "UDP(17) 1.2.3.4:1 5.6.7.8:2 1 4000000000 476.09 1 1000 0.00 00:00:30 65534\n",
     "", 0},
    {"protocol_prefixes",
     "header 1 2 3 4 5\n"
     "icmp 10.0.0.1:3/13 10.0.0.2:65535 0 0 0 0 0 0\n"  // bytes 55, 56 are not shown
     "tcp 10.0.0.1:0 10.0.0.2:80 0 0 0 0 0 0\n"
     "udp 255.255.255.255:65535 0.0.0.0:53 0 0 0 0 0 0\n"
     "0 10.0.0.1:7 10.0.0.2:9 0 0 0 0 0 0\n"
     "255 10.0.0.1 10.0.0.2 0 0 0 0 0 0\n"
     "47 10.0.0.1 10.0.0.2 0 0 0 0 0 0\n",
     "UTC",
     "Start:1 Stop:2\nFlows:4 Pkts:5 Bytes:3\n"
     "ICMP(1) 10.0.0.1 10.0.0.2 3 13 0 0 0.00 0 0 0.00 00:00:01 0\n"
     "TCP(6) 10.0.0.1:0 10.0.0.2:80 0 0 0.00 0 0 0.00 00:00:01 0\n"
     "UDP(17) 255.255.255.255:65535 0.0.0.0:53 0 0 0.00 0 0 0.00 00:00:01 0\n"
     "OTHER(0) 10.0.0.1 10.0.0.2 0 0 0.00 0 0 0.00 00:00:01 0\n"
     "OTHER(255) 10.0.0.1 10.0.0.2 0 0 0.00 0 0 0.00 00:00:01 0\n"
     "OTHER(47) 10.0.0.1 10.0.0.2 0 0 0.00 0 0 0.00 00:00:01 0\n",
     "", 0},
    {"start_time_wraps_in_32_bits_and_counts_are_full_width",
     "header 4294967295 4294967295 18446744073709551615 4294967295 4294967295\n"
     "tcp 1.1.1.1:1 2.2.2.2:2 1 1 4294967295 4294967295 4294967295 4294967295\n"
     "tcp 1.1.1.1:1 2.2.2.2:2 65535 65535 0 0 0 0\n",
     "UTC",
     "Start:4294967295 Stop:4294967295\n"
     "Flows:4294967295 Pkts:4294967295 Bytes:18446744073709551615\n"
     "TCP(6) 1.1.1.1:1 2.2.2.2:2 4294967295 4294967295 0.00 4294967295 4294967295 0.00 00:00:00 0\n"
     "TCP(6) 1.1.1.1:1 2.2.2.2:2 0 0 0.00 0 0 0.00 18:12:14 0\n",
     "", 0},
    {"magic_is_not_tested", "header 100 200 0 0 0 XXXX\ntcp 1.1.1.1:1 2.2.2.2:2 0 3 0 0 0 0\n",
     "UTC", "Start:100 Stop:200\nFlows:0 Pkts:0 Bytes:0\n"
            "TCP(6) 1.1.1.1:1 2.2.2.2:2 0 0 0.00 0 0 0.00 00:01:40 3\n",
     "", 0},
    {"header_only_file", "header 1700000000 1700000300 0 0 0\n", "UTC",
     "Start:1700000000 Stop:1700000300\nFlows:0 Pkts:0 Bytes:0\n", "", 0},
    {"empty_file", "", "UTC", "Start:0 Stop:0\nFlows:0 Pkts:0 Bytes:0\n",
     "Short header: f has 0 of 272 bytes; the rest is shown as zero\n", 0},
    {"short_header_shows_what_it_has_and_zeros",
     // start_time and the first byte of stop_time: the rest of stop_time is zero
     "raw 4b 56 52 5a 00 00 65 53 f1 00 00 00 00 00 01\n", "UTC",
     "Start:1700000000 Stop:16777216\nFlows:0 Pkts:0 Bytes:0\n",
     "Short header: f has 15 of 272 bytes; the rest is shown as zero\n", 0},
    {"trailing_partial_record_is_noted_not_printed",
     "header 1700000000 1700000300 0 0 0\n"
     "tcp 1.1.1.1:1 2.2.2.2:2 0 3 1 100 1 100\n"
     "raw 06 00 0a 00 46 00 00 00 0c 00 00 00 00 00 00 0b b8 00 00 00 00 00 00 00 0a 00\n",
     "UTC",
     "Start:1700000000 Stop:1700000300\nFlows:0 Pkts:0 Bytes:0\n"
     "TCP(6) 1.1.1.1:1 2.2.2.2:2 1 100 0.26 1 100 0.26 22:13:20 3\n",
     "Partial record: f ends with 26 bytes after its last whole record\n", 0},
    {"daylight_saving_time_changes",
     // New York springs forward at 1678604400, Lord Howe falls back half an hour at 1680361200.
     "header 1678604390 0 0 0 0\n"
     "tcp 1.1.1.1:1 2.2.2.2:2 9 9 0 0 0 0\n"
     "tcp 1.1.1.1:1 2.2.2.2:2 10 10 0 0 0 0\n"
     "tcp 1.1.1.1:1 2.2.2.2:2 65535 65535 0 0 0 0\n",
     "America/New_York",
     "Start:1678604390 Stop:0\nFlows:0 Pkts:0 Bytes:0\n"
     "TCP(6) 1.1.1.1:1 2.2.2.2:2 0 0 0.00 0 0 0.00 01:59:59 0\n"
     "TCP(6) 1.1.1.1:1 2.2.2.2:2 0 0 0.00 0 0 0.00 03:00:00 0\n"
     "TCP(6) 1.1.1.1:1 2.2.2.2:2 0 0 0.00 0 0 0.00 21:12:05 0\n",
     "", 0},
};

void PrintTo(const DumpCase& c, std::ostream* os) { *os << c.name; }

class DumpCases : public ::testing::TestWithParam<DumpCase> {};

TEST_P(DumpCases, PrintsExactly) {
  const DumpCase& c = GetParam();
  TempDir dir;
  dir.write_flow("f", c.flow_text);
  RunResult r = run_program(RECDUMP_BIN, {"recdump", "f"}, dir.path(), c.tz);
  EXPECT_EQ(r.out, c.out);
  EXPECT_EQ(r.err, c.err);
  EXPECT_EQ(r.status, c.status);
  // Notes come after every line printed before them.
  EXPECT_EQ(r.merged, c.err[0] == 'S' ? std::string(c.err) + c.out : std::string(c.out) + c.err);
}

INSTANTIATE_TEST_SUITE_P(Recdump, DumpCases, ::testing::ValuesIn(DUMP_CASES),
                         [](const auto& test) { return std::string(test.param.name); });

TEST(Recdump, BytesNotInterpretedChangeNothing) {
  TempDir dir;
  for (const char* fill : {"ones", "random:1", "random:2"}) {
    dir.write_flow("f", EXAMPLE_TEXT, fill);
    RunResult r = run_program(RECDUMP_BIN, {"recdump", "f"}, dir.path(), "UTC");
    EXPECT_EQ(r.out, EXAMPLE_OUT) << fill;
    EXPECT_EQ(r.status, 0);
  }
}

TEST(Recdump, StartTimesInZonesWithOddOffsets) {
  TempDir dir;
  dir.write_flow("f",
                 "header 1680361190 0 0 0 0\n"
                 "tcp 1.1.1.1:1 2.2.2.2:2 9 9 0 0 0 0\n"
                 "tcp 1.1.1.1:1 2.2.2.2:2 10 10 0 0 0 0\n");
  const std::string head = "Start:1680361190 Stop:0\nFlows:0 Pkts:0 Bytes:0\n";
  const std::string line = "TCP(6) 1.1.1.1:1 2.2.2.2:2 0 0 0.00 0 0 0.00 ";
  struct {
    const char* tz;
    const char* before;
    const char* after;
  } zones[] = {
      {"Australia/Lord_Howe", "01:59:59", "01:30:00"},  // +11 to +10:30
      {"Asia/Kolkata", "20:29:59", "20:30:00"},         // +05:30
      {"UTC", "14:59:59", "15:00:00"},
  };
  for (const auto& z : zones) {
    RunResult r = run_program(RECDUMP_BIN, {"recdump", "f"}, dir.path(), z.tz);
    EXPECT_EQ(r.out, head + line + z.before + " 0\n" + line + z.after + " 0\n") << z.tz;
  }
}

TEST(Recdump, ReadsFromAPipe) {
  TempDir dir;
  // Many records, so that the pipe delivers them in pieces.
  std::string text = "header 1700000000 1700000300 0 0 0\n";
  std::string expected = "Start:1700000000 Stop:1700000300\nFlows:0 Pkts:0 Bytes:0\n";
  for (int i = 0; i < 5000; i++) {
    text += "udp 10.0.0." + std::to_string(i % 256) + ":" + std::to_string(i) + " 10.1.0.1:53 0 " +
            std::to_string(i % 5) + " 1 " + std::to_string(i) + " 1 7\n";
    expected += "UDP(17) 10.0.0." + std::to_string(i % 256) + ":" + std::to_string(i) +
                " 10.1.0.1:53 1 " + std::to_string(i) + " ";
    char rates[64];
    unsigned d = unsigned(i % 5);
    snprintf(rates, sizeof rates, "%.2f 1 7 %.2f", d < 3 ? 0.0 : double(float(i * 0.0078 / d)),
             d < 3 ? 0.0 : double(float(7 * 0.0078 / d)));
    expected += std::string(rates) + " 22:13:20 " + std::to_string(d) + "\n";
  }
  text += "raw 01 02 03\n";
  dir.write_flow("f", text);
  RunResult r = run_program("/bin/sh", {"sh", "-c", "cat f | " RECDUMP_BIN " /dev/stdin"},
                            dir.path(), "UTC");
  EXPECT_EQ(r.out, expected);
  EXPECT_EQ(r.err, "Partial record: /dev/stdin ends with 3 bytes after its last whole record\n");
  EXPECT_EQ(r.status, 0);
}

TEST(Recdump, Failures) {
  TempDir dir;
  dir.mkdir("d");
  struct {
    std::vector<std::string> argv;
    const char* err;
  } cases[] = {
      {{"recdump"}, ""},
      {{"recdump", "a", "b"}, ""},
      {{"recdump", "missing"}, "Open File: No such file or directory\n"},
      {{"recdump", "d"}, "Read File: Is a directory\n"},
  };
  for (const auto& c : cases) {
    RunResult r = run_program(RECDUMP_BIN, c.argv, dir.path());
    EXPECT_EQ(r.out, "") << c.argv.size();
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.status, 1);
  }
}

// A FIFO named as the path waits for its writer, however late it comes
// (`recdump ff & cat flow >ff`), and prints what the file itself prints.
TEST(RecdumpFifo, APathWaitsForALateWriter) {
  TempDir dir;
  dir.write_flow("f", EXAMPLE_TEXT);
  std::string bytes = read_file(dir.at("f"));
  ASSERT_EQ(mkfifo(dir.at("ff").c_str(), 0666), 0);
  int writer = start_fifo_writer(dir.at("ff"), bytes, 200, bytes.size(), 0);
  RunResult r = run_program_once(RECDUMP_BIN, {"recdump", "ff"}, dir.path());
  EXPECT_TRUE(finish_slow_writer(writer));
  EXPECT_EQ(r.out, EXAMPLE_OUT);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.status, 0);
}

}  // namespace
