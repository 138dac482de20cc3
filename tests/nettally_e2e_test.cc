// nettally end to end: definition files and flow files in a fresh directory,
// the real binary, whole outputs compared byte for byte, and the order of
// the two streams when both go into one file.

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/e2e.h"

namespace {

// Home slots: 10.0.0.1 4926, 192.0.2.1 95077, 192.0.2.10 95086; the 260
// addresses of these supernets take 260 different home slots.
const char* const NETS = "10.0.0.0/30\n192.0.2.0/24\n";
const char* const NETS_ECHO = "10.0.0.0 Mask:30\n192.0.2.0 Mask:24\n";
const char* const CUSTS = "192.0.2.0/29 acme\n10.0.0.1 beta\n";

const char* const TRAFFIC =
    "header 1100000000 1100003600 0 0 0\n"
    // in from outside to 192.0.2.10, plus an internal flow it sends
    "tcp 198.51.100.1:1 192.0.2.10:443 100 3600 1200 1500000 900 250000\n"
    "tcp 192.0.2.10:1 192.0.2.11:2 0 0 1 4096 1 0\n"
    // 4,097 both ways is enough; 4,096 out is not; one way only is not
    "udp 192.0.2.1:1 198.51.100.2:2 5 6 3 4097 4 4097\n"
    "udp 192.0.2.5:1 198.51.100.2:2 5 6 3 4096 4 1000000\n"
    "udp 198.51.100.3:1 192.0.2.200:2 5 6 3 1000000 4 0\n"
    // beta sends out twice, and to itself
    "tcp 10.0.0.1:1 203.0.113.9:2 10 20 5 5000 6 6000\n"
    "tcp 10.0.0.1:1 203.0.113.9:2 1 30 5 5000 6 6000\n"
    "47 10.0.0.1 10.0.0.1 7 8 1 100 1 50\n"
    // neither end is ours
    "icmp 203.0.113.5:8/0 198.51.100.7 0 0 1 84 1 84\n";

const char* const TRAFFIC_REPORT =
    "10.0.0.1 12000 10000 12 10 1100000001 1100000030 150 150 beta\n"
    "192.0.2.1 4097 4097 4 3 1100000005 1100000006 0 0 acme\n"
    "192.0.2.10 1500000 250000 1200 900 1100000100 1100003600 0 4096 DEFAULT\n";
const char* const TRAFFIC_STRANGE = "Strange...203.0.113.5->198.51.100.7\n";

struct File {
  std::string name;
  std::string content;
  bool flow = false;  // content is a text description for mkflow
};

struct TallyCase {
  const char* name;
  std::vector<File> files;
  std::vector<std::string> argv;
  std::string out;
  std::string err;
  int status;
  std::string merged;  // both streams into one file
};

File nets(const std::string& s) { return {"our.nets", s}; }
File custs(const std::string& s) { return {"custs", s}; }
File flow(const std::string& name, const std::string& text) { return {name, text, true}; }

std::string repeat(char c, size_t n) { return std::string(n, c); }

const std::string LONG_NAME = repeat('n', 250);
const std::string CUT_NAME = repeat('n', 200);

std::vector<TallyCase> tally_cases() {
  const std::string e = NETS_ECHO;
  return {
      {"usage_without_argument", {}, {"nettally"}, "nettally: nettally <flowfile>\n", "", 1,
       "nettally: nettally <flowfile>\n"},
      {"usage_with_two_arguments_reads_no_definitions", {}, {"nt", "a", "b"},
       "nt: nettally <flowfile>\n", "", 1, "nt: nettally <flowfile>\n"},
      {"report_of_one_file",
       {nets(NETS), custs(CUSTS), flow("f", TRAFFIC)}, {"nettally", "f"},
       std::string("File\n") + TRAFFIC_REPORT, e + TRAFFIC_STRANGE, 0,
       // "File" waits in standard output's buffer until the first report line is flushed
       e + TRAFFIC_STRANGE + "File\n" + TRAFFIC_REPORT},
      {"a_regular_file_is_read_whatever_its_name",
       {nets(NETS), custs(CUSTS), flow("Traffic.bin", TRAFFIC)}, {"nettally", "Traffic.bin"},
       std::string("File\n") + TRAFFIC_REPORT, e + TRAFFIC_STRANGE, 0,
       e + TRAFFIC_STRANGE + "File\n" + TRAFFIC_REPORT},
      {"header_only_file_gives_an_empty_report",
       {nets(NETS), custs(CUSTS), flow("f", "header 1 2 3 4 5\n")}, {"nettally", "f"}, "File\n", e,
       0, e + "File\n"},
      {"missing_supernets_file", {custs(CUSTS), flow("f", TRAFFIC)}, {"nettally", "f"}, "",
       "Open SUPERNETS: No such file or directory\n", 1,
       "Open SUPERNETS: No such file or directory\n"},
      {"missing_customer_file", {nets(NETS), flow("f", TRAFFIC)}, {"nettally", "f"}, "",
       e + "Opening custs file: No such file or directory\n", 1,
       e + "Opening custs file: No such file or directory\n"},
      {"missing_path_after_the_definitions", {nets(NETS), custs(CUSTS)}, {"nettally", "nope"}, "",
       e + "Stat: No such file or directory\n", 1, e + "Stat: No such file or directory\n"},
      {"dangling_link_as_path", {nets(NETS), custs(CUSTS), {"link", ""}}, {"nettally", "link"}, "",
       e + "Stat: No such file or directory\n", 1, e + "Stat: No such file or directory\n"},
      {"empty_flow_file", {nets(NETS), custs(CUSTS), {"f", ""}}, {"nettally", "f"}, "File\n",
       e + "Short read header: f has 0 of 272 bytes\n", 1,
       e + "Short read header: f has 0 of 272 bytes\n" + "File\n"},
      {"short_flow_file", {nets(NETS), custs(CUSTS), {"f", repeat('K', 271)}}, {"nettally", "f"},
       "File\n", e + "Short read header: f has 271 of 272 bytes\n", 1,
       e + "Short read header: f has 271 of 272 bytes\n" + "File\n"},
      {"wrong_magic",
       {nets(NETS), custs(CUSTS), flow("f", "header 1 2 3 4 5 KVZR\n" + std::string(TRAFFIC + 35))},
       {"nettally", "f"}, "File\nNo KVRZ File\n", e, 1, e + "File\nNo KVRZ File\n"},
      {"lower_case_magic", {nets(NETS), custs(CUSTS), flow("f", "header 1 2 3 4 5 kvrz\n")},
       {"nettally", "f"}, "File\nNo KVRZ File\n", e, 1, e + "File\nNo KVRZ File\n"},
      {"trailing_piece_of_a_record_is_noted_and_the_run_goes_on",
       {nets(NETS), custs(CUSTS), flow("f", std::string(TRAFFIC) + "raw 06 00 0a 00 46\n")},
       {"nettally", "f"}, std::string("File\n") + TRAFFIC_REPORT,
       e + TRAFFIC_STRANGE + "Partial record: f ends with 5 bytes after its last whole record\n",
       0,
       e + TRAFFIC_STRANGE + "Partial record: f ends with 5 bytes after its last whole record\n" +
           "File\n" + TRAFFIC_REPORT},
      {"bad_customer_entry",
       {nets(NETS),
        custs("192.0.2.0/29 a\n192.0.2.8 b\n\n\n192.0.2.9 c\n192.0.2.10 d\n10.20.4/24 delta\n"),
        flow("f", TRAFFIC)},
       {"nettally", "f"}, "Bad Statement in Line 5 : 10.20.4/24 delta\n", e, 1,
       e + "Bad Statement in Line 5 : 10.20.4/24 delta\n"},
      {"customer_name_with_a_blank_shifts_the_pairing",
       {nets(NETS), custs("192.0.2.0/29 Acme Corp\n192.0.2.8/29 beta\n"), flow("f", TRAFFIC)},
       {"nettally", "f"}, "Bad Statement in Line 2 : Corp 192.0.2.8/29\n", e, 1,
       e + "Bad Statement in Line 2 : Corp 192.0.2.8/29\n"},
      {"customer_prefix_length_above_32",
       {nets(NETS), custs("192.0.2.0/33 a\n"), flow("f", TRAFFIC)}, {"nettally", "f"},
       "Bad Statement in Line 1 : 192.0.2.0/33 a\n", e, 1,
       e + "Bad Statement in Line 1 : 192.0.2.0/33 a\n"},
      {"last_customer_entry_without_a_name",
       {nets(NETS), custs("192.0.2.0/29 a\n192.0.2.8\n"), flow("f", TRAFFIC)}, {"nettally", "f"},
       "Bad Statement in Line 2 : 192.0.2.8 \n", e, 1, e + "Bad Statement in Line 2 : 192.0.2.8 \n"},
      {"customer_word_longer_than_255_characters",
       {nets(NETS), custs("192.0.2.0/29 " + repeat('x', 300) + " 192.0.2.8 b\n"), flow("f", TRAFFIC)},
       {"nettally", "f"}, "Bad Statement in Line 1 : 192.0.2.0/29 " + repeat('x', 255) + "\n", e, 1,
       e + "Bad Statement in Line 1 : 192.0.2.0/29 " + repeat('x', 255) + "\n"},
      {"conflicting_customers",
       {nets("10.20.8.0/29\n"), custs("10.20.8.0/30 first\n10.20.8.1/30 second\n"),
        flow("f", "header 1 2 3 4 5\ntcp 10.20.8.2:1 1.1.1.1:2 0 0 1 5000 1 5000\n")},
       {"nettally", "f"}, "File\n10.20.8.2 5000 5000 1 1 1 1 0 0 first\n",
       "10.20.8.0 Mask:29\n"
       "Used\nIP:10.20.8.0\nfirst\nsecond\nNetwork:a140801\nNetmaks:30\n"
       "Used\nIP:10.20.8.1\nfirst\nsecond\nNetwork:a140801\nNetmaks:30\n"
       "Used\nIP:10.20.8.2\nfirst\nsecond\nNetwork:a140801\nNetmaks:30\n"
       "Used\nIP:10.20.8.3\nfirst\nsecond\nNetwork:a140801\nNetmaks:30\n",
       0,
       "10.20.8.0 Mask:29\n"
       "Used\nIP:10.20.8.0\nfirst\nsecond\nNetwork:a140801\nNetmaks:30\n"
       "Used\nIP:10.20.8.1\nfirst\nsecond\nNetwork:a140801\nNetmaks:30\n"
       "Used\nIP:10.20.8.2\nfirst\nsecond\nNetwork:a140801\nNetmaks:30\n"
       "Used\nIP:10.20.8.3\nfirst\nsecond\nNetwork:a140801\nNetmaks:30\n"
       "File\n10.20.8.2 5000 5000 1 1 1 1 0 0 first\n"},
      {"a_customer_named_DEFAULT_keeps_its_addresses",
       {nets("10.20.8.0/31\n"), custs("10.20.8.1 DEFAULT\n10.20.8.0/31 other\n"),
        flow("f", "header 0 0 0 0 0\ntcp 10.20.8.1:1 1.1.1.1:2 0 0 1 5000 1 5000\n"
                  "tcp 10.20.8.0:1 1.1.1.1:2 0 0 1 5000 1 5000\n")},
       {"nettally", "f"}, "File\n10.20.8.0 5000 5000 1 1 0 0 0 0 other\n10.20.8.1 5000 5000 1 1 0 0 0 0 DEFAULT\n",
       "10.20.8.0 Mask:31\nUsed\nIP:10.20.8.1\nDEFAULT\nother\nNetwork:a140800\nNetmaks:31\n", 0,
       "10.20.8.0 Mask:31\nUsed\nIP:10.20.8.1\nDEFAULT\nother\nNetwork:a140800\nNetmaks:31\n"
       "File\n10.20.8.0 5000 5000 1 1 0 0 0 0 other\n10.20.8.1 5000 5000 1 1 0 0 0 0 DEFAULT\n"},
      {"long_names_are_cut_to_200_characters",
       {nets("10.20.8.0/32\n"), custs("10.20.8.0 " + LONG_NAME + "\n10.20.8.0 x\n"),
        flow("f", "header 0 0 0 0 0\ntcp 10.20.8.0:1 1.1.1.1:2 0 0 1 5000 1 5000\n")},
       {"nettally", "f"}, "File\n10.20.8.0 5000 5000 1 1 0 0 0 0 " + CUT_NAME + "\n",
       "10.20.8.0 Mask:32\nUsed\nIP:10.20.8.0\n" + CUT_NAME + "\nx\nNetwork:a140800\nNetmaks:32\n",
       0,
       "10.20.8.0 Mask:32\nUsed\nIP:10.20.8.0\n" + CUT_NAME + "\nx\nNetwork:a140800\nNetmaks:32\n" +
           "File\n10.20.8.0 5000 5000 1 1 0 0 0 0 " + CUT_NAME + "\n"},
      {"customer_texts_after_the_fourth_number",
       // 10.0.0.256 is 10.0.1.0; "/" or other text after the address means /32.
       {nets("10.0.0.0/23\n"),
        custs("10.0.0.17/ a\n10.0.0.18x b\n10.0.0.256 c\n10.0.0.19/32junk d\n"),
        flow("f", "header 0 0 0 0 0\n"
                  "tcp 10.0.0.17:1 1.1.1.1:2 0 0 1 5000 1 5000\n"
                  "tcp 10.0.0.18:1 1.1.1.1:2 0 0 1 5000 1 5000\n"
                  "tcp 10.0.1.0:1 1.1.1.1:2 0 0 1 5000 1 5000\n"
                  "tcp 10.0.0.19:1 1.1.1.1:2 0 0 1 5000 1 5000\n"
                  "tcp 10.0.0.20:1 1.1.1.1:2 0 0 1 5000 1 5000\n")},
       {"nettally", "f"},
       // home slots: 10.0.0.20 4905, .17 4910, .18 4911, .19 4912, 10.0.1.0 5183
       "File\n10.0.0.20 5000 5000 1 1 0 0 0 0 DEFAULT\n10.0.0.17 5000 5000 1 1 0 0 0 0 a\n"
       "10.0.0.18 5000 5000 1 1 0 0 0 0 b\n10.0.0.19 5000 5000 1 1 0 0 0 0 d\n"
       "10.0.1.0 5000 5000 1 1 0 0 0 0 c\n",
       "10.0.0.0 Mask:23\n", 0, ""},
      {"definition_files_with_CR_line_ends_blank_lines_and_no_final_newline",
       {nets("\r\n10.20.8.0/31 \r\n\r\n\t10.20.9.0/32"), custs("\n10.20.8.1\tcr\r\n\r\n10.20.9.0 last"),
        flow("f", "header 0 0 0 0 0\ntcp 10.20.8.1:1 1.1.1.1:2 0 0 1 5000 1 5000\n"
                  "tcp 10.20.9.0:1 1.1.1.1:2 0 0 1 5000 1 5000\n")},
       {"nettally", "f"}, "File\n10.20.8.1 5000 5000 1 1 0 0 0 0 cr\n10.20.9.0 5000 5000 1 1 0 0 0 0 last\n",
       "10.20.8.0 Mask:31\n10.20.9.0 Mask:32\n", 0, ""},
      {"supernet_echo_keeps_the_address_as_written",
       {nets("10.1.2.3/30\n"), custs(""),
        flow("f", "header 0 0 0 0 0\ntcp 10.1.2.0:1 1.1.1.1:2 0 0 1 5000 1 5000\n")},
       {"nettally", "f"}, "File\n10.1.2.0 5000 5000 1 1 0 0 0 0 DEFAULT\n", "10.1.2.3 Mask:30\n",
       0, ""},
      {"customer_addresses_outside_the_supernets_are_noted",
       {nets("10.20.8.0/31\n"), custs("10.20.8.0/30 wide\n0.0.0.0/32 zero\n"),
        flow("f", "header 0 0 0 0 0\ntcp 10.20.8.1:1 1.1.1.1:2 0 0 1 5000 1 5000\n")},
       {"nettally", "f"}, "File\n10.20.8.1 5000 5000 1 1 0 0 0 0 wide\n",
       "10.20.8.0 Mask:31\n"
       "custs: entry 1, 10.20.8.0/30 wide: 2 addresses lie outside our.nets and are not claimed\n"
       "custs: entry 2, 0.0.0.0/32 zero: 1 address lies outside our.nets and is not claimed\n",
       0, ""},
      {"a_whole_space_customer_claims_only_what_the_supernets_hold",
       {nets("10.20.8.0/31\n255.255.255.254/31\n"), custs("0.0.0.0/0 all\n"),
        flow("f", "header 0 0 0 0 0\ntcp 255.255.255.255:1 1.1.1.1:2 0 0 1 5000 1 5000\n")},
       {"nettally", "f"}, "File\n255.255.255.255 5000 5000 1 1 0 0 0 0 all\n",
       "10.20.8.0 Mask:31\n255.255.255.254 Mask:31\n"
       "custs: entry 1, 0.0.0.0/0 all: 4294967292 addresses lie outside our.nets and are not "
       "claimed\n",
       0, ""},
      {"an_insertion_that_passes_six_taken_slots_is_noted",
       // The same address eight times: the 7th and 8th copies pass 6 and 7 slots.
       {nets(std::string("10.0.0.1/32\n10.0.0.1/32\n10.0.0.1/32\n10.0.0.1/32\n"
             "10.0.0.1/32\n10.0.0.1/32\n10.0.0.1/32\n10.0.0.1/32\n")),
        custs(""), flow("f", "header 0 0 0 0 0\n")},
       {"nettally", "f"}, "File\n",
       "10.0.0.1 Mask:32\n10.0.0.1 Mask:32\n10.0.0.1 Mask:32\n10.0.0.1 Mask:32\n"
       "10.0.0.1 Mask:32\n10.0.0.1 Mask:32\n10.0.0.1 Mask:32\nColl:6 \n"
       "10.0.0.1 Mask:32\nColl:7 \n",
       0, ""},
      {"overlapping_supernets_report_an_address_once",
       {nets("10.20.8.0/30\n10.20.8.0/31\n"), custs("10.20.8.1 c\n"),
        flow("f", "header 0 0 0 0 0\ntcp 10.20.8.1:1 1.1.1.1:2 0 0 1 5000 1 5000\n")},
       {"nettally", "f"}, "File\n10.20.8.1 5000 5000 1 1 0 0 0 0 c\n",
       "10.20.8.0 Mask:30\n10.20.8.0 Mask:31\n", 0, ""},
  };
}

void PrintTo(const TallyCase& c, std::ostream* os) { *os << c.name; }

class TallyCases : public ::testing::TestWithParam<TallyCase> {};

void create_files(const TempDir& dir, const std::vector<File>& files) {
  for (const File& f : files) {
    if (f.flow) {
      dir.write_flow(f.name, f.content);
    } else if (f.name == "link") {
      ASSERT_EQ(symlink("nowhere", dir.at("link").c_str()), 0);
    } else {
      dir.write(f.name, f.content);
    }
  }
}

TEST_P(TallyCases, PrintsExactly) {
  const TallyCase& c = GetParam();
  TempDir dir;
  create_files(dir, c.files);
  RunResult r = run_program(NETTALLY_BIN, c.argv, dir.path());
  EXPECT_EQ(r.out, c.out);
  EXPECT_EQ(r.err, c.err);
  EXPECT_EQ(r.status, c.status);
  if (!c.merged.empty()) {
    EXPECT_EQ(r.merged, c.merged);
  }
}

INSTANTIATE_TEST_SUITE_P(Nettally, TallyCases, ::testing::ValuesIn(tally_cases()),
                         [](const auto& test) { return std::string(test.param.name); });

void write_definitions(const TempDir& dir) {
  dir.write("our.nets", NETS);
  dir.write("custs", CUSTS);
}

// Directory mode: the expected standard error follows the directory's own
// listing order, which differs between file systems.
struct DirEntry {
  std::string name;
  std::string flow_text;  // empty: a plain file that is not read
};

std::string directory_err(const std::string& dir_path, const std::vector<DirEntry>& entries) {
  std::string err;
  for (const std::string& name : list_directory(dir_path)) {
    bool is_flow = is_flow_name(name);
    err += walk_line(name);
    for (const DirEntry& e : entries)
      if (e.name == name && is_flow && e.flow_text.find("icmp 203.0.113.5") != std::string::npos)
        err += TRAFFIC_STRANGE;
  }
  return err;
}

TEST(NettallyDirectory, ReadsEveryFlowFileInListingOrder) {
  TempDir dir;
  write_definitions(dir);
  dir.mkdir("day");
  // TRAFFIC split over two files with the same totals, and names that are
  // no flow files: a capital F, no point, a leading point, other text.
  std::string head = "header 1100000000 0 0 0 0\n";
  std::string body = std::string(TRAFFIC).substr(std::string(TRAFFIC).find('\n') + 1);
  size_t half = body.find("udp 192.0.2.5");
  std::vector<DirEntry> entries = {
      {"flow.1", head + body.substr(0, half)},
      {"flow.", head + body.substr(half)},
      {"Flow.x", ""},
      {"flow", ""},
      {".flow.x", ""},
      {"notes.txt", ""},
      {"flowflow.", ""},
  };
  for (const DirEntry& e : entries) {
    if (e.flow_text.empty()) dir.write("day/" + e.name, "not a flow file");
    else dir.write_flow("day/" + e.name, e.flow_text);
  }
  std::string err = NETS_ECHO + directory_err(dir.at("day"), entries);
  RunResult r = run_program(NETTALLY_BIN, {"nettally", "day"}, dir.path());
  EXPECT_EQ(r.out, TRAFFIC_REPORT);
  EXPECT_EQ(r.err, err);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.merged, err + TRAFFIC_REPORT);

