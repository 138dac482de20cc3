// cgroup_memory_limit over fake trees of control group files in a
// temporary directory: the files the kernel shows, written by hand.

#include "nets/memory_limit.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

namespace {

namespace fs = std::filesystem;

struct FakeTree {
  fs::path base;
  FakeTree() {
    std::string tmpl = (fs::temp_directory_path() / "nettally-cgroup.XXXXXX").string();
    base = mkdtemp(tmpl.data());
  }
  ~FakeTree() { fs::remove_all(base); }
  // Writes text to base/name, making the directories on the way.
  void write(const std::string& name, const std::string& text) const {
    fs::path p = base / name;
    fs::create_directories(p.parent_path());
    std::ofstream(p) << text;
  }
  uint64_t limit() const {
    return cgroup_memory_limit((base / "proc_self_cgroup").c_str(), (base / "cg").c_str());
  }
};

constexpr uint64_t NONE = UINT64_MAX;

struct LimitCase {
  const char* name;
  std::string cgroup;  // the process's cgroup list; not written when empty
  std::vector<std::pair<std::string, std::string>> files;  // under the cgroup root
  uint64_t limit;
};

TEST(CgroupMemoryLimit, OfTheGroupAndItsAncestors) {
  const std::string v2 = "0::/user.slice/app.scope\n";
  const std::string v1 =
      "12:cpu,cpuacct:/other\n"
      "4:memory:/docker/abc\n"
      "0::/\n";
  const LimitCase cases[] = {
      {"v2 limit at the leaf", v2,
       {{"user.slice/app.scope/memory.max", "536870912\n"}, {"user.slice/memory.max", "max\n"}},
       536870912},
      {"v2 smaller limit at an ancestor", v2,
       {{"user.slice/app.scope/memory.max", "536870912\n"},
        {"user.slice/memory.max", "268435456\n"},
        {"memory.max", "1073741824\n"}},
       268435456},
      {"v2 smallest at the root of the mount (a namespaced container)", v2,
       {{"user.slice/app.scope/memory.max", "max\n"}, {"memory.max", "1048576\n"}}, 1048576},
      {"v2 max everywhere", v2,
       {{"user.slice/app.scope/memory.max", "max\n"}, {"user.slice/memory.max", "max\n"}}, NONE},
      {"v2 group of the root, no memory.max", "0::/\n", {}, NONE},
      {"v1 memory alone", v1,
       {{"memory/docker/abc/memory.limit_in_bytes", "2147483648\n"},
        {"memory/memory.limit_in_bytes", "9223372036854771712\n"}},
       2147483648},
      {"v1 memory among other controllers",
       "3:cpuset:/a\n5:blkio,memory,pids:/a/b\n",
       {{"memory/a/b/memory.limit_in_bytes", "9223372036854771712\n"},
        {"memory/a/memory.limit_in_bytes", "4194304\n"}},
       4194304},
      {"v1 no limit is a huge number", v1,
       {{"memory/docker/abc/memory.limit_in_bytes", "4611686018427387904\n"}}, NONE},
      {"v1 just below 2^62 is a limit", v1,
       {{"memory/docker/abc/memory.limit_in_bytes", "4611686018427387903\n"}},
       4611686018427387903},
      {"v1 path seen from inside a container: the mount's own root counts", v1,
       {{"memory/memory.limit_in_bytes", "8388608\n"}}, 8388608},
      {"a controller named like memory is not memory", "4:memory_x,xmemory:/g\n",
       {{"memory/g/memory.limit_in_bytes", "4096\n"}}, NONE},
      {"hybrid: the smaller of v1 and v2", "4:memory:/g\n0::/g\n",
       {{"memory/g/memory.limit_in_bytes", "9000000\n"}, {"g/memory.max", "7000000\n"}},
       7000000},
      {"no cgroup list", "", {{"memory.max", "4096\n"}}, NONE},
      {"a cgroup list and no cgroup files", v2, {}, NONE},
      {"garbage in the list", "garbage\n\n::\n0:\x01\x02:nope\n", {{"memory.max", "4096\n"}},
       NONE},
      {"garbage in the files", v2,
       {{"user.slice/app.scope/memory.max", "12ab\n"},
        {"user.slice/memory.max", "-5\n"},
        {"memory.max", "99999999999999999999999\n"}},
       NONE},
      {"garbage beside a limit", v2,
       {{"user.slice/app.scope/memory.max", "\n"}, {"user.slice/memory.max", "65536\n"}}, 65536},
  };
  for (const LimitCase& c : cases) {
    FakeTree tree;
    if (!c.cgroup.empty()) tree.write("proc_self_cgroup", c.cgroup);
    fs::create_directories(tree.base / "cg");
    for (const auto& [name, text] : c.files) tree.write("cg/" + name, text);
    EXPECT_EQ(tree.limit(), c.limit) << c.name;
  }
}

}  // namespace
