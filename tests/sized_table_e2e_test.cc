// nettally end to end around the size of its table: supernets of up to
// 786,432 addresses in the fixed table and its order, more in one table
// sized to them, and totals that no table can hold. Every tally below is
// worked out by hand from the flows; the report's order is that of the
// slots. In the fixed table an address's home slot is its shift-and-XOR
// mix modulo the size; in a table sized to the supernets it is its rank
// among the held addresses, so that its report comes in address order.
// Both walk on from a taken slot in steps of 88,919.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/e2e.h"

namespace {

struct SizedCase {
  const char* name;
  std::string nets;
  std::string custs;
  std::string flows;
  std::string out;
  std::string err;
};

std::vector<SizedCase> sized_cases() {
  return {
      // 1,048,576 addresses: a table of 1,572,869 slots, each address at
      // home in the slot of its rank: 10.0.0.0 0, 10.0.0.5 5, 10.8.0.1
      // 524,289, 10.15.255.253 1,048,573, 10.15.255.255 1,048,575.
      {"a_slash_12_in_one_pass", "10.0.0.0/12\n",
       "10.0.0.0/24 alpha\n10.15.255.252/30 beta\n10.0.0.128/31 gamma\n10.16.0.0/24 outside\n",
       "header 1100000000 0 0 0 0\n"
       // 10.0.0.5 (alpha) receives from outside and talks to beta inside
       "tcp 198.51.100.1:1 10.0.0.5:80 10 70 12 30000 10 120000\n"
       "udp 10.0.0.5:1 10.15.255.253:2 0 0 1 700 1 300\n"
       // beta sends out
       "tcp 10.15.255.253:1 203.0.113.9:2 20 30 5 5000 6 6000\n"
       // a DEFAULT address, both directions, the second flow widening last_seen
       "tcp 10.8.0.1:1 192.0.2.7:2 100 200 40 50000 30 40000\n"
       "tcp 192.0.2.7:1 10.8.0.1:2 300 301 2 8000 3 9000\n"
       // just past the /12 on either side: neither end is ours
       "tcp 10.16.0.1:1 198.51.100.1:2 0 0 1 1 1 1\n"
       "tcp 9.255.255.255:1 10.0.0.0:2 5 6 1 4097 1 4097\n"
       // the first and the last address of the /12, also to each other
       "tcp 10.15.255.255:1 203.0.113.1:2 7 8 2 10000 2 10000\n"
       "tcp 10.15.255.255:1 10.0.0.0:2 0 0 1 2000 1 1000\n"
       // one direction only: not reported
       "udp 198.51.100.9:1 10.1.2.3:2 0 0 1 1000000 0 0\n",
       "File\n"
       "10.0.0.0 4097 4097 1 1 1100000005 1100000006 2000 1000 alpha\n"
       "10.0.0.5 30000 120000 12 10 1100000010 1100000070 300 700 alpha\n"
       "10.8.0.1 48000 59000 32 43 1100000100 1100000301 0 0 DEFAULT\n"
       "10.15.255.253 6000 5000 6 5 1100000020 1100000030 700 300 beta\n"
       "10.15.255.255 10000 10000 2 2 1100000007 1100000008 1000 2000 beta\n",
       "10.0.0.0 Mask:12\n"
       "Collisions: 0 of 1048576 addresses took 6 or more steps to place, the most 0\n"
       "Used\nIP:10.0.0.128\nalpha\ngamma\nNetwork:a000080\nNetmaks:31\n"
       "Used\nIP:10.0.0.129\nalpha\ngamma\nNetwork:a000080\nNetmaks:31\n"
       "custs: entry 4, 10.16.0.0/24 outside: 256 addresses lie outside our.nets and are not "
       "claimed\n"
       "Strange...10.16.0.1->198.51.100.1\n"},
      // 786,688 addresses, 256 more than the fixed table holds: 1,180,043
      // slots, each address in the slot of its rank: 10.0.0.1 1,
      // 10.7.255.255 524,287, 10.16.0.1 524,289, 192.0.2.1 786,433,
      // 192.0.2.127 786,559, 192.0.2.200 786,632.
      {"a_slash_13_14_and_24_just_over_the_fixed_table",
       "10.0.0.0/13\n10.16.0.0/14\n192.0.2.0/24\n",
       "10.0.0.0/16 north\n10.16.0.0/16 south\n192.0.2.0/25 west\n192.0.2.126/31 east\n",
       "header 1200000000 0 0 0 0\n"
       // internal between the three networks, each pair once
       "tcp 10.0.0.1:1 10.16.0.1:2 0 0 3 70000 4 80000\n"
       "udp 10.16.0.1:1 192.0.2.1:2 0 0 1 500 1 600\n"
       "tcp 192.0.2.200:1 10.7.255.255:2 0 0 1 900 1 100\n"
       // crossing, in each network
       "tcp 10.0.0.1:1 203.0.113.5:2 10 20 5 5000 6 6000\n"
       "tcp 198.51.100.2:1 10.16.0.1:2 30 40 7 7000 8 8000\n"
       "tcp 192.0.2.1:1 198.51.100.3:2 50 60 9 9000 10 10000\n"
       "tcp 198.51.100.4:1 192.0.2.200:2 70 80 11 11000 12 12000\n"
       "tcp 10.7.255.255:1 198.51.100.5:2 90 95 1 5000 1 5000\n"
       "tcp 192.0.2.127:1 198.51.100.6:2 1 2 1 4097 1 4097\n"
       // the gap between the /13 and the /14, and past the /14
       "tcp 10.8.0.1:1 10.20.0.1:2 0 0 1 1 1 1\n",
       "File\n"
       "10.0.0.1 6000 5000 6 5 1200000010 1200000020 80000 70000 north\n"
       "10.7.255.255 5000 5000 1 1 1200000090 1200000095 900 100 DEFAULT\n"
       "10.16.0.1 7000 8000 7 8 1200000030 1200000040 70600 80500 south\n"
       "192.0.2.1 10000 9000 10 9 1200000050 1200000060 500 600 west\n"
       "192.0.2.127 4097 4097 1 1 1200000001 1200000002 0 0 west\n"
       "192.0.2.200 11000 12000 11 12 1200000070 1200000080 100 900 DEFAULT\n",
       "10.0.0.0 Mask:13\n10.16.0.0 Mask:14\n192.0.2.0 Mask:24\n"
       "Collisions: 0 of 786688 addresses took 6 or more steps to place, the most 0\n"
           "Used\nIP:192.0.2.126\nwest\neast\nNetwork:c000027e\nNetmaks:31\n"
           "Used\nIP:192.0.2.127\nwest\neast\nNetwork:c000027e\nNetmaks:31\n"
           "Strange...10.8.0.1->10.20.0.1\n"},
  };
}

void PrintTo(const SizedCase& c, std::ostream* os) { *os << c.name; }

class SizedTable : public ::testing::TestWithParam<SizedCase> {};

TEST_P(SizedTable, TalliesEveryAddressInOneRun) {
  const SizedCase& c = GetParam();
  TempDir dir;
  dir.write("our.nets", c.nets);
  dir.write("custs", c.custs);
  dir.write_flow("f", c.flows);
  RunResult r = run_program(NETTALLY_BIN, {"nettally", "f"}, dir.path());
  EXPECT_EQ(r.out, c.out);
  EXPECT_EQ(r.err, c.err);
  EXPECT_EQ(r.status, 0);
  // Standard error comes out whole before "File" and the report.
  EXPECT_EQ(r.merged, c.err + c.out);
}

INSTANTIATE_TEST_SUITE_P(Nettally, SizedTable, ::testing::ValuesIn(sized_cases()),
                         [](const auto& test) { return std::string(test.param.name); });

// The same six addresses, each with one crossing flow, under supernets of
// exactly 786,432 addresses (the fixed table, full but for one slot) and
// of 786,433, the one more being a duplicate (a table of 1,179,677 slots).
// Only the second changes the report's order.
TEST(Nettally, ReportOrderChangesOnlyBeyondTheFixedTable) {
  const char* const addresses[] = {"10.0.0.1",      "10.9.49.42",    "10.8.4.13",
                                   "10.11.216.75", "10.11.255.182", "10.11.255.255"};
  std::string flows = "header 1300000000 0 0 0 0\n";
  std::string line[6];
  for (int i = 0; i < 6; i++) {
    std::string a = addresses[i], n = std::to_string(i + 1);
    flows += "tcp " + a + ":1 198.51.100." + n + ":2 " + n + " " + std::to_string(i + 11) +
             " 1 500" + n + " 1 600" + n + "\n";
    line[i] = a + " 600" + n + " 500" + n + " 1 1 130000000" + n + " 13000000" +
              std::to_string(i + 11) + " 0 0 DEFAULT\n";
  }
  flows += "tcp 2.2.2.2:1 1.1.1.1:2 0 0 1 5000 1 5000\n";
  TempDir dir;
  dir.write("custs", "");
  dir.write_flow("f", flows);

  // Fixed table, slots: 10.0.0.1 4,926 (home); 10.9.49.42 261,929 (5
  // steps); 10.8.4.13 271,155 (6); 10.11.216.75 443,102 (67);
  // 10.11.255.182 448,575 (10,238); 10.11.255.255 448,867 (22,116). The
  // /13 takes its home slots; 240,356 insertions of the /14 pass 6 or more
  // taken slots, 4,213,938 in all, at most 203,806.
  dir.write("our.nets", "10.0.0.0/13\n10.8.0.0/14\n");
  RunResult fixed = run_program(NETTALLY_BIN, {"nettally", "f"}, dir.path());
  EXPECT_EQ(fixed.status, 0);
  EXPECT_EQ(fixed.out, "File\n" + line[0] + line[1] + line[2] + line[3] + line[4] + line[5]);
  const std::string head = "10.0.0.0 Mask:13\n10.8.0.0 Mask:14\n";
  const std::string tail = "Strange...2.2.2.2->1.1.1.1\n";
  ASSERT_GT(fixed.err.size(), head.size() + tail.size());
  EXPECT_EQ(fixed.err.substr(0, head.size()), head);
  EXPECT_EQ(fixed.err.substr(fixed.err.size() - tail.size()), tail);
  uint64_t lines = 0, sum = 0, most = 0;
  size_t at = head.size();
  while (at < fixed.err.size() - tail.size()) {
    size_t end = fixed.err.find('\n', at);
    std::string l = fixed.err.substr(at, end - at);
    ASSERT_EQ(l.substr(0, 5), "Coll:") << l;
    ASSERT_EQ(l.back(), ' ') << l;
    uint64_t steps = std::stoull(l.substr(5));
    lines++;
    sum += steps;
    most = std::max(most, steps);
    at = end + 1;
  }
  EXPECT_EQ(lines, 240356u);
  EXPECT_EQ(sum, 4213938u);
  EXPECT_EQ(most, 203806u);

  // Sized table, every address at home in the slot of its rank, so in
  // address order. The duplicate of 10.0.0.1 (rank 1) passes the 9 taken
  // slots 1, 88,920, ... 711,353 and stays idle.
  dir.write("our.nets", "10.0.0.0/13\n10.8.0.0/14\n10.0.0.1/32\n");
  RunResult sized = run_program(NETTALLY_BIN, {"nettally", "f"}, dir.path());
  EXPECT_EQ(sized.status, 0);
  EXPECT_EQ(sized.out, "File\n" + line[0] + line[2] + line[1] + line[3] + line[4] + line[5]);
  EXPECT_EQ(sized.err, head + "10.0.0.1 Mask:32\n"
                       "Collisions: 1 of 786433 addresses took 6 or more steps to place, the most 9\n" +
                       tail);
}

// Supernets that no table can hold end the run before any echo, with the
// total and the memory it needs, and never read the flow file (there is
// none: reading it would say "Stat"). The largest table has 2^31 - 1
// slots and holds two thirds of that, 1,431,655,764 addresses.
TEST(Nettally, TotalsNoTableCanHold) {
  // Blocks of 2^30, 2^28, ... 2^2 addresses: 0x55555554 = 1,431,655,764.
  const std::string largest =
      "64.0.0.0/2 128.0.0.0/4 144.0.0.0/6 148.0.0.0/8 149.0.0.0/10 149.64.0.0/12 149.80.0.0/14 "
      "149.84.0.0/16 149.85.0.0/18 149.85.64.0/20 149.85.80.0/22 149.85.84.0/24 149.85.85.0/26 "
      "149.85.85.64/28 149.85.85.80/30\n";
  struct {
    std::string nets;
    const char* err;
  } cases[] = {
      // 0.0.0.0 holds no slot.
      {"0.0.0.0/0\n",
       "our.nets: 4294967295 addresses need a table of at least 6442450943 slots, "
       "463856467896 bytes of memory; the largest table holds 1431655764 addresses\n"},
      {"0.0.0.0/1\n128.0.0.0/2\n",
       "our.nets: 3221225471 addresses need a table of at least 4831838207 slots, "
       "347892350904 bytes of memory; the largest table holds 1431655764 addresses\n"},
      {largest + "149.85.85.84/32\n",
       "our.nets: 1431655765 addresses need a table of at least 2147483648 slots, "
       "154618822656 bytes of memory; the largest table holds 1431655764 addresses\n"},
      // The table is sized before the entries are echoed, so an entry that
      // cannot be read after a total too large is not reached.
      {"0.0.0.0/0\n# everything\n",
       "our.nets: 4294967295 addresses need a table of at least 6442450943 slots, "
       "463856467896 bytes of memory; the largest table holds 1431655764 addresses\n"},
  };
  for (const auto& c : cases) {
    TempDir dir;
    dir.write("our.nets", c.nets);
    dir.write("custs", "");
    RunResult r = run_program(NETTALLY_BIN, {"nettally", "f"}, dir.path());
    EXPECT_EQ(r.out, "") << c.nets;
    EXPECT_EQ(r.err, c.err) << c.nets;
    EXPECT_EQ(r.status, 1) << c.nets;
  }
}

// An entry that cannot be read ends the run after the entries before it,
// which are echoed and placed in a table sized to them alone, with the
// collision summary of their placing.
TEST(Nettally, AnUnreadableEntryAfterSupernetsBeyondTheFixedTable) {
  TempDir dir;
  dir.write("our.nets", "10.0.0.0/12\n10.16.0.0/33\n");
  dir.write("custs", "");
  RunResult r = run_program(NETTALLY_BIN, {"nettally", "f"}, dir.path());
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err,
            "10.0.0.0 Mask:12\n"
            "Collisions: 0 of 1048576 addresses took 6 or more steps to place, the most 0\n"
            "our.nets: entry 2 is not an address and a prefix length of 0 to 32: "
            "\"10.16.0.0/33\" (line 2)\n");
  EXPECT_EQ(r.status, 1);
}

