// Both programs when standard output cannot take their bytes: a full
// device, a closed descriptor, a pipe whose reader has gone (with SIGPIPE
// ignored, so that the write fails instead of killing the process). A
// report or dump cut short must end with status 1 and say why, never look
// complete.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/e2e.h"

namespace {

struct Failure {
  FailingOutput how;
  const char* name;
  const char* message;  // the perror report on standard error
};
const Failure FAILURES[] = {
    {FailingOutput::FULL_DEVICE, "full device", "Writing standard output: No space left on device\n"},
    {FailingOutput::CLOSED, "closed", "Writing standard output: Bad file descriptor\n"},
    {FailingOutput::READER_GONE, "reader gone", "Writing standard output: Broken pipe\n"},
};

const char* const NETS = "192.0.2.0/24\n";
const char* const ECHO = "192.0.2.0 Mask:24\n";
// One busy address and one flow with neither end ours.
const char* const FLOWS =
    "header 1100000000 0 0 0 0\n"
    "tcp 198.51.100.1:1 192.0.2.10:443 100 3600 1200 1500000 900 250000\n"
    "icmp 203.0.113.5:8/0 198.51.100.7 0 0 1 84 1 84\n";
const char* const STRANGE = "Strange...203.0.113.5->198.51.100.7\n";

// Every address of the /24 busy: a report of some 17 KB, more than the
// buffer of standard output holds, so that it fails in a write rather than
// in the last flush.
std::string busy_flows() {
  std::string text = "header 1100000000 0 0 0 0\n";
  for (int i = 1; i < 256; i++)
    text += "tcp 198.51.100.1:1 192.0.2." + std::to_string(i) + ":443 0 1 1 5000 1 5000\n";
  return text;
}

TEST(FailingOutput, NettallyEndsWithStatus1AndSaysWhy) {
  for (const Failure& f : FAILURES) {
    TempDir dir;
    dir.write("our.nets", NETS);
    dir.write("custs", "");
    dir.write_flow("f", FLOWS);
    dir.write_flow("busy", busy_flows());
    dir.mkdir("day");
    dir.write_flow("day/flow.1", FLOWS);

    RunResult file = run_with_failing_output(NETTALLY_BIN, {"nettally", "f"}, dir.path(), f.how);
    EXPECT_EQ(file.err, ECHO + std::string(STRANGE) + f.message) << f.name;
    EXPECT_EQ(file.status, 1) << f.name;

    RunResult busy = run_with_failing_output(NETTALLY_BIN, {"nettally", "busy"}, dir.path(), f.how);
    EXPECT_EQ(busy.err, ECHO + std::string(f.message)) << f.name;
    EXPECT_EQ(busy.status, 1) << f.name;

    std::string walk;
    for (const std::string& name : list_directory(dir.at("day"))) {
      walk += walk_line(name);
      if (name == "flow.1") walk += STRANGE;
    }
    RunResult day = run_with_failing_output(NETTALLY_BIN, {"nettally", "day"}, dir.path(), f.how);
    EXPECT_EQ(day.err, ECHO + walk + f.message) << f.name;
    EXPECT_EQ(day.status, 1) << f.name;

    // A run that fails anyway keeps its own reason, and says that its line
    // did not reach standard output.
    RunResult usage = run_with_failing_output(NETTALLY_BIN, {"nettally"}, dir.path(), f.how);
    EXPECT_EQ(usage.err, f.message) << f.name;
    EXPECT_EQ(usage.status, 1) << f.name;
  }
}

TEST(FailingOutput, NettallyWithNothingToWriteStillSucceeds) {
  // An empty report writes nothing in directory mode: nothing fails.
  for (const Failure& f : FAILURES) {
    TempDir dir;
    dir.write("our.nets", NETS);
    dir.write("custs", "");
    dir.mkdir("empty");
    std::string walk;
    for (const std::string& name : list_directory(dir.at("empty"))) walk += walk_line(name);
    RunResult r = run_with_failing_output(NETTALLY_BIN, {"nettally", "empty"}, dir.path(), f.how);
    EXPECT_EQ(r.err, ECHO + walk) << f.name;
    EXPECT_EQ(r.status, 0) << f.name;
  }
}

TEST(FailingOutput, RecdumpEndsWithStatus1AndSaysWhy) {
  std::string many = "header 1700000000 0 0 0 0\n";
  for (int i = 0; i < 2000; i++) many += "udp 10.0.0.1:53 10.0.0.2:5353 0 10 1 100 1 100\n";
  for (const Failure& f : FAILURES) {
    TempDir dir;
    dir.write_flow("small", FLOWS);
    dir.write_flow("many", many);  // some 130 KB of lines: fails before the end
    for (const char* file : {"small", "many"}) {
      RunResult r = run_with_failing_output(RECDUMP_BIN, {"recdump", file}, dir.path(), f.how);
      EXPECT_EQ(r.err, f.message) << f.name << " " << file;
      EXPECT_EQ(r.status, 1) << f.name << " " << file;
    }
  }
}

}  // namespace
