// Both programs when standard output and standard error are non-blocking
// pipes with a slow reader, as a parent with an event loop may hand them
// down: a full pipe is no failure, every byte must arrive, in order, and the
// run ends with status 0, exactly as when the streams are files.

#include <gtest/gtest.h>

#include <string>

#include "tests/e2e.h"

namespace {

TEST(NonBlockingOutput, RecdumpWritesEveryLine) {
  TempDir dir;
  std::string text = "header 1700000000 1700003600 0 20000 0\n";
  for (int i = 0; i < 20000; i++)
    text += "udp 10.0.0." + std::to_string(i % 256) + ":" + std::to_string(i % 65536) +
            " 10.1.0.1:53 " + std::to_string(i % 3600) + " 3610 1 100 1 " + std::to_string(i) +
            "\n";
  dir.write_flow("many", text);
  RunResult files = run_program_once(RECDUMP_BIN, {"recdump", "many"}, dir.path());
  ASSERT_EQ(files.status, 0);
  size_t lines = 0;
  for (char ch : files.out) lines += ch == '\n';
  ASSERT_EQ(lines, 2u + 20000u);

  RunResult r = run_with_nonblocking_output(RECDUMP_BIN, {"recdump", "many"}, dir.path());
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.size(), files.out.size());
  EXPECT_TRUE(r.out == files.out);  // not printed: more than a megabyte
}

// A /20 whose every address is busy, a report of some 250 KB, and 4,000
// flows with neither end ours, some 150 KB of standard error: each more
// than a pipe holds, and more than nettally's own buffers.
TEST(NonBlockingOutput, NettallyWritesTheWholeReportAndEveryNote) {
  TempDir dir;
  dir.write("our.nets", "10.20.0.0/20\n");
  dir.write("custs", "10.20.0.0/21 west\n");
  std::string text = "header 1100000000 0 0 0 0\n";
  for (int i = 0; i < 4096; i++)
    text += "tcp 198.51.100.1:1 10.20." + std::to_string(i / 256) + "." + std::to_string(i % 256) +
            ":443 0 " + std::to_string(i % 600) + " 2 5000 3 " + std::to_string(5000 + i) + "\n";
  for (int i = 0; i < 4000; i++)
    text += "udp 203.0.113." + std::to_string(i % 256) + ":1 198.18." + std::to_string(i / 256) +
            "." + std::to_string(i % 256) + ":2 0 0 1 1 1 1\n";
  dir.write_flow("busy", text);
  dir.mkdir("day");
  dir.write_flow("day/flow.1", text);
  for (const char* path : {"busy", "day"}) {
    RunResult files = run_program_once(NETTALLY_BIN, {"nettally", path}, dir.path());
    ASSERT_EQ(files.status, 0) << path;
    ASSERT_GT(files.out.size(), 200000u) << path;
    ASSERT_GT(files.err.size(), 140000u) << path;

    RunResult r = run_with_nonblocking_output(NETTALLY_BIN, {"nettally", path}, dir.path());
    EXPECT_EQ(r.status, 0) << path;
    EXPECT_EQ(r.out.size(), files.out.size()) << path;
    EXPECT_TRUE(r.out == files.out) << path;
    EXPECT_EQ(r.err.size(), files.err.size()) << path;
    EXPECT_TRUE(r.err == files.err) << path;
  }
}

}  // namespace
