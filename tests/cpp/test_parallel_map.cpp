#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <vector>

#include <sys/resource.h>

#include "fault.hpp"
#include "test_support.hpp"
#include "parallel_map.hpp"

using namespace tarvik;
using tarvik::test_support::fault_of;

namespace {

std::vector<double> random_values(std::size_t n, unsigned seed) {
    std::mt19937_64 generator(seed);
    std::uniform_real_distribution<double> value(-100.0, 100.0);
    std::vector<double> values(n);
    for (double& v : values) v = value(generator);
    return values;
}

bool same_bits(std::span<const double> a, std::span<const double> b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

// One pool per thread count, shared by the tests below.
WorkerPool& pool_of(std::size_t threads) {
    static std::unique_ptr<WorkerPool> pools[9];
    if (!pools[threads]) pools[threads] = std::make_unique<WorkerPool>(threads);
    return *pools[threads];
}

}  // namespace

class EveryThreadCount : public ::testing::TestWithParam<std::size_t> {};
INSTANTIATE_TEST_SUITE_P(Threads, EveryThreadCount, ::testing::Range<std::size_t>(1, 9));

// With pieces down to one element the halving runs as deep as it can, so every n exercises a
// different tree of splits.
TEST_P(EveryThreadCount, OutputIsInInputOrderForEveryLength) {
    WorkerPool& pool = pool_of(GetParam());
    const auto a = random_values(3000, 1);
    const auto b = random_values(3000, 2);
    for (std::size_t n = 0; n <= a.size(); n += (n < 600 ? 1 : 7)) {
        std::span<const double> x(a.data(), n), y(b.data(), n);
        const Buffer<double> mapped = parallel_map(pool, x, [](double v) { return v * 3.0 - 1.0; }, 1);
        const Buffer<double> zipped = parallel_zip_map(pool, x, y, [](double u, double v) { return u - v; }, 1);
        ASSERT_EQ(mapped.size(), n);
        ASSERT_EQ(zipped.size(), n);
        for (std::size_t i = 0; i < n; ++i) {
            ASSERT_EQ(mapped[i], a[i] * 3.0 - 1.0) << "n " << n << " i " << i;
            ASSERT_EQ(zipped[i], a[i] - b[i]) << "n " << n << " i " << i;
        }
    }
}

TEST_P(EveryThreadCount, LargeInputsMatchTheSequentialLoopBitForBit) {
    WorkerPool& pool = pool_of(GetParam());
    for (std::size_t n : {std::size_t{65535}, std::size_t{65536}, std::size_t{1} << 20, std::size_t{1000003}}) {
        const auto a = random_values(n, static_cast<unsigned>(n));
        std::vector<double> expected(n);
        for (std::size_t i = 0; i < n; ++i) expected[i] = a[i] / 7.0;
        const Buffer<double> result = parallel_map(pool, a, [](double v) { return v / 7.0; });
        ASSERT_TRUE(same_bits(result, expected)) << "n " << n;
    }
}

// Where a piece starts decides which elements the vector loop handles and which its scalar
// remainder does; both must agree even on which of two NaN payloads survives.
TEST_P(EveryThreadCount, NanPayloadsDoNotDependOnTheSplit) {
    WorkerPool& pool = pool_of(GetParam());
    std::vector<double> a(1001), b(1001);
    const std::uint64_t payload_a = 0x7ff8000000000001, payload_b = 0x7ff8000000000002;
    for (std::size_t i = 0; i < a.size(); ++i) {
        std::memcpy(&a[i], &payload_a, sizeof(double));
        std::memcpy(&b[i], &payload_b, sizeof(double));
    }
    auto sum = [](double x, double y) { return x + y; };
    auto product = [](double x, double y) { return x * y; };
    EXPECT_TRUE(same_bits(parallel_zip_map(pool, a, b, sum, 1), parallel_zip_map(pool, a, b, sum, a.size())));
    EXPECT_TRUE(same_bits(parallel_zip_map(pool, a, b, product, 1), parallel_zip_map(pool, a, b, product, a.size())));
}

TEST_P(EveryThreadCount, FaultAtChosenIndexReachesCallerLeftmostWins) {
    WorkerPool& pool = pool_of(GetParam());
    std::vector<double> indices(2000);
    for (std::size_t i = 0; i < indices.size(); ++i) indices[i] = static_cast<double>(i);
    for (double first_bad : {0.0, 1.0, 999.0, 1000.0, 1999.0}) {
        // Every index from first_bad on faults; the message must name the leftmost.
        auto throwing = [first_bad](double i) -> double {
            if (i >= first_bad) fail("bad element {}", {static_cast<std::uint64_t>(i)});
            return i;
        };
        EXPECT_EQ(fault_of([&] { parallel_map(pool, indices, throwing, 1); }),
                  format_message("bad element {}", {static_cast<std::uint64_t>(first_bad)}));
        // And the pool still works afterwards.
        const Buffer<double> fine = parallel_map(pool, indices, [](double v) { return v; }, 1);
        ASSERT_TRUE(same_bits(fine, indices));
    }
}

TEST(ParallelMap, ZipStopsAtTheShorterInput) {
    WorkerPool& pool = pool_of(2);
    const std::vector<double> five{1, 2, 3, 4, 5};
    const std::vector<double> three{10, 20, 30};
    auto sum = [](double u, double v) { return u + v; };
    for (const auto& [a, b] : {std::pair{&five, &three}, std::pair{&three, &five}}) {
        const Buffer<double> zipped = parallel_zip_map(pool, *a, *b, sum, 1);
        EXPECT_EQ(std::vector<double>(zipped.begin(), zipped.end()), (std::vector<double>{11, 22, 33}));
    }
    const auto long_a = random_values(400000, 5);
    const auto long_b = random_values(300001, 6);
    const Buffer<double> zipped = parallel_zip_map(pool, long_a, long_b, sum);
    ASSERT_EQ(zipped.size(), long_b.size());
    for (std::size_t i = 0; i < zipped.size(); ++i) ASSERT_EQ(zipped[i], long_a[i] + long_b[i]);
}

TEST(ParallelMap, ProcessWidePoolServesTinyAndEmptyInputs) {
    const std::vector<double> one{2.5};
    EXPECT_EQ(parallel_map(std::span<const double>(), [](double v) { return v; }).size(), 0u);
    EXPECT_GE(thread_count(), 1u);
    const Buffer<double> doubled = parallel_map(one, [](double v) { return 2 * v; });
    ASSERT_EQ(doubled.size(), 1u);
    EXPECT_EQ(doubled[0], 5.0);
}

// Creation is tried once per process and a forked child is a new process: in a child of a
// process whose pool is running, a creation that cannot start its threads fails, and fails the
// same way again.
TEST(ParallelMapDeathTest, FailedCreationInForkedChildIsReportedAndNotRetried) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "a lowered RLIMIT_AS leaves AddressSanitizer no room for its own mappings";
#endif
    GTEST_FLAG_SET(death_test_style, "fast");
    ASSERT_GE(thread_count(), 1u);  // the parent's pool is running
    auto child = [] {
        setenv("RAYON_NUM_THREADS", "65535", 1);
        // Leave room for a few hundred worker stacks, not 65535.
        rlimit limit{};
        getrlimit(RLIMIT_AS, &limit);
        std::FILE* status = std::fopen("/proc/self/statm", "r");
        unsigned long pages = 0;
        if (status == nullptr || std::fscanf(status, "%lu", &pages) != 1) std::exit(3);
        std::fclose(status);
        limit.rlim_cur = pages * 4096 + (std::size_t{256} << 20);
        setrlimit(RLIMIT_AS, &limit);
        const std::string prefix = "The global thread pool has not been initialized.: ";
        for (int attempt = 0; attempt < 2; ++attempt) {
            const std::string message = fault_of([] { thread_count(); });
            if (message.rfind(prefix, 0) != 0 || message.size() == prefix.size()) {
                std::fprintf(stderr, "unexpected: %s\n", message.c_str());
                std::exit(1);
            }
        }
        std::fprintf(stderr, "creation failed twice as expected\n");
        std::exit(0);
    };
    EXPECT_EXIT(child(), ::testing::ExitedWithCode(0), "creation failed twice as expected");
}