// Memory that cannot be had, under a limit on the address space: the
// failed mmap is reported in perror's form with the total and the memory
// needed, before any echo. A table of the largest size is refused the same
// way, or, on a machine with less memory than it needs, without asking.
TEST(Nettally, MemoryThatCannotBeHad) {
  if (BUILT_WITH_ASAN) GTEST_SKIP() << "AddressSanitizer reserves more address space than the limit";
  TempDir dir;
  dir.write("custs", "");
  auto run_limited = [&](const std::string& nets) {
    dir.write("our.nets", nets);
    // 200 MiB of address space: nettally itself, with its fixed table of
    // 57 MiB, needs a third of it.
    return run_program("/bin/sh", {"sh", "-c", "ulimit -v 204800 && exec \"$0\" f", NETTALLY_BIN},
                       dir.path());
  };
  RunResult r = run_limited("10.0.0.0/11\n");
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err,
            "our.nets: 2097152 addresses need a table of 3145739 slots, 226493208 bytes of "
            "memory: Cannot allocate memory\n");
  EXPECT_EQ(r.status, 1);

  RunResult largest = run_limited(
      "64.0.0.0/2 128.0.0.0/4 144.0.0.0/6 148.0.0.0/8 149.0.0.0/10 149.64.0.0/12 149.80.0.0/14 "
      "149.84.0.0/16 149.85.0.0/18 149.85.64.0/20 149.85.80.0/22 149.85.84.0/24 149.85.85.0/26 "
      "149.85.85.64/28 149.85.85.80/30\n");
  const std::string need =
      "our.nets: 1431655764 addresses need a table of 2147483647 slots, 154618822584 bytes of "
      "memory";
  EXPECT_EQ(largest.out, "");
  EXPECT_EQ(largest.err.substr(0, need.size()), need);
  std::string rest = largest.err.substr(std::min(need.size(), largest.err.size()));
  EXPECT_TRUE(rest == ": Cannot allocate memory\n" ||
              (rest.rfind("; this machine has ", 0) == 0 && rest.find('\n') == rest.size() - 1))
      << rest;
  EXPECT_EQ(largest.status, 1);
}

}  // namespace

