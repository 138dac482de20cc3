// netbill end to end: definition files and flow files in a fresh
// directory, the real binary, whole outputs compared byte for byte. Every
// bill below is worked out by hand in the comments beside it.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "tests/e2e.h"

namespace {

// T0 = 1800000000 = 6,000,000 · 300: an edge of 5-minute and 1-minute
// intervals. k0 = [T0, T0+300), k1 = [T0+300, T0+600), k2 = [T0+600, T0+900).
const char* const NETS = "10.0.0.0/24\n";
// 10.0.0.200 stays DEFAULT's; gamma gets no traffic.
const char* const CUSTS = "10.0.0.0/28 acme\n10.0.0.16/28 beta\n10.0.0.64/28 gamma\n";

const char* const TRAFFIC =
    "header 1800000000 1800000900 0 0 0\n"
    // acme sends 3,000,000 and receives 7,001 over [T0+200, T0+700), 500 s:
    //   out before T0+300: 3000000·100/500 = 600000; before T0+600: ·400/500 = 2400000
    //     -> k0 600000, k1 1800000, k2 600000
    //   in before T0+300: ⌊7001·100/500⌋ = ⌊1400.2⌋ = 1400; before T0+600: ⌊5600.8⌋ = 5600
    //     -> k0 1400, k1 4200, k2 1401 (the rest: rounding down, not to nearest)
    "tcp 10.0.0.1:1 198.51.100.1:80 200 700 10 3000000 10 7001\n"
    // e <= s: all at T0+650, in k2. beta (the destination) receives 3000, sends 600.
    "udp 198.51.100.2:53 10.0.0.17:5 650 640 1 3000 1 600\n"
    // internal, and neither end ours: counted, not billed
    "tcp 10.0.0.1:1 10.0.0.2:2 0 0 1 99999 1 99999\n"
    "tcp 203.0.113.1:1 198.51.100.3:2 0 0 1 99999 1 99999\n"
    // DEFAULT sends 5000 at T0
    "udp 10.0.0.200:1 198.51.100.4:2 0 0 1 5000 0 0\n";

// No period: from the interval of the earliest start (T0) to the end of the
// interval of the latest last second (T0+699): N = 3, P 95 -> rank ⌈2.85⌉ = 3,
// the largest. Rates ⌊8·bytes/300⌋.
//   DEFAULT out [5000,0,0]: 133
//   acme in [1400,4200,1401]: p 112 (4200), out [600000,1800000,600000]: p 48000,
//     sum max 1804200: 48112
//   beta in [0,0,3000]: 80, out [0,0,600]: 16, sum 3600: 96
const char* const TRAFFIC_CSV =
    "customer,bytes_in,bytes_out,billable_bps,p_in_bps,p_out_bps,p_sum_bps,peak_in_bps,peak_out_bps,"
    "active_intervals\n"
    "DEFAULT,0,5000,133,0,133,133,0,133,1\n"
    "acme,7001,3000000,48000,112,48000,48112,112,48000,3\n"
    "beta,3000,600,80,80,16,96,80,16,1\n"
    "gamma,0,0,0,0,0,0,0,0,0\n";
const char* const TRAFFIC_SERIES =
    "customer,interval_start,bytes_in,bytes_out\n"
    "DEFAULT,1800000000,0,5000\n"
    "acme,1800000000,1400,600000\n"
    "acme,1800000300,4200,1800000\n"
    "acme,1800000600,1401,600000\n"
    "beta,1800000600,3000,600\n";
const char* const NOT_BILLED = "netbill: not billed: 1 internal flows, 1 flows with neither end in our.nets\n";

const std::string HEAD =
    "customer,bytes_in,bytes_out,billable_bps,p_in_bps,p_out_bps,p_sum_bps,peak_in_bps,peak_out_bps,"
    "active_intervals\n";

enum class Kind { TEXT, FLOW, DIR, LINK };
struct File {
  std::string name;
  std::string content;  // text, mkflow's description, or a link's target
  Kind kind = Kind::TEXT;
};
File nets(const std::string& s) { return {"our.nets", s}; }
File custs(const std::string& s) { return {"custs", s}; }
File flow(const std::string& name, const std::string& text) { return {name, text, Kind::FLOW}; }
File dir(const std::string& name) { return {name, "", Kind::DIR}; }
File link(const std::string& name, const std::string& target) { return {name, target, Kind::LINK}; }

struct BillCase {
  const char* name;
  std::vector<File> files;
  std::vector<std::string> argv;
  std::string out;
  std::string err;
  int status;
  std::string series_path = "";  // a file the run writes, compared whole
  std::string series = "";
};

std::vector<File> base(const std::string& traffic = TRAFFIC) {
  return {nets(NETS), custs(CUSTS), flow("f", traffic)};
}
std::vector<File> plus(std::vector<File> files, const std::vector<File>& more) {
  files.insert(files.end(), more.begin(), more.end());
  return files;
}

const std::string OPTIONS_HINT = " (netbill --help lists the options)\n";
const std::string INTERVAL_WORDS = "a whole number of seconds from 1 to 86400, or with s, m or h\n";
const std::string TIME_WORDS = "@EPOCHSECONDS, YYYY-MM-DD, YYYY-MM-DDTHH:MM or YYYY-MM-DDTHH:MM:SS\n";

// Percentiles: 1-minute intervals over [T0, T0+240), N = 4; acme receives
// 600, 1200, nothing, 300 (all e <= s): sorted 0, 300, 600, 1200.
const char* const MINUTES =
    "header 1800000000 1800000240 0 0 0\n"
    "tcp 198.51.100.1:1 10.0.0.1:2 0 0 1 600 0 0\n"
    "tcp 198.51.100.1:1 10.0.0.1:2 60 60 1 1200 0 0\n"
    "tcp 198.51.100.1:1 10.0.0.1:2 180 180 1 300 0 0\n";
std::string minutes_bill(const std::string& p_bps) {
  // peak ⌊8·1200/60⌋ = 160; three active intervals of four
  return HEAD + "DEFAULT,0,0,0,0,0,0,0,0,0\nacme,2100,0," + p_bps + "," + p_bps + ",0," + p_bps +
         ",160,0,3\nbeta,0,0,0,0,0,0,0,0,0\ngamma,0,0,0,0,0,0,0,0,0\n";
}
std::vector<std::string> minutes_run(const std::string& p) {
  return {"netbill", "-o", "csv", "-i", "1m", "-p", p, "-f", "@1800000000", "-t", "@1800000240", "f"};
}
const std::string MINUTES_ERR = "netbill: not billed: 0 internal flows, 0 flows with neither end in our.nets\n"
                                "netbill: not billed: 0 bytes outside the period\n";

// Two entries of one name, an entry named DEFAULT, conflicts, an entry
// partly outside our.nets, and names that CSV must quote.
const char* const SHARED_CUSTS =
    "10.0.0.0/30 acme\n"
    "10.0.0.2/31 q,\"x\"\n"  // both addresses are acme's already: claims nothing
    "\n"
    "10.0.0.8/30 acme\n"      // acme's second block
    "10.0.0.16/30 DEFAULT\n"  // shares DEFAULT's bill
    "10.0.0.0/23 wide\n";     // 12 held already, 256 outside: claims the other 244
const char* const SHARED_TRAFFIC =
    "header 1800000000 1800000300 0 0 0\n"
    "tcp 198.51.100.1:1 10.0.0.1:2 0 0 1 100 0 0\n"
    "tcp 198.51.100.1:1 10.0.0.9:2 0 0 1 200 0 0\n"
    "tcp 198.51.100.1:1 10.0.0.3:2 0 0 1 50 0 0\n"  // acme's, not q,"x"'s
    "tcp 198.51.100.1:1 10.0.0.17:2 0 0 1 300 0 0\n"
    "tcp 198.51.100.1:1 10.0.0.100:2 0 0 1 400 0 0\n";
const char* const SHARED_NOTES =
    "custs: entry 2 (line 2), 10.0.0.2/31 q,\"x\": 2 addresses held by earlier entries\n"
    "custs: entry 5 (line 6), 10.0.0.0/23 wide: 12 addresses held by earlier entries\n"
    "custs: entry 5 (line 6), 10.0.0.0/23 wide: 256 addresses outside our.nets\n";

std::vector<BillCase> bill_cases() {
  const std::string n0 = "netbill: not billed: 0 internal flows, 0 flows with neither end in our.nets\n";
  return {
      {"csv_of_flows_spread_over_interval_edges", base(), {"netbill", "-o", "csv", "f"}, TRAFFIC_CSV,
       NOT_BILLED, 0},
      {"series_file", base(), {"netbill", "-o", "csv", "-s", "series.csv", "f"}, TRAFFIC_CSV, NOT_BILLED, 0,
       "series.csv", TRAFFIC_SERIES},
      // Only k1: acme in 4200, out 1800000; beta's k2 and DEFAULT's k0 fall
      // outside. Outside: acme 1400+1401+600000+600000, beta 3600, DEFAULT 5000
      // = 1211401 bytes.
      {"period_clips_flows_on_both_sides", base(),
       {"netbill", "-o", "json", "-f", "@1800000300", "-t", "@1800000600", "f"},
       "{\"from\":1800000300,\"to\":1800000600,\"interval\":300,\"percentile\":95,\"intervals\":1,"
       "\"customers\":["
       "{\"customer\":\"DEFAULT\",\"bytes_in\":0,\"bytes_out\":0,\"billable_bps\":0,\"p_in_bps\":0,"
       "\"p_out_bps\":0,\"p_sum_bps\":0,\"peak_in_bps\":0,\"peak_out_bps\":0,\"active_intervals\":0},"
       "{\"customer\":\"acme\",\"bytes_in\":4200,\"bytes_out\":1800000,\"billable_bps\":48000,"
       "\"p_in_bps\":112,\"p_out_bps\":48000,\"p_sum_bps\":48112,\"peak_in_bps\":112,"
       "\"peak_out_bps\":48000,\"active_intervals\":1},"
       "{\"customer\":\"beta\",\"bytes_in\":0,\"bytes_out\":0,\"billable_bps\":0,\"p_in_bps\":0,"
       "\"p_out_bps\":0,\"p_sum_bps\":0,\"peak_in_bps\":0,\"peak_out_bps\":0,\"active_intervals\":0},"
       "{\"customer\":\"gamma\",\"bytes_in\":0,\"bytes_out\":0,\"billable_bps\":0,\"p_in_bps\":0,"
       "\"p_out_bps\":0,\"p_sum_bps\":0,\"peak_in_bps\":0,\"peak_out_bps\":0,\"active_intervals\":0}]}\n",
       std::string(NOT_BILLED) + "netbill: not billed: 1211401 bytes outside the period\n", 0},
      // N = 4, P 50: rank 50·4/100 = 2 exactly -> 300 bytes, ⌊8·300/60⌋ = 40. The
      // zero interval counts: without it the rank-2 sample would be 600.
      {"rank_whole_and_zero_intervals_counted", base(MINUTES), minutes_run("50"), minutes_bill("40"),
       MINUTES_ERR, 0},
      // P 60: 2.4 -> rank 3 -> 600 bytes: 80
      {"rank_rounded_up", base(MINUTES), minutes_run("60"), minutes_bill("80"), MINUTES_ERR, 0},
      // P 100: the largest, 1200: 160; P 1: ⌈0.04⌉ = 1, the zero
      {"rank_of_100_is_the_largest", base(MINUTES), minutes_run("100"), minutes_bill("160"), MINUTES_ERR, 0},
      {"rank_of_1_is_the_smallest", base(MINUTES), minutes_run("1"), minutes_bill("0"), MINUTES_ERR, 0},
      // Two flows of 4294967295 bytes each, in k0: 8589934590 bytes,
      // ⌊8·8589934590/300⌋ = 229064922.
      {"32_bit_maxima_summed_past_2_to_the_32",
       base("header 1800000000 0 0 0 0\n"
            "udp 198.51.100.9:1 10.0.0.5:2 0 0 1 4294967295 1 0\n"
            "udp 198.51.100.9:1 10.0.0.5:2 10 0 1 4294967295 1 0\n"),
       {"netbill", "-o", "csv", "f"},
       HEAD + "DEFAULT,0,0,0,0,0,0,0,0,0\nacme,8589934590,0,229064922,229064922,0,229064922,229064922,0,1\n"
              "beta,0,0,0,0,0,0,0,0,0\ngamma,0,0,0,0,0,0,0,0,0\n",
       n0, 0},
      // A flow of 65,535 s from T0: 65535 bytes in, one per second, over
      // 219 intervals: 218 of 300 bytes and the last [T0+65400, T0+65535)
      // of 135. P 95: rank ⌈208.05⌉ = 209, 300 bytes: 8; active 219.
      {"flow_of_65535_seconds",
       base("header 1800000000 0 0 0 0\ntcp 198.51.100.9:1 10.0.0.5:2 0 65535 1 65535 1 0\n"),
       {"netbill", "-o", "csv", "f"},
       HEAD + "DEFAULT,0,0,0,0,0,0,0,0,0\nacme,65535,0,8,8,0,8,8,0,219\nbeta,0,0,0,0,0,0,0,0,0\n"
              "gamma,0,0,0,0,0,0,0,0,0\n",
       n0, 0},
      // acme 100+200+50 = 350: ⌊2800/300⌋ = 9; DEFAULT (the entry) 300: 8;
      // wide 400: 10; q,"x" nothing, quoted with its quotes doubled.
      {"shared_names_default_conflicts_and_csv_quoting",
       {nets(NETS), custs(SHARED_CUSTS), flow("f", SHARED_TRAFFIC)}, {"netbill", "-o", "csv", "f"},
       HEAD + "DEFAULT,300,0,8,8,0,8,8,0,1\nacme,350,0,9,9,0,9,9,0,1\n\"q,\"\"x\"\"\",0,0,0,0,0,0,0,0,0\n"
              "wide,400,0,10,10,0,10,10,0,1\n",
       std::string(SHARED_NOTES) + n0, 0},
      // A name with a backslash, a quote, é in UTF-8, a byte of no UTF-8
      // sequence and a control byte: 100 bytes in, 2 bit/s.
      {"json_escapes",
       {nets(NETS), custs("10.0.0.0/30 a\\b\"c\xc3\xa9\xff\x01\n"),
        flow("f", "header 1800000000 0 0 0 0\ntcp 198.51.100.1:1 10.0.0.1:2 0 0 1 100 0 0\n")},
       {"netbill", "-o", "json", "f"},
       "{\"from\":1800000000,\"to\":1800000300,\"interval\":300,\"percentile\":95,\"intervals\":1,"
       "\"customers\":["
       "{\"customer\":\"DEFAULT\",\"bytes_in\":0,\"bytes_out\":0,\"billable_bps\":0,\"p_in_bps\":0,"
       "\"p_out_bps\":0,\"p_sum_bps\":0,\"peak_in_bps\":0,\"peak_out_bps\":0,\"active_intervals\":0},"
       "{\"customer\":\"a\\\\b\\\"c\xc3\xa9\\u00FF\\u0001\",\"bytes_in\":100,\"bytes_out\":0,\"billable_bps\":2,"
       "\"p_in_bps\":2,\"p_out_bps\":0,\"p_sum_bps\":2,\"peak_in_bps\":2,\"peak_out_bps\":0,"
       "\"active_intervals\":1}]}\n",
       n0, 0},
      // The text table: the period above, the name left-aligned, the rest
      // right-aligned, two blanks between columns.
      {"text_table", base(), {"netbill", "f"},
       "Period 2027-01-15 08:00:00 UTC to 2027-01-15 08:15:00 UTC: 3 intervals of 300 s, percentile 95\n"
       "customer      billable     p95_in       p95_out       p95_sum    peak_in      peak_out  bytes_in  bytes_out  active\n"
       "DEFAULT      133 bit/s    0 bit/s     133 bit/s     133 bit/s    0 bit/s     133 bit/s       0 B    5.00 kB       1\n"
       "acme      48.00 kbit/s  112 bit/s  48.00 kbit/s  48.11 kbit/s  112 bit/s  48.00 kbit/s   7.00 kB    3.00 MB       3\n"
       "beta          80 bit/s   80 bit/s      16 bit/s      96 bit/s   80 bit/s      16 bit/s   3.00 kB      600 B       1\n"
       "gamma          0 bit/s    0 bit/s       0 bit/s       0 bit/s    0 bit/s       0 bit/s       0 B        0 B       0\n",
       NOT_BILLED, 0},
      // No crossing flow: an empty period, every figure 0.
      {"no_crossing_flow_gives_an_empty_period", base("header 1800000000 0 0 0 0\n"),
       {"netbill", "-o", "json", "f"},
       "{\"from\":0,\"to\":0,\"interval\":300,\"percentile\":95,\"intervals\":0,\"customers\":["
       "{\"customer\":\"DEFAULT\",\"bytes_in\":0,\"bytes_out\":0,\"billable_bps\":0,\"p_in_bps\":0,"
       "\"p_out_bps\":0,\"p_sum_bps\":0,\"peak_in_bps\":0,\"peak_out_bps\":0,\"active_intervals\":0},"
       "{\"customer\":\"acme\",\"bytes_in\":0,\"bytes_out\":0,\"billable_bps\":0,\"p_in_bps\":0,"
       "\"p_out_bps\":0,\"p_sum_bps\":0,\"peak_in_bps\":0,\"peak_out_bps\":0,\"active_intervals\":0},"
       "{\"customer\":\"beta\",\"bytes_in\":0,\"bytes_out\":0,\"billable_bps\":0,\"p_in_bps\":0,"
       "\"p_out_bps\":0,\"p_sum_bps\":0,\"peak_in_bps\":0,\"peak_out_bps\":0,\"active_intervals\":0},"
       "{\"customer\":\"gamma\",\"bytes_in\":0,\"bytes_out\":0,\"billable_bps\":0,\"p_in_bps\":0,"
       "\"p_out_bps\":0,\"p_sum_bps\":0,\"peak_in_bps\":0,\"peak_out_bps\":0,\"active_intervals\":0}]}\n",
       n0, 0},
      // A tree: a/2027/01/flow.1 and a/flow.2, an entry that is not a flow
      // file; b/flow.again is a link to a/flow.2, and a/flow.2 is named once
      // more: each read once. flow.1: acme in 1000 at T0; flow.2: acme in 2000
      // at T0+300. N = 2, rank 2: 2000 bytes, 53 bit/s.
      {"directory_tree_with_a_link_to_a_file_already_read",
       {nets(NETS), custs(CUSTS), dir("a"), dir("a/2027"), dir("a/2027/01"), dir("b"),
        flow("a/2027/01/flow.1", "header 1800000000 0 0 0 0\ntcp 198.51.100.1:1 10.0.0.1:2 0 0 1 1000 0 0\n"),
        flow("a/flow.2", "header 1800000300 0 0 0 0\ntcp 198.51.100.1:1 10.0.0.1:2 0 0 1 2000 0 0\n"),
        {"a/README", "not a flow file"}, link("b/flow.again", "../a/flow.2")},
       {"netbill", "-o", "csv", "a", "b", "a/flow.2"},
       HEAD + "DEFAULT,0,0,0,0,0,0,0,0,0\nacme,3000,0,53,53,0,53,53,0,2\nbeta,0,0,0,0,0,0,0,0,0\n"
              "gamma,0,0,0,0,0,0,0,0,0\n",
       "netbill: b/flow.again: already read (the same file by another path), not read again\n"
       "netbill: a/flow.2: already read (the same file by another path), not read again\n" + n0,
       0},
      // A directory's entries are taken in the order of their names,
      // whatever order the file system lists them in: d/flow.a, a link to
      // d/flow.z, comes first, so flow.z is the one not read again.
      {"directory_entries_in_name_order",
       {nets(NETS), custs(CUSTS), dir("d"),
        flow("d/flow.z", "header 1800000000 0 0 0 0\ntcp 198.51.100.1:1 10.0.0.1:2 0 0 1 1000 0 0\n"),
        link("d/flow.a", "flow.z"), dir("d/flow.m"),
        flow("d/flow.m/flow.1", "header 1800000000 0 0 0 0\ntcp 198.51.100.1:1 10.0.0.1:2 0 0 1 1 0 0\n"),
        link("d/flow.n", "flow.m/flow.1")},
       {"netbill", "-o", "csv", "d"},
       HEAD + "DEFAULT,0,0,0,0,0,0,0,0,0\nacme,1001,0,26,26,0,26,26,0,1\nbeta,0,0,0,0,0,0,0,0,0\n"
              "gamma,0,0,0,0,0,0,0,0,0\n",
       "netbill: d/flow.n: already read (the same file by another path), not read again\n"
       "netbill: d/flow.z: already read (the same file by another path), not read again\n" + n0,
       0},
      // Without a period the intervals grow to the flows, read here out of
      // time order: k10, then k0 (growing back), then k100. N = 101, T0 to
      // T0+30300; acme in 100 (k0), 500 (k10), 900 (k100), 98 zeros. P 99:
      // rank ⌈99.99⌉ = 100, the 500: ⌊4000/300⌋ = 13; peak ⌊7200/300⌋ = 24.
      {"intervals_grow_both_ways_without_a_period",
       {nets(NETS), custs(CUSTS),
        flow("f1", "header 1800003000 0 0 0 0\ntcp 198.51.100.1:1 10.0.0.1:2 0 0 1 500 0 0\n"),
        flow("f2", "header 1800000000 0 0 0 0\ntcp 198.51.100.1:1 10.0.0.1:2 0 0 1 100 0 0\n"),
        flow("f3", "header 1800030000 0 0 0 0\ntcp 198.51.100.1:1 10.0.0.1:2 0 0 1 900 0 0\n")},
       {"netbill", "-o", "csv", "-p", "99", "-s", "s.csv", "f1", "f2", "f3"},
       HEAD + "DEFAULT,0,0,0,0,0,0,0,0,0\nacme,1500,0,13,13,0,13,24,0,3\nbeta,0,0,0,0,0,0,0,0,0\n"
              "gamma,0,0,0,0,0,0,0,0,0\n",
       n0, 0, "s.csv",
       "customer,interval_start,bytes_in,bytes_out\nacme,1800000000,100,0\nacme,1800003000,500,0\n"
       "acme,1800030000,900,0\n"},
      {"partial_last_record_is_noted_and_kept",
       base(std::string(TRAFFIC) + "raw 06 00 0a 00 46\n"), {"netbill", "-o", "csv", "f"}, TRAFFIC_CSV,
       "netbill: Partial record: f ends with 5 bytes after its last whole record\n" + std::string(NOT_BILLED), 0},
      {"help", {}, {"netbill", "--help"},
       "usage: netbill [-n NETS] [-c CUSTS] [-i INTERVAL] [-p PERCENTILE] [-f FROM -t TO | -m MONTH]\n"
       "               [-o text|csv|json] [-s SERIES.csv] [-g DIR] PATH...\n"
       "  -n, --nets FILE         the supernets (default our.nets)\n"
       "  -c, --custs FILE        the customers (default custs)\n"
       "  -i, --interval LENGTH   seconds, or with s, m or h: 1 s to 1 day (default 300)\n"
       "  -p, --percentile P      1 to 100, by nearest rank (default 95)\n"
       "  -f, --from TIME         the period's start, with -t: @EPOCHSECONDS, YYYY-MM-DD,\n"
       "                          YYYY-MM-DDTHH:MM or YYYY-MM-DDTHH:MM:SS, in local time\n"
       "  -t, --to TIME           the period's end, not included\n"
       "  -m, --month YYYY-MM     the calendar month in local time as the period\n"
       "  -o, --format FORMAT     text (default), csv or json\n"
       "  -s, --series FILE       write every customer's bytes per interval as CSV\n"
       "  -g, --graphs DIR        write one SVG graph per customer into DIR\n"
       "      --help              print this and exit\n"
       "      --version           print the version and exit\n"
       "PATH is a flow file, or a directory whose flow.* files are read, with its subdirectories.\n",
       "", 0},
      {"version", {}, {"netbill", "--version"}, "netbill 1.0.0\n", "", 0},
      {"other_definition_files_by_long_options",
       {nets("10.9.0.0/24\n"), custs("10.9.0.0/24 nobody\n"), {"n2", NETS}, {"c2", CUSTS},
        flow("f", TRAFFIC)},
       {"netbill", "--nets", "n2", "--custs=c2", "--format", "csv", "f"}, TRAFFIC_CSV, NOT_BILLED, 0},

      // Errors: a message, status 1, nothing on standard output.
      {"unknown_option", base(), {"netbill", "-x", "f"}, "", "netbill: unknown option -x" + OPTIONS_HINT, 1},
      {"unknown_long_option", base(), {"netbill", "--bogus", "f"}, "",
       "netbill: unknown option --bogus" + OPTIONS_HINT, 1},
      {"option_without_its_value", base(), {"netbill", "f", "-i"}, "",
       "netbill: option -i needs a value" + OPTIONS_HINT, 1},
      {"interval_0", base(), {"netbill", "-i", "0", "f"}, "", "netbill: bad interval \"0\": " + INTERVAL_WORDS, 1},
      {"interval_over_a_day", base(), {"netbill", "-i", "86401", "f"}, "",
       "netbill: bad interval \"86401\": " + INTERVAL_WORDS, 1},
      {"interval_not_a_number", base(), {"netbill", "--interval", "5x", "f"}, "",
       "netbill: bad interval \"5x\": " + INTERVAL_WORDS, 1},
      {"percentile_0", base(), {"netbill", "-p", "0", "f"}, "",
       "netbill: bad percentile \"0\": a whole number from 1 to 100\n", 1},
      {"percentile_101", base(), {"netbill", "-p", "101", "f"}, "",
       "netbill: bad percentile \"101\": a whole number from 1 to 100\n", 1},
      {"format_unknown", base(), {"netbill", "-o", "xml", "f"}, "",
       "netbill: bad format \"xml\": text, csv or json\n", 1},
      {"from_off_an_interval_edge", base(), {"netbill", "-f", "@1800000001", "-t", "@1800000300", "f"}, "",
       "netbill: the period starts at 1800000001, not on an interval edge (a multiple of 300 seconds)\n", 1},
      {"to_off_an_interval_edge", base(), {"netbill", "-f", "@1800000000", "-t", "@1800000301", "f"}, "",
       "netbill: the period ends at 1800000301, not on an interval edge (a multiple of 300 seconds)\n", 1},
      {"empty_period", base(), {"netbill", "-f", "@1800000300", "-t", "@1800000300", "f"}, "",
       "netbill: the period from 1800000300 to 1800000300 is empty: it must end after it starts\n", 1},
      {"period_backwards", base(), {"netbill", "-f", "2027-01-16", "-t", "2027-01-15", "f"}, "",
       "netbill: the period from 1800057600 to 1799971200 is empty: it must end after it starts\n", 1},
      {"from_without_to", base(), {"netbill", "-f", "@1800000000", "f"}, "",
       "netbill: -f needs -t: the period has no end\n", 1},
      {"to_without_from", base(), {"netbill", "-t", "@1800000000", "f"}, "",
       "netbill: -t needs -f: the period has no start\n", 1},
      {"month_and_from", base(), {"netbill", "-m", "2027-01", "-f", "@0", "-t", "@300", "f"}, "",
       "netbill: -m and -f/-t both give the period: use one\n", 1},
      {"bad_time", base(), {"netbill", "-f", "2027-02-29", "-t", "2027-03-01", "f"}, "",
       "netbill: bad time \"2027-02-29\": " + TIME_WORDS, 1},
      {"bad_month", base(), {"netbill", "-m", "2027-13", "f"}, "",
       "netbill: bad month \"2027-13\": YYYY-MM\n", 1},
      {"no_path", base(), {"netbill", "-o", "csv"}, "",
       "netbill: no PATH given: name flow files or directories" + OPTIONS_HINT, 1},
      {"missing_path", base(), {"netbill", "f", "nope"}, "", "netbill: nope: No such file or directory\n", 1},
      {"missing_supernets_file", {custs(CUSTS), flow("f", TRAFFIC)}, {"netbill", "f"}, "",
       "Open SUPERNETS: No such file or directory\n", 1},
      {"missing_customer_file", {nets(NETS), flow("f", TRAFFIC)}, {"netbill", "f"}, "",
       "Opening custs file: No such file or directory\n", 1},
      {"bad_customer_entry_on_standard_error", {nets(NETS), custs("10.0.0.0/28 a\n10.0.0.0/33 b\n")},
       {"netbill", "f"}, "", "Bad Statement in Line 2 : 10.0.0.0/33 b\n", 1},
      {"bad_supernets_entry", {nets("10.0.0.0/24\n10.0.0/24\n"), custs(CUSTS)}, {"netbill", "f"}, "",
       "our.nets: entry 2 is not an address and a prefix length of 0 to 32: \"10.0.0/\" (line 2)\n", 1},
      {"empty_flow_file", plus({nets(NETS), custs(CUSTS)}, {{"f", ""}}), {"netbill", "f"}, "",
       "netbill: Short read header: f has 0 of 272 bytes\n", 1},
      {"wrong_magic", base("header 1 2 3 4 5 KVZR\n"), {"netbill", "f"}, "", "netbill: No KVRZ File: f\n", 1},
      {"wrong_magic_in_a_directory",
       {nets(NETS), custs(CUSTS), dir("d"), flow("d/flow.x", "header 1 2 3 4 5 KVZR\n")}, {"netbill", "d"}, "",
       "netbill: No KVRZ File: d/flow.x\n", 1},
      {"dangling_flow_link_in_a_directory", {nets(NETS), custs(CUSTS), dir("d"), link("d/flow.x", "nowhere")},
       {"netbill", "d"}, "", "netbill: d/flow.x: No such file or directory\n", 1},
      {"series_file_that_cannot_be_made", base(), {"netbill", "-s", "nodir/s.csv", "f"}, "",
       std::string(NOT_BILLED) + "netbill: create nodir/s.csv: No such file or directory\n", 1},
  };
}

void PrintTo(const BillCase& c, std::ostream* os) { *os << c.name; }

class BillCases : public ::testing::TestWithParam<BillCase> {};

void create_files(const TempDir& d, const std::vector<File>& files) {
  for (const File& f : files) {
    switch (f.kind) {
      case Kind::FLOW: d.write_flow(f.name, f.content); break;
      case Kind::DIR: d.mkdir(f.name); break;
      case Kind::LINK: ASSERT_EQ(symlink(f.content.c_str(), d.at(f.name).c_str()), 0); break;
      case Kind::TEXT: d.write(f.name, f.content); break;
    }
  }
}

TEST_P(BillCases, PrintsExactly) {
  const BillCase& c = GetParam();
  TempDir d;
  create_files(d, c.files);
  RunResult r = run_program(NETBILL_BIN, c.argv, d.path());
  EXPECT_EQ(r.out, c.out);
  EXPECT_EQ(r.err, c.err);
  EXPECT_EQ(r.status, c.status);
  if (!c.series_path.empty()) {
    EXPECT_EQ(read_file(d.at(c.series_path)), c.series);
  }
}

INSTANTIATE_TEST_SUITE_P(Netbill, BillCases, ::testing::ValuesIn(bill_cases()),
                         [](const ::testing::TestParamInfo<BillCase>& i) { return std::string(i.param.name); });

// A month in local time: -m 2027-01 in Berlin is [2026-12-31T23:00Z,
// 2027-01-31T23:00Z), 8,928 five-minute intervals; a flow on either side of
// it is outside.
TEST(Netbill, MonthInLocalTime) {
  TempDir d;
  create_files(d, {nets(NETS), custs(CUSTS),
                   // 1798758000 = 2026-12-31T23:00Z, the month's start in Berlin
                   flow("f", "header 1798757700 0 0 0 0\n"
                             "tcp 198.51.100.1:1 10.0.0.1:2 0 0 1 111 0 0\n"      // 22:55Z: before
                             "tcp 198.51.100.1:1 10.0.0.1:2 300 300 1 300 0 0\n"  // 23:00Z: in
                             "tcp 198.51.100.1:1 10.0.0.1:2 301 301 1 30 0 0\n")});
  RunResult r = run_program(NETBILL_BIN, {"netbill", "-o", "json", "-m", "2027-01", "f"}, d.path(), "Europe/Berlin");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.rfind("{\"from\":1798758000,\"to\":1801436400,\"interval\":300,\"percentile\":95,\"intervals\":8928,", 0), 0u) << r.out;
  EXPECT_NE(r.out.find("{\"customer\":\"acme\",\"bytes_in\":330,"), std::string::npos) << r.out;
  EXPECT_EQ(r.err, "netbill: not billed: 0 internal flows, 0 flows with neither end in our.nets\n"
                   "netbill: not billed: 111 bytes outside the period\n");
}

