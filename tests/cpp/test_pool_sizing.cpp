#include <gtest/gtest.h>

#include <fstream>
#include <optional>
#include <random>
#include <string>

#include <sched.h>

#include "parallel/pool_sizing.hpp"

using namespace tarvik;
namespace fs = std::filesystem;

namespace {
using Text = std::optional<std::string_view>;
constexpr std::uint64_t default_count = 6;
}  // namespace

TEST(ParseThreadCount, AcceptsOnlyPlainUnsignedDecimals) {
    const std::vector<std::pair<std::string_view, std::optional<std::uint64_t>>> cases = {
        {"3", 3}, {"+3", 3}, {"0", 0}, {"007", 7}, {"18446744073709551615", 18446744073709551615ull},
        {"18446744073709551616", std::nullopt}, {"", std::nullopt}, {"+", std::nullopt}, {"++3", std::nullopt},
        {" 3", std::nullopt}, {"3 ", std::nullopt}, {"-1", std::nullopt}, {"three", std::nullopt},
        {"3.0", std::nullopt}, {"0x10", std::nullopt},
    };
    for (const auto& [text, expected] : cases) EXPECT_EQ(parse_thread_count(text), expected) << "'" << text << "'";
}

TEST(ChooseThreadCount, FollowsTheVariablesInOrder) {
    struct Case {
        Text num_threads, num_cpus;
        std::uint64_t expected;
    };
    const std::vector<Case> cases = {
        {"3", std::nullopt, 3},        {"+3", std::nullopt, 3},       {"0", std::nullopt, default_count},
        {"0", "2", default_count},     {" 3", "2", 2},                {"3 ", "2", 2},
        {"-1", "2", 2},                {"three", "2", 2},             {"", "2", 2},
        {" 3", std::nullopt, default_count}, {"", "", default_count}, {std::nullopt, "2", 2},
        {std::nullopt, "0", default_count},  {std::nullopt, "x", default_count},
        {std::nullopt, std::nullopt, default_count}, {"4", "2", 4},
        {"65536", std::nullopt, 65535}, {std::nullopt, "100000", 65535}, {"65535", std::nullopt, 65535},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(choose_thread_count(c.num_threads, c.num_cpus, [] { return default_count; }), c.expected)
            << "'" << c.num_threads.value_or("<unset>") << "', '" << c.num_cpus.value_or("<unset>") << "'";
    }
    EXPECT_EQ(choose_thread_count(std::nullopt, std::nullopt, [] { return std::uint64_t{1} << 20; }), 65535u);
    // The processor count is only looked up when the variables do not decide.
    EXPECT_EQ(choose_thread_count("5", std::nullopt, []() -> std::uint64_t { throw std::logic_error("asked"); }), 5u);
}

TEST(DefaultThreadCount, FollowsTheAffinityMask) {
    cpu_set_t original;
    ASSERT_EQ(sched_getaffinity(0, sizeof original, &original), 0);
    const std::uint64_t all = default_thread_count();
    EXPECT_GE(all, 1u);
    cpu_set_t one;
    CPU_ZERO(&one);
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
        if (CPU_ISSET(cpu, &original)) {
            CPU_SET(cpu, &one);
            break;
        }
    }
    ASSERT_EQ(sched_setaffinity(0, sizeof one, &one), 0);
    EXPECT_EQ(default_thread_count(), 1u);
    ASSERT_EQ(sched_setaffinity(0, sizeof original, &original), 0);
}

// Sample control-group trees written under a temporary root.
class CgroupSamples : public ::testing::Test {
protected:
    void SetUp() override {
        std::mt19937_64 generator(std::random_device{}());
        root = fs::temp_directory_path() / ("tarvik-cgroup-" + std::to_string(generator()));
        fs::create_directories(root);
    }
    void TearDown() override { fs::remove_all(root); }

    void write(const std::string& path, const std::string& text) {
        const fs::path file = root / path;
        fs::create_directories(file.parent_path());
        std::ofstream(file) << text;
    }

    fs::path root;
};

namespace {
const std::string v2_mountinfo =
    "24 1 0:22 / / rw,relatime - ext4 /dev/sda1 rw\n"
    "30 24 0:26 / /sys/fs/cgroup rw,nosuid - cgroup2 cgroup2 rw,nsdelegate\n";
const std::string v1_mountinfo =
    "24 1 0:22 / / rw,relatime - ext4 /dev/sda1 rw\n"
    "31 24 0:28 / /sys/fs/cgroup rw - tmpfs tmpfs rw,mode=755\n"
    "32 31 0:29 / /sys/fs/cgroup/cpu,cpuacct rw - cgroup cgroup rw,cpu,cpuacct\n"
    "33 31 0:30 / /sys/fs/cgroup/cpuset rw - cgroup cgroup rw,cpuset\n";
}  // namespace

