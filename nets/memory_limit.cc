#include "nets/memory_limit.h"

#include <limits.h>

#include <cstdio>
#include <cstring>

// v1 writes a huge number (the largest page-aligned value) for "no limit".
static constexpr uint64_t V1_NO_LIMIT_FROM = uint64_t{1} << 62;
static constexpr size_t CGROUP_LINE_MAX = PATH_MAX + 256;

// The number in the file at path: a decimal number and a line end, nothing
// else. False when the file is missing, reads "max" or holds anything else.
static bool read_limit_file(const char* path, uint64_t* value) {
  FILE* f = fopen(path, "r");
  if (!f) return false;
  char text[64] = {};
  size_t n = fread(text, 1, sizeof text - 1, f);
  fclose(f);
  if (n == 0 || text[0] < '0' || text[0] > '9') return false;
  uint64_t v = 0;
  size_t i = 0;
  for (; i < n && text[i] >= '0' && text[i] <= '9'; i++) {
    uint64_t digit = uint64_t(text[i] - '0');
    if (v > (UINT64_MAX - digit) / 10) return false;
    v = v * 10 + digit;
  }
  if (i < n && !(text[i] == '\n' && i + 1 == n)) return false;
  *value = v;
  return true;
}

// The smallest limit in file `name` under dir/group and each of its
// ancestors up to dir, where group starts with '/'; values at or above
// no_limit_from count as none.
static uint64_t smallest_limit(const char* dir, const char* group, const char* name,
                               uint64_t no_limit_from) {
  char path[PATH_MAX];
  char at[PATH_MAX];
  size_t len = strlen(group);
  if (len >= sizeof at) return UINT64_MAX;
  memcpy(at, group, len + 1);
  while (len > 0 && at[len - 1] == '/') at[--len] = '\0';
  uint64_t smallest = UINT64_MAX;
  for (;;) {
    int n = snprintf(path, sizeof path, "%s%s/%s", dir, at, name);
    uint64_t v = 0;
    if (n > 0 && size_t(n) < sizeof path && read_limit_file(path, &v) && v < no_limit_from &&
        v < smallest)
      smallest = v;
    if (len == 0) break;
    while (len > 0 && at[len - 1] != '/') len--;  // up one level
    while (len > 0 && at[len - 1] == '/') len--;
    at[len] = '\0';
  }
  return smallest;
}

// Whether the comma-separated list holds the controller "memory".
static bool lists_memory(const char* list, size_t n) {
  constexpr size_t WORD = sizeof "memory" - 1;
  size_t start = 0;
  for (size_t i = 0; i <= n; i++) {
    if (i == n || list[i] == ',') {
      if (i - start == WORD && memcmp(list + start, "memory", WORD) == 0) return true;
      start = i + 1;
    }
  }
  return false;
}

uint64_t cgroup_memory_limit(const char* proc_cgroup, const char* cgroup_root) {
  FILE* f = fopen(proc_cgroup, "r");
  if (!f) return UINT64_MAX;
  char v1_dir[PATH_MAX];
  int k = snprintf(v1_dir, sizeof v1_dir, "%s/memory", cgroup_root);
  bool v1_dir_fits = k > 0 && size_t(k) < sizeof v1_dir;
  uint64_t limit = UINT64_MAX;
  char line[CGROUP_LINE_MAX];
  bool rest_of_long_line = false;  // the tail of a line too long to be a group
  while (fgets(line, sizeof line, f)) {
    size_t n = strlen(line);
    bool whole = n > 0 && line[n - 1] == '\n';
    bool skip = rest_of_long_line || !whole;
    rest_of_long_line = !whole;
    if (skip) continue;
    line[--n] = '\0';
    // HIERARCHY:CONTROLLERS:PATH; the path may itself hold colons.
    char* first = strchr(line, ':');
    char* second = first ? strchr(first + 1, ':') : nullptr;
    if (!second || second[1] != '/') continue;
    const char* group = second + 1;
    uint64_t found = UINT64_MAX;
    if (strncmp(line, "0::", 3) == 0) {
      found = smallest_limit(cgroup_root, group, "memory.max", UINT64_MAX);
    } else if (v1_dir_fits && lists_memory(first + 1, size_t(second - first - 1))) {
      found = smallest_limit(v1_dir, group, "memory.limit_in_bytes", V1_NO_LIMIT_FROM);
    }
    if (found < limit) limit = found;
  }
  fclose(f);
  return limit;
}