// One graph per row, named by put_graph_file_name, each a whole SVG document.
TEST(Netbill, GraphsOnePerRow) {
  TempDir d;
  create_files(d, {nets(NETS), custs("10.0.0.0/28 acme\n10.0.0.16/28 a,b\n"), flow("f", TRAFFIC)});
  RunResult r = run_program(NETBILL_BIN, {"netbill", "-o", "csv", "-g", "graphs", "f"}, d.path());
  EXPECT_EQ(r.status, 0) << r.err;
  std::vector<std::string> names;
  for (const std::string& n : list_directory(d.at("graphs")))
    if (n != "." && n != "..") names.push_back(n);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"DEFAULT.svg", "a%2Cb.svg", "acme.svg"}));
  for (const std::string& n : names) {
    std::string svg = read_file(d.at("graphs/" + n));
    EXPECT_EQ(svg.rfind("<?xml", 0), 0u) << n;
    EXPECT_NE(svg.find("</svg>"), std::string::npos) << n;
    // Renders without a word where rsvg-convert is installed; CI installs
    // it, and there a missing one must not pass unseen.
    bool have_rsvg = system("command -v rsvg-convert >/dev/null 2>&1") == 0;
    const char* ci = getenv("CI");
    if (!have_rsvg && ci && strcmp(ci, "true") == 0) ADD_FAILURE() << "no rsvg-convert, and CI=true needs it";
    if (have_rsvg) {
      std::string file = d.at("graphs/" + n);
      RunResult r2 = run_program("/bin/sh", {"sh", "-c", "rsvg-convert -o \"$0.png\" \"$0\" 2>&1", file}, d.path());
      EXPECT_EQ(r2.out + r2.err, "") << n;
      EXPECT_EQ(r2.status, 0) << n;
    }
  }
}

