#include "parallel/pool_sizing.hpp"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <sched.h>
#include <unistd.h>

namespace tarvik {

namespace fs = std::filesystem;

std::optional<std::uint64_t> parse_thread_count(std::string_view text) {
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty()) return std::nullopt;
    std::uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        if (__builtin_mul_overflow(value, std::uint64_t{10}, &value) ||
            __builtin_add_overflow(value, static_cast<std::uint64_t>(c - '0'), &value))
            return std::nullopt;
    }
    return value;
}

std::uint64_t choose_thread_count(std::optional<std::string_view> num_threads,
                                  std::optional<std::string_view> num_cpus,
                                  const std::function<std::uint64_t()>& default_count) {
    std::uint64_t count = 0;
    const auto threads = num_threads ? parse_thread_count(*num_threads) : std::nullopt;
    if (threads && *threads > 0) {
        count = *threads;
    } else if (!threads) {
        // Only an unusable first value defers to the second; an explicit 0 means the default.
        const auto cpus = num_cpus ? parse_thread_count(*num_cpus) : std::nullopt;
        if (cpus && *cpus > 0) count = *cpus;
    }
    if (count == 0) count = default_count();
    return std::min(count, max_thread_count);
}

namespace {

std::optional<std::string> read_file(const fs::path& path) {
    std::ifstream file(path);
    if (!file) return std::nullopt;
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

std::vector<std::string_view> split(std::string_view text, char separator) {
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    while (true) {
        const std::size_t end = text.find(separator, start);
        parts.push_back(text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
        if (end == std::string_view::npos) return parts;
        start = end + 1;
    }
}

std::string_view trim(std::string_view text) {
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) text.remove_prefix(1);
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.remove_suffix(1);
    return text;
}

std::optional<std::int64_t> parse_signed(std::string_view text) {
    text = trim(text);
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

// Where a hierarchy is mounted and which of its groups is mounted there.
struct CgroupMount {
    fs::path mount_point;
    std::string mount_root;
};

// Mount points in mountinfo write blanks and other specials as octal escapes such as "\040".
std::string unescape_mount_field(std::string_view field) {
    std::string text;
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size() &&
            std::all_of(field.begin() + i + 1, field.begin() + i + 4, [](char c) { return c >= '0' && c <= '7'; })) {
            text += static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0'));
            i += 3;
        } else {
            text += field[i];
        }
    }
    return text;
}

bool has_option(std::string_view options, std::string_view wanted) {
    const auto parts = split(options, ',');
    return std::find(parts.begin(), parts.end(), wanted) != parts.end();
}

// The v2 mount (`v1_controller` empty) or the v1 mount carrying that controller.
std::optional<CgroupMount> find_mount(std::string_view mountinfo, std::string_view v1_controller) {
    for (std::string_view line : split(mountinfo, '\n')) {
        const auto fields = split(line, ' ');
        const auto dash = std::find(fields.begin(), fields.end(), std::string_view("-"));
        if (fields.size() < 5 || dash == fields.end() || fields.end() - dash < 4) continue;
        const std::string_view type = dash[1];
        const std::string_view super_options = dash[3];
        const bool wanted = v1_controller.empty() ? type == "cgroup2"
                                                  : type == "cgroup" && has_option(super_options, v1_controller);
        if (wanted) return CgroupMount{unescape_mount_field(fields[4]), unescape_mount_field(fields[3])};
    }
    return std::nullopt;
}

// The group path of the v2 hierarchy (`v1_controller` empty) or of the v1 hierarchy carrying
// that controller, from /proc/self/cgroup lines "id:controllers:path".
std::optional<std::string> find_group(std::string_view cgroup_list, std::string_view v1_controller) {
    for (std::string_view line : split(cgroup_list, '\n')) {
        const std::size_t first = line.find(':');
        const std::size_t second = first == std::string_view::npos ? first : line.find(':', first + 1);
        if (second == std::string_view::npos) continue;
        const std::string_view controllers = line.substr(first + 1, second - first - 1);
        const bool wanted = v1_controller.empty() ? line.substr(0, first) == "0" && controllers.empty()
                                                  : has_option(controllers, v1_controller);
        if (wanted) return std::string(trim(line.substr(second + 1)));
    }
    return std::nullopt;
}

// Whole processors granted by a quota and period, or nothing for "no quota".
std::optional<std::uint64_t> processors_from_quota(std::optional<std::int64_t> quota,
                                                   std::optional<std::int64_t> period) {
    if (!quota || !period || *quota <= 0 || *period <= 0) return std::nullopt;
    return std::max<std::uint64_t>(1, static_cast<std::uint64_t>(*quota / *period));
}

// cpu.max holds "max 100000" (no quota) or "<quota> <period>".
std::optional<std::uint64_t> read_v2_limit(const fs::path& group) {
    const auto text = read_file(group / "cpu.max");
    if (!text) return std::nullopt;
    const auto fields = split(trim(*text), ' ');
    if (fields.size() != 2 || fields[0] == "max") return std::nullopt;
    return processors_from_quota(parse_signed(fields[0]), parse_signed(fields[1]));
}

// cpu.cfs_quota_us holds -1 when there is no quota.
std::optional<std::uint64_t> read_v1_limit(const fs::path& group) {
    const auto quota = read_file(group / "cpu.cfs_quota_us");
    const auto period = read_file(group / "cpu.cfs_period_us");
    if (!quota || !period) return std::nullopt;
    return processors_from_quota(parse_signed(*quota), parse_signed(*period));
}

fs::path below_root(const fs::path& root, const fs::path& absolute) { return root / absolute.relative_path(); }

// The tightest limit from the group's directory up to the mount point of its hierarchy.
std::optional<std::uint64_t> tightest_limit(const fs::path& mount_point, std::string_view group,
                                            std::optional<std::uint64_t> (*read_limit)(const fs::path&)) {
    std::optional<std::uint64_t> tightest;
    fs::path directory = mount_point / fs::path(group).relative_path();
    std::error_code error;
    if (!fs::is_directory(directory, error)) directory = mount_point;
    while (true) {
        const auto limit = read_limit(directory);
        if (limit && (!tightest || *limit < *tightest)) tightest = limit;
        if (directory == mount_point || !directory.has_relative_path()) return tightest;
        const fs::path parent = directory.parent_path();
        if (parent == directory) return tightest;
        directory = parent;
    }
}

// The limit of one hierarchy: v2 when `v1_controller` is empty, else the v1 one of that controller.
std::optional<std::uint64_t> hierarchy_limit(const fs::path& root, std::string_view cgroup_list,
                                             const std::optional<std::string>& mountinfo,
                                             std::string_view v1_controller, const char* usual_mount_point,
                                             std::optional<std::uint64_t> (*read_limit)(const fs::path&)) {
    const auto group = find_group(cgroup_list, v1_controller);
    if (!group) return std::nullopt;
    const auto mount = mountinfo ? find_mount(*mountinfo, v1_controller) : std::nullopt;
    if (!mount) return tightest_limit(below_root(root, usual_mount_point), *group, read_limit);
    // The group path is given from the hierarchy's root; the mount may show only a subtree of it.
    std::string_view relative = *group;
    if (mount->mount_root != "/" && relative.starts_with(mount->mount_root)) relative.remove_prefix(mount->mount_root.size());
    return tightest_limit(below_root(root, mount->mount_point), relative, read_limit);
}

}  // namespace

