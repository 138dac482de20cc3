// The memory limit of the control group this process runs in (a
// container's limit), which may be far below the machine's memory: a table
// sized to the machine alone could get the process killed.
#pragma once

#include <cstdint>

// The files the program reads; tests pass a fake tree instead.
constexpr const char* PROC_SELF_CGROUP = "/proc/self/cgroup";
constexpr const char* CGROUP_ROOT = "/sys/fs/cgroup";

// The smallest memory limit, in bytes, that applies to the process's
// control group, or UINT64_MAX when none does. proc_cgroup is the process's
// cgroup list (PROC_SELF_CGROUP), cgroup_root the mount point of the
// hierarchies (CGROUP_ROOT). For cgroup v2, the line "0::PATH" names the
// group: memory.max under cgroup_root/PATH and each of its ancestors up to
// cgroup_root itself, "max" meaning none. For cgroup v1, the line
// "N:CONTROLLERS:PATH" whose comma-separated controllers include "memory":
// memory.limit_in_bytes under cgroup_root/memory/PATH and its ancestors, a
// value at or above 2^62 meaning none. Both are looked at, the smaller
// counts. Missing files and values that are no decimal number are no
// limit. Prints nothing, never exits.
uint64_t cgroup_memory_limit(const char* proc_cgroup, const char* cgroup_root);