TEST_F(CgroupSamples, Version2QuotaDividedByPeriod) {
    write("proc/self/cgroup", "0::/app.slice/job\n");
    write("proc/self/mountinfo", v2_mountinfo);
    const std::vector<std::pair<std::string, std::optional<std::uint64_t>>> cases = {
        {"max 100000\n", std::nullopt}, {"400000 100000\n", 4}, {"250000 100000\n", 2},
        {"50000 100000\n", 1},          {"garbage\n", std::nullopt},
    };
    for (const auto& [cpu_max, expected] : cases) {
        write("sys/fs/cgroup/app.slice/job/cpu.max", cpu_max);
        EXPECT_EQ(cgroup_cpu_limit(root), expected) << cpu_max;
    }
}

TEST_F(CgroupSamples, Version2TightestAncestorApplies) {
    write("proc/self/cgroup", "0::/app.slice/job\n");
    write("proc/self/mountinfo", v2_mountinfo);
    write("sys/fs/cgroup/app.slice/cpu.max", "300000 100000\n");
    write("sys/fs/cgroup/app.slice/job/cpu.max", "max 100000\n");
    EXPECT_EQ(cgroup_cpu_limit(root), 3u);
}

TEST_F(CgroupSamples, Version1QuotaWithControllerMountedTogether) {
    write("proc/self/cgroup", "5:cpuset:/\n4:cpu,cpuacct:/docker/abc\n0::/\n");
    write("proc/self/mountinfo", v1_mountinfo);
    write("sys/fs/cgroup/cpu,cpuacct/docker/abc/cpu.cfs_period_us", "100000\n");
    write("sys/fs/cgroup/cpu,cpuacct/docker/abc/cpu.cfs_quota_us", "-1\n");
    EXPECT_EQ(cgroup_cpu_limit(root), std::nullopt);
    write("sys/fs/cgroup/cpu,cpuacct/docker/abc/cpu.cfs_quota_us", "200000\n");
    EXPECT_EQ(cgroup_cpu_limit(root), 2u);
}

// Inside a container the hierarchy's mount shows only the container's own group.
TEST_F(CgroupSamples, Version1MountOfASubtree) {
    write("proc/self/cgroup", "4:cpu,cpuacct:/docker/abc\n");
    write("proc/self/mountinfo",
          "40 30 0:29 /docker/abc /sys/fs/cgroup/cpu,cpuacct ro - cgroup cgroup rw,cpu,cpuacct\n");
    write("sys/fs/cgroup/cpu,cpuacct/cpu.cfs_quota_us", "150000\n");
    write("sys/fs/cgroup/cpu,cpuacct/cpu.cfs_period_us", "100000\n");
    EXPECT_EQ(cgroup_cpu_limit(root), 1u);
}

TEST_F(CgroupSamples, UsualPathsWithoutMountinfo) {
    write("proc/self/cgroup", "0::/\n");
    write("sys/fs/cgroup/cpu.max", "700000 100000\n");
    EXPECT_EQ(cgroup_cpu_limit(root), 7u);
}

TEST_F(CgroupSamples, HybridTakesTheTighterOfBoth) {
    write("proc/self/cgroup", "4:cpu,cpuacct:/\n0::/user\n");
    write("proc/self/mountinfo", v1_mountinfo + "41 31 0:38 / /sys/fs/cgroup/unified rw - cgroup2 cgroup2 rw\n");
    write("sys/fs/cgroup/cpu,cpuacct/cpu.cfs_quota_us", "500000\n");
    write("sys/fs/cgroup/cpu,cpuacct/cpu.cfs_period_us", "100000\n");
    write("sys/fs/cgroup/unified/user/cpu.max", "300000 100000\n");
    EXPECT_EQ(cgroup_cpu_limit(root), 3u);
}

TEST_F(CgroupSamples, NothingKnownMeansNoLimit) {
    EXPECT_EQ(cgroup_cpu_limit(root), std::nullopt);
    write("proc/self/cgroup", "0::/\n");
    write("proc/self/mountinfo", v2_mountinfo);
    EXPECT_EQ(cgroup_cpu_limit(root), std::nullopt);
}