  // An absolute path reads the same; the definitions still come from the
  // directory nettally was started in.
  RunResult a = run_program(NETTALLY_BIN, {"nettally", dir.at("day")}, dir.path());
  EXPECT_EQ(a.out, TRAFFIC_REPORT);
  EXPECT_EQ(a.err, err);
}

// The README's recipe for a longer period: a directory of symbolic links
// named flow.* to the flow files of several days (which have the same
// names), tallied in one run. 192.0.2.10 stays under the threshold on each
// day alone but passes it over both.
TEST(NettallyDirectory, ALongerPeriodFromLinksToSeveralDays) {
  TempDir dir;
  dir.write("our.nets", "192.0.2.0/24\n");
  dir.write("custs", "192.0.2.0/29 acme\n");
  dir.mkdir("flows");
  dir.mkdir("flows/2026-11-23");
  dir.mkdir("flows/2026-11-24");
  dir.mkdir("flows/2026-12-01");  // not of the week: not linked
  dir.write_flow("flows/2026-11-23/flow.0900",
                 "header 1100000000 0 0 0 0\n"
                 "tcp 198.51.100.1:1 192.0.2.10:443 0 100 10 3000 5 3000\n"
                 "tcp 192.0.2.1:1 192.0.2.2:2 0 0 1 500 1 700\n");
  dir.write_flow("flows/2026-11-24/flow.0900",
                 "header 1100086400 0 0 0 0\n"
                 "tcp 198.51.100.1:1 192.0.2.10:443 50 60 10 2000 5 2000\n"
                 "udp 192.0.2.1:53 203.0.113.9:53 5 9 7 9000 8 8000\n");
  dir.write_flow("flows/2026-12-01/flow.0900",
                 "header 1100600000 0 0 0 0\n"
                 "udp 192.0.2.1:53 203.0.113.9:53 5 9 7 9000 8 8000\n");
  // The recipe as the README gives it, /var/flows being the directory of
  // days, with this nettally.
  std::string recipe;
  for (const std::string& block : readme_blocks("### Networks over several runs, and longer periods"))
    if (block.find("mkdir week") != std::string::npos) recipe = block;
  ASSERT_NE(recipe.find("/var/flows"), std::string::npos) << recipe;
  recipe.replace(recipe.find("/var/flows"), 10, dir.at("flows"));
  dir.mkdir("reports");
  dir.mkdir("notes");
  dir.write("recipe.sh", recipe);
  std::string bin_dir = std::string(NETTALLY_BIN).substr(0, std::string(NETTALLY_BIN).rfind('/'));
  RunResult run = run_program_once(
      "/bin/sh", {"sh", "-c", "PATH='" + bin_dir + "':$PATH; . ./recipe.sh"}, dir.path());
  ASSERT_EQ(run.status, 0) << run.err;

  std::vector<std::string> names = list_directory(dir.at("week"));
  std::vector<std::string> links;
  std::string err = "192.0.2.0 Mask:24\n";
  for (const std::string& name : names) {
    err += walk_line(name);
    if (is_flow_name(name)) links.push_back(name);
  }
  std::sort(links.begin(), links.end());
  EXPECT_EQ(links, (std::vector<std::string>{"flow.2026-11-23.0900", "flow.2026-11-24.0900"}));

  // Home slots: 192.0.2.1 95077 before 192.0.2.10 95086.
  const std::string report =
      "192.0.2.1 8000 9000 8 7 1100086405 1100086409 700 500 acme\n"
      "192.0.2.10 5000 5000 20 10 1100000000 1100086460 0 0 DEFAULT\n";
  EXPECT_EQ(read_file(dir.at("reports/week-48")), report);
  EXPECT_EQ(read_file(dir.at("notes/week-48")), err);

  // Either day alone leaves 192.0.2.10 out of its report.
  for (const char* day : {"flows/2026-11-23", "flows/2026-11-24"}) {
    RunResult one = run_program(NETTALLY_BIN, {"nettally", day}, dir.path());
    EXPECT_EQ(one.out.find("192.0.2.10 "), std::string::npos) << day;
    EXPECT_EQ(one.status, 0) << day;
  }
}