// A failed write of the bill is an error, never a short bill.
TEST(Netbill, FullStandardOutputFails) {
  TempDir d;
  create_files(d, base());
  RunResult r = run_with_failing_output(NETBILL_BIN, {"netbill", "-o", "csv", "f"}, d.path(),
                                        FailingOutput::FULL_DEVICE);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, std::string(NOT_BILLED) + "Writing standard output: No space left on device\n");
}

// Over a period that clips nothing, each customer's bytes_in and bytes_out
// are the sums of nettally's crossing bytes over the customer's addresses:
// every address below passes nettally's threshold (over 4,096 each way).
TEST(Netbill, AgreesWithNettally) {
  TempDir d;
  std::string text = "header 1800000000 0 0 0 0\n";
  // Addresses 1..40 of 10.0.0.0/24 (acme 1..15, beta 16..31, the rest
  // DEFAULT's), in both directions, some spread over several intervals.
  for (int a = 1; a <= 40; a++) {
    std::string inside = "10.0.0." + std::to_string(a);
    std::string outside = "198.51.100." + std::to_string(a % 7 + 1);
    int start = a * 37 % 1000, end = start + a * 53 % 900;
    text += "tcp " + inside + ":1 " + outside + ":2 " + std::to_string(start) + " " + std::to_string(end) +
            " 3 " + std::to_string(5000 + a * 977) + " 4 " + std::to_string(4097 + a * 13) + "\n";
    text += "udp " + outside + ":1 " + inside + ":2 " + std::to_string(end) + " " + std::to_string(start) +
            " 3 " + std::to_string(6000 + a * 31) + " 4 " + std::to_string(100 + a) + "\n";
  }
  text += "tcp 10.0.0.1:1 10.0.0.2:2 0 10 1 7777 1 8888\n";  // internal: in neither bill
  create_files(d, {nets(NETS), custs(CUSTS), flow("f", text)});
  RunResult tally = run_program(NETTALLY_BIN, {"nettally", "f"}, d.path());
  ASSERT_EQ(tally.status, 0) << tally.err;
  std::map<std::string, std::pair<uint64_t, uint64_t>> want;
  std::istringstream lines(tally.out);
  std::string line;
  int addresses = 0;
  while (std::getline(lines, line)) {
    if (line == "File") continue;
    std::istringstream f(line);
    std::string address, owner;
    uint64_t in, out, skip;
    f >> address >> in >> out >> skip >> skip >> skip >> skip >> skip >> skip >> owner;
    want[owner].first += in;
    want[owner].second += out;
    addresses++;
  }
  ASSERT_EQ(addresses, 40);
  RunResult bill = run_program(NETBILL_BIN, {"netbill", "-o", "csv", "-f", "@1800000000", "-t", "@1800003600", "f"},
                               d.path());
  ASSERT_EQ(bill.status, 0) << bill.err;
  EXPECT_NE(bill.err.find("netbill: not billed: 0 bytes outside the period\n"), std::string::npos) << bill.err;
  std::map<std::string, std::pair<uint64_t, uint64_t>> got;
  std::istringstream rows(bill.out);
  std::getline(rows, line);
  while (std::getline(rows, line)) {
    std::istringstream f(line);
    std::string name, in, out;
    std::getline(f, name, ',');
    std::getline(f, in, ',');
    std::getline(f, out, ',');
    if (in != "0" || out != "0") got[name] = {std::stoull(in), std::stoull(out)};
  }
  EXPECT_EQ(got, want);
  EXPECT_EQ(want.size(), 3u);
}