namespace {

// A child of this process's memory control group, with a limit, removed
// again at the end; empty when none can be made here (no writable
// hierarchy, as in most containers that do not delegate it).
class LimitedGroup {
 public:
  explicit LimitedGroup(uint64_t limit) {
    std::ifstream self("/proc/self/cgroup");
    std::string line, v1, v2;
    bool has_v2 = false;
    while (std::getline(self, line)) {
      size_t a = line.find(':'), b = line.find(':', a + 1);
      if (a == std::string::npos || b == std::string::npos) continue;
      std::string controllers = line.substr(a + 1, b - a - 1), path = line.substr(b + 1);
      if (controllers.empty() && line.substr(0, a) == "0") has_v2 = true, v2 = path;
      std::stringstream list(controllers);
      for (std::string c; std::getline(list, c, ',');)
        if (c == "memory") v1 = path;
    }
    std::string base, limit_file;
    if (!v1.empty() && access("/sys/fs/cgroup/memory/memory.limit_in_bytes", F_OK) == 0) {
      base = "/sys/fs/cgroup/memory" + v1;
      limit_file = "memory.limit_in_bytes";
    } else if (has_v2 && access("/sys/fs/cgroup/cgroup.controllers", F_OK) == 0) {
      base = "/sys/fs/cgroup" + v2;
      limit_file = "memory.max";
    } else {
      return;
    }
    std::string dir = base + "/nettally-test-" + std::to_string(getpid());
    if (mkdir(dir.c_str(), 0755) != 0) return;
    std::ofstream(dir + "/" + limit_file) << limit << "\n";
    std::ifstream check(dir + "/" + limit_file);
    uint64_t got = 0;
    if (!(check >> got) || got != limit) {
      rmdir(dir.c_str());
      return;
    }
    dir_ = dir;
  }
  ~LimitedGroup() {
    if (!dir_.empty()) rmdir(dir_.c_str());
  }
  const std::string& dir() const { return dir_; }

 private:
  std::string dir_;
};

// In a control group whose memory limit is below the table's size, the
// run ends before the table is made, as on a machine with too little
// memory, instead of being killed halfway through the tally.
TEST(Nettally, MemoryLimitOfTheControlGroup) {
  LimitedGroup group(100 << 20);
  if (group.dir().empty()) GTEST_SKIP() << "no memory control group can be made here";
  TempDir dir;
  dir.write("custs", "");
  dir.write("our.nets", "10.0.0.0/12\n");
  RunResult r = run_program(
      "/bin/sh", {"sh", "-c", "echo $$ >\"$1/cgroup.procs\" && exec \"$0\" f", NETTALLY_BIN, group.dir()},
      dir.path());
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err,
            "our.nets: 1048576 addresses need a table of 1572869 slots, 113246568 bytes of memory; "
            "the memory limit of this process's control group is 104857600 bytes\n");
  EXPECT_EQ(r.status, 1);
}

}  // namespace