TEST(NettallyDirectory, WithoutFlowFilesReportsNothing) {
  TempDir dir;
  write_definitions(dir);
  dir.mkdir("empty");
  RunResult r = run_program(NETTALLY_BIN, {"nettally", "empty"}, dir.path());
  std::string err = std::string(NETS_ECHO) + directory_err(dir.at("empty"), {});
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, err);
  EXPECT_EQ(r.status, 0);
}

// A bad entry stops the walk: the files after it are not read, and there is
// no report even for the files already tallied.
TEST(NettallyDirectory, BadEntriesEndTheRun) {
  struct {
    const char* entry;
    const char* message;  // after "Flowfile:<entry>\n"
    const char* out;
  } cases[] = {
      {"flow.d", "Short read header: Is a directory\n", ""},
      {"flow.link", "open flowfile: No such file or directory\n", ""},
      {"flow.short", "Short read header: flow.short has 10 of 272 bytes\n", ""},
      {"flow.magic", "", "No KVRZ File\n"},
  };
  for (const auto& c : cases) {
    TempDir dir;
    write_definitions(dir);
    dir.mkdir("day");
    std::string entry = c.entry;
    std::string path = dir.at("day/" + entry);
    if (entry == "flow.d") dir.mkdir("day/flow.d");
    if (entry == "flow.link") {
      ASSERT_EQ(symlink("nowhere", path.c_str()), 0);
    }
    if (entry == "flow.short") dir.write("day/flow.short", "0123456789");
    if (entry == "flow.magic") dir.write_flow("day/flow.magic", "header 0 0 0 0 0 KVRA\n");
    dir.write_flow("day/flow.good", TRAFFIC);

    std::string err = NETS_ECHO;
    for (const std::string& name : list_directory(dir.at("day"))) {
      err += walk_line(name);
      if (name == entry) {
        err += c.message;
        break;
      }
      if (name == "flow.good") err += TRAFFIC_STRANGE;
    }
    RunResult r = run_program(NETTALLY_BIN, {"nettally", "day"}, dir.path());
    EXPECT_EQ(r.out, c.out) << entry;
    EXPECT_EQ(r.err, err) << entry;
    EXPECT_EQ(r.status, 1) << entry;
    EXPECT_EQ(r.merged, err + c.out) << entry;
  }
}