std::optional<std::uint64_t> cgroup_cpu_limit(const fs::path& root) {
    const auto cgroup_list = read_file(root / "proc/self/cgroup");
    if (!cgroup_list) return std::nullopt;
    const auto mountinfo = read_file(root / "proc/self/mountinfo");
    const auto v2 = hierarchy_limit(root, *cgroup_list, mountinfo, "", "/sys/fs/cgroup", &read_v2_limit);
    const auto v1 = hierarchy_limit(root, *cgroup_list, mountinfo, "cpu", "/sys/fs/cgroup/cpu", &read_v1_limit);
    if (v1 && v2) return std::min(*v1, *v2);
    return v1 ? v1 : v2;
}

std::uint64_t default_thread_count() {
    std::uint64_t count = 0;
    // The mask may be wider than the default cpu_set_t on very large machines.
    for (std::size_t processors = CPU_SETSIZE; count == 0 && processors <= (std::size_t{1} << 20); processors *= 2) {
        cpu_set_t* mask = CPU_ALLOC(processors);
        const std::size_t size = CPU_ALLOC_SIZE(processors);
        if (sched_getaffinity(0, size, mask) == 0) {
            count = static_cast<std::uint64_t>(CPU_COUNT_S(size, mask));
            CPU_FREE(mask);
            break;
        }
        CPU_FREE(mask);
        if (errno != EINVAL) break;
    }
    if (count == 0) {
        const long online = sysconf(_SC_NPROCESSORS_ONLN);
        if (online > 0) count = static_cast<std::uint64_t>(online);
    }
    if (count == 0) return 1;
    const auto limit = cgroup_cpu_limit("/");
    return limit ? std::min(count, *limit) : count;
}

std::uint64_t thread_count_from_environment() {
    const auto variable = [](const char* name) -> std::optional<std::string_view> {
        const char* value = std::getenv(name);
        if (value == nullptr) return std::nullopt;
        return std::string_view(value);
    };
    return choose_thread_count(variable("RAYON_NUM_THREADS"), variable("RAYON_RS_NUM_CPUS"), &default_thread_count);
}

}  // namespace tarvik
