// How many workers the process-wide pool gets: the environment's say first, then the number of
// processors the process may use. The parsing and the control-group reading are pure functions of
// their text and of a root directory, so that tests can drive them with sample files.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string_view>

namespace tarvik {

// The pool never has more workers than this.
inline constexpr std::uint64_t max_thread_count = 65535;

// An unsigned decimal that fits in 64 bits: digits with at most one leading "+", nothing else.
std::optional<std::uint64_t> parse_thread_count(std::string_view text);

// The pool size from the values of "RAYON_NUM_THREADS" and "RAYON_RS_NUM_CPUS" (absent when
// unset). A positive count in the first wins; 0 there means the default; anything else falls
// through to the second, and then to `default_count`, which is called only when needed. The
// result is capped at max_thread_count.
std::uint64_t choose_thread_count(std::optional<std::string_view> num_threads,
                                  std::optional<std::string_view> num_cpus,
                                  const std::function<std::uint64_t()>& default_count);

// The CPU quota of the process's control group as a whole number of processors (quota divided by
// period, rounded down, at least 1), or nothing when no quota is set. The control-group files are
// looked up below `root` ("/" for the live system): /proc/self/cgroup names the group,
// /proc/self/mountinfo where its hierarchy is mounted (falling back to /sys/fs/cgroup). Both
// cgroup v2 (cpu.max) and v1 (cpu.cfs_quota_us, cpu.cfs_period_us) are understood; the tightest
// quota on the way from the group up to the hierarchy's root applies.
std::optional<std::uint64_t> cgroup_cpu_limit(const std::filesystem::path& root);

// Processors in the affinity mask (else online processors, else 1), capped by the quota.
std::uint64_t default_thread_count();

// choose_thread_count applied to this process's environment.
std::uint64_t thread_count_from_environment();

}  // namespace tarvik