// A pipe, a FIFO or a device named as the path is read as one flow file,
// like a regular file; a slow writer is waited for, and so is a FIFO's
// writer that comes late. A FIFO entry of a directory gets a bounded wait.
std::string traffic_bytes(const TempDir& dir) {
  dir.write_flow("traffic", TRAFFIC);
  return read_file(dir.at("traffic"));
}

TEST(NettallyPipes, APipeAsThePathIsReadAsItComes) {
  TempDir dir;
  write_definitions(dir);
  std::string bytes = traffic_bytes(dir);
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  int writer = start_slow_writer(fds[1], bytes, 100);  // header and records cut in pieces
  close(fds[1]);
  // What `nettally <(zcat flow.gz)` names.
  RunResult r = run_program_once(NETTALLY_BIN, {"nettally", "/dev/fd/" + std::to_string(fds[0])},
                                 dir.path());
  close(fds[0]);
  EXPECT_TRUE(finish_slow_writer(writer));
  EXPECT_EQ(r.out, "File\n" + std::string(TRAFFIC_REPORT));
  EXPECT_EQ(r.err, NETS_ECHO + std::string(TRAFFIC_STRANGE));
  EXPECT_EQ(r.status, 0);
}

TEST(NettallyPipes, AFifoWithASlowWriterIsWaitedFor) {
  for (bool entry : {false, true}) {
    TempDir dir;
    write_definitions(dir);
    std::string bytes = traffic_bytes(dir);
    dir.mkdir("day");
    std::string fifo = entry ? "day/flow.1" : "pipe";
    ASSERT_EQ(mkfifo(dir.at(fifo).c_str(), 0666), 0);
    // Held open for reading and writing, the FIFO has a writer from the
    // start, and keeps what is written until nettally reads it.
    int fd = open(dir.at(fifo).c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    int writer = start_slow_writer(fd, bytes, 150);
    close(fd);
    RunResult r = run_program_once(NETTALLY_BIN, {"nettally", entry ? "day" : "pipe"}, dir.path());
    EXPECT_TRUE(finish_slow_writer(writer)) << fifo;
    std::string err = NETS_ECHO;
    if (entry) {
      for (const std::string& name : list_directory(dir.at("day"))) {
        err += walk_line(name);
        if (name == "flow.1") err += TRAFFIC_STRANGE;
      }
    } else {
      err += TRAFFIC_STRANGE;
    }
    EXPECT_EQ(r.out, (entry ? "" : "File\n") + std::string(TRAFFIC_REPORT)) << fifo;
    EXPECT_EQ(r.err, err) << fifo;
    EXPECT_EQ(r.status, 0) << fifo;
  }
}

// Nothing to read is no empty report: the short-header error. A FIFO whose
// writer closes it at once is read to its end as cat would read it.
TEST(NettallyPipes, AnEmptyFifoOrAnEmptyDeviceIsAnError) {
  TempDir dir;
  write_definitions(dir);
  ASSERT_EQ(mkfifo(dir.at("pipe").c_str(), 0666), 0);
  int writer = start_fifo_writer(dir.at("pipe"), "", 0, 1, 0);
  RunResult fifo = run_program_once(NETTALLY_BIN, {"nettally", "pipe"}, dir.path());
  EXPECT_TRUE(finish_slow_writer(writer));
  EXPECT_EQ(fifo.out, "File\n");
  EXPECT_EQ(fifo.err, NETS_ECHO + std::string("Short read header: pipe has 0 of 272 bytes\n"));
  EXPECT_EQ(fifo.status, 1);

  RunResult r = run_program(NETTALLY_BIN, {"nettally", "/dev/null"}, dir.path());
  EXPECT_EQ(r.out, "File\n");
  EXPECT_EQ(r.err, NETS_ECHO + std::string("Short read header: /dev/null has 0 of 272 bytes\n"));
  EXPECT_EQ(r.status, 1);
  // As for a short regular file: "File" waits in the buffer of standard
  // output until the end of the process.
  EXPECT_EQ(r.merged, r.err + "File\n");
}

// `mkfifo ff; nettally ff & cat flow >ff`: the FIFO named as the path is
// opened as cat opens it, waiting for its writer, however late that comes,
// and the run is that of the same file read as a regular file.
TEST(NettallyPipes, AFifoPathWaitsForALateWriter) {
  TempDir dir;
  write_definitions(dir);
  std::string bytes = traffic_bytes(dir);
  RunResult file = run_program_once(NETTALLY_BIN, {"nettally", "traffic"}, dir.path());
  ASSERT_EQ(file.status, 0);
  ASSERT_EQ(mkfifo(dir.at("ff").c_str(), 0666), 0);
  int writer = start_fifo_writer(dir.at("ff"), bytes, 200, bytes.size(), 0);
  RunResult r = run_program_once(NETTALLY_BIN, {"nettally", "ff"}, dir.path());
  EXPECT_TRUE(finish_slow_writer(writer));
  EXPECT_EQ(r.out, file.out);
  EXPECT_EQ(r.err, file.err);
  EXPECT_EQ(r.status, 0);
}

// The race of the writer's open against nettally's first read, run many
// times with the writer a little earlier or later each time: every run
// must succeed.
TEST(NettallyPipes, AFifoPathAndItsWriterInAnyOrder) {
  TempDir dir;
  write_definitions(dir);
  std::string bytes = traffic_bytes(dir);
  RunResult file = run_program_once(NETTALLY_BIN, {"nettally", "traffic"}, dir.path());
  ASSERT_EQ(file.status, 0);
  ASSERT_EQ(mkfifo(dir.at("ff").c_str(), 0666), 0);
  int failed = 0;
  for (unsigned i = 0; i < 100; i++) {
    int writer = start_fifo_writer(dir.at("ff"), bytes, i % 20, bytes.size(), 0);
    RunResult r = run_program_once(NETTALLY_BIN, {"nettally", "ff"}, dir.path());
    bool wrote = finish_slow_writer(writer);
    if (!wrote || r.status != 0 || r.out != file.out || r.err != file.err) {
      failed++;
      ADD_FAILURE() << "run " << i << ": status " << r.status << ", " << r.err;
    }
  }
  EXPECT_EQ(failed, 0);
}

// A FIFO entry that nobody writes ends the run after the bounded wait
// (FLOW_ENTRY_WAIT_SECONDS, 10 s), with the short-header error naming it.
TEST(NettallyPipes, AFifoEntryWithoutAWriterEndsTheRunAfterItsWait) {
  TempDir dir;
  write_definitions(dir);
  dir.mkdir("day");
  ASSERT_EQ(mkfifo(dir.at("day/flow.fifo").c_str(), 0666), 0);
  dir.write_flow("day/flow.good", TRAFFIC);
  std::string err = NETS_ECHO;
  for (const std::string& name : list_directory(dir.at("day"))) {
    err += walk_line(name);
    if (name == "flow.fifo") {
      err += "Short read header: flow.fifo has 0 of 272 bytes\n";
      break;
    }
    if (name == "flow.good") err += TRAFFIC_STRANGE;
  }
  auto start = std::chrono::steady_clock::now();
  RunResult r = run_program_once(NETTALLY_BIN, {"nettally", "day"}, dir.path());
  auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, err);
  EXPECT_EQ(r.status, 1);
  // It did wait: an entry read at once (as if empty) would end in no time.
  EXPECT_GE(waited, std::chrono::seconds(9));
}