// Many files of many flows, added in batches that may go to a second
// thread: the series of all files billed at once is, customer by customer
// and interval by interval, the sum of the series of each file billed
// alone over the same period, and no flow is lost or added twice.
TEST(Netbill, ManyFilesAddUpToEachFileAlone) {
  TempDir d;
  create_files(d, {nets("10.64.0.0/16\n")});
  RunResult custs = run_program(MKFLOW_BIN, {"mkflow", "custs", "--nets", "our.nets", "--count", "300", "--seed", "5"},
                                d.path());
  ASSERT_EQ(custs.status, 0) << custs.err;
  create_files(d, {{"custs", custs.out}});
  // 12 files of 5 minutes, 60,000 records, flows of up to 20 minutes.
  RunResult synth = run_program(MKFLOW_BIN, {"mkflow", "synth", "--nets", "our.nets", "--records", "60000", "--files",
                                             "12", "--seed", "9", "--out", "flows", "--start", "1800000000",
                                             "--longest", "1200"},
                                d.path());
  ASSERT_EQ(synth.status, 0) << synth.err;
  const std::vector<std::string> period = {"-f", "@1799999700", "-t", "@1800006000"};
  auto series_of = [&](const std::string& path, const std::string& out) {
    std::vector<std::string> argv = {"netbill", "-o", "csv", "-s", out};
    argv.insert(argv.end(), period.begin(), period.end());
    argv.push_back(path);
    RunResult r = run_program(NETBILL_BIN, argv, d.path());
    EXPECT_EQ(r.status, 0) << r.err;
    std::map<std::pair<std::string, std::string>, std::pair<uint64_t, uint64_t>> sums;
    std::istringstream lines(read_file(d.path() + "/" + out));
    std::string line;
    std::getline(lines, line);  // the header
    while (std::getline(lines, line)) {
      std::istringstream f(line);
      std::string name, start, in, out_bytes;
      std::getline(f, name, ',');
      std::getline(f, start, ',');
      std::getline(f, in, ',');
      std::getline(f, out_bytes, ',');
      auto& sum = sums[{name, start}];
      sum.first += std::stoull(in);
      sum.second += std::stoull(out_bytes);
    }
    return sums;
  };
  auto all = series_of("flows", "all.csv");
  std::map<std::pair<std::string, std::string>, std::pair<uint64_t, uint64_t>> each;
  for (int k = 0; k < 12; k++) {
    char name[32];
    snprintf(name, sizeof name, "flows/flow.%03d", k);
    for (const auto& [key, sum] : series_of(name, "one.csv")) {
      each[key].first += sum.first;
      each[key].second += sum.second;
    }
  }
  EXPECT_GT(all.size(), 300u);
  EXPECT_EQ(all, each);
}

}  // namespace