// A FIFO entry whose writer comes after a second and then writes slowly,
// the header in three pieces: once the header is in, the rest is waited
// for without a bound.
TEST(NettallyPipes, AFifoEntryWithALateSlowWriterIsRead) {
  TempDir dir;
  write_definitions(dir);
  std::string bytes = traffic_bytes(dir);
  dir.mkdir("day");
  ASSERT_EQ(mkfifo(dir.at("day/flow.1").c_str(), 0666), 0);
  int writer = start_fifo_writer(dir.at("day/flow.1"), bytes, 1000, 100, 150);
  RunResult r = run_program_once(NETTALLY_BIN, {"nettally", "day"}, dir.path());
  EXPECT_TRUE(finish_slow_writer(writer));
  std::string err = NETS_ECHO;
  for (const std::string& name : list_directory(dir.at("day"))) {
    err += walk_line(name);
    if (name == "flow.1") err += TRAFFIC_STRANGE;
  }
  EXPECT_EQ(r.out, TRAFFIC_REPORT);
  EXPECT_EQ(r.err, err);
  EXPECT_EQ(r.status, 0);
}

TEST(Nettally, SupernetEntriesThatAreNotAddressAndPrefix) {
  const std::string bad = "our.nets: entry ";
  const std::string what = " is not an address and a prefix length of 0 to 32: ";
  struct {
    const char* nets;
    std::string err;
  } cases[] = {
      {"10.0.0.0/30\n# a comment\n", "10.0.0.0 Mask:30\n" + bad + "2" + what + "\"#\" (line 2)\n"},
      {"10.0.0.0\n", bad + "1" + what + "\"10.0.0.0\\n\" (line 1)\n"},
      {"10.0.0.0/33\n", bad + "1" + what + "\"10.0.0.0/33\" (line 1)\n"},
      // The entry matches up to the x, which is the next one.
      {"10.0.0.0/24x\n", "10.0.0.0 Mask:24\n" + bad + "2" + what + "\"x\" (line 1)\n"},
      {"-10.0.0.0/24\n", bad + "1" + what + "\"-10.0.0.0/24\" (line 1)\n"},
      {"10.0.0.4294967296/32\n", bad + "1" + what + "\"10.0.0.4294967296/32\" (line 1)\n"},
      // White space may come before a number, never before "." or "/".
      {"10.0.0.0/30\n\n10.1.2.3\t/16\n",
       "10.0.0.0 Mask:30\n" + bad + "2" + what + "\"10.1.2.3\\t\" (line 3)\n"},
      {"10.0.0.0/30\r\n10\r\n.1.2.3/16\r\n",
       "10.0.0.0 Mask:30\n" + bad + "2" + what + "\"10\\r\" (line 2)\n"},
  };
  for (const auto& c : cases) {
    TempDir dir;
    dir.write("our.nets", c.nets);
    dir.write("custs", "");
    dir.write_flow("f", TRAFFIC);
    RunResult r = run_program(NETTALLY_BIN, {"nettally", "f"}, dir.path());
    EXPECT_EQ(r.out, "") << c.nets;
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.status, 1);
  }
}

// An entry with white space before its numbers is the entry without it:
// the same echo, slots, customers, conflicts and report.
TEST(Nettally, SupernetEntriesBrokenBeforeTheirNumbersReadAsWritten) {
  const char* const custs = "192.0.2.0/29 acme\n10.0.0.1 beta\n192.0.2.4/30 late\n";
  auto run = [&](const std::string& nets) {
    TempDir dir;
    dir.write("our.nets", nets);
    dir.write("custs", custs);
    dir.write_flow("f", TRAFFIC);
    return run_program(NETTALLY_BIN, {"nettally", "f"}, dir.path());
  };
  RunResult plain = run(NETS);
  ASSERT_EQ(plain.status, 0);
  ASSERT_EQ(plain.out, "File\n" + std::string(TRAFFIC_REPORT));
  const char* const broken[] = {
      "10.0.0.0/ 30\n192.0.2.0/ 24\n",
      "10. 0. 0. 0/30\n192.\t0.\t2.\t0/24",
      "10.0.0.0/\n30\n192.0.2.0/\r\n24\r\n",
      "10.\v0.\f0.\r0/\n\n  30 192.0.2.\n0/24\n",
  };
  for (const char* nets : broken) {
    RunResult r = run(nets);
    EXPECT_EQ(r.out, plain.out) << nets;
    EXPECT_EQ(r.err, plain.err) << nets;
    EXPECT_EQ(r.merged, plain.merged) << nets;
    EXPECT_EQ(r.status, 0) << nets;
  }
}

TEST(Nettally, BundledExample) {
  TempDir dir;
  dir.write("our.nets", read_file(EXAMPLES_DIR "/our.nets"));
  dir.write("custs", read_file(EXAMPLES_DIR "/custs"));
  dir.mkdir("flows");
  dir.write_flow("flows/flow.0900", read_file(EXAMPLES_DIR "/flows/0900.txt"));
  dir.write_flow("flows/flow.0905", read_file(EXAMPLES_DIR "/flows/0905.txt"));
  RunResult r = run_program(NETTALLY_BIN, {"nettally", "flows"}, dir.path());
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out,
            "192.0.2.200 12000 18000 20 20 1795942805 1795943131 0 0 DEFAULT\n"
            "192.0.2.10 102000 2630000 1520 2125 1795942812 1795943399 1000000 20000 acme\n"
            "192.0.2.11 12000 400000 200 300 1795942900 1795942960 0 0 acme\n"
            "203.0.113.77 1000000 900000 400 500 1795943100 1795943340 0 0 umbrella\n");
}

}  // namespace
