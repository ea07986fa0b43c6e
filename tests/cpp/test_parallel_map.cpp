#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <barrier>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <numeric>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "base/fault.hpp"
#include "parallel/parallel_map.hpp"
#include "test_support.hpp"

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

// A piece of twice the minimum length splits and one element shorter does not. Which threads ran
// the elements shows it: an input that does not split runs whole on the calling thread, while one that
// splits runs on the workers only.
TEST_P(EveryThreadCount, SplitsFromTwiceTheMinimumPieceLengthOn) {
    WorkerPool& pool = pool_of(GetParam());
    for (std::uint64_t min : {1, 2, 3, 64, 1000}) {
        for (std::uint64_t n : {2 * min - 1, 2 * min}) {
            std::vector<double> input(n);
            std::iota(input.begin(), input.end(), 0.0);
            std::vector<std::thread::id> ran(n);
            parallel_map(pool, input, [&](double i) { return ran[static_cast<std::size_t>(i)] = std::this_thread::get_id(), i; }, min);
            const auto on_caller = std::count(ran.begin(), ran.end(), std::this_thread::get_id());
            EXPECT_EQ(on_caller, n == 2 * min ? 0 : static_cast<std::ptrdiff_t>(n)) << "min " << min << " n " << n;
        }
    }
}

// Eight callers released at once on pools of 1 to 8 workers, each call a tree of joins down to
// single elements with faults from a chosen index on (the lowest faulting piece must win), and
// calls made from inside the element function of another call, on a second pool.
TEST(ParallelMap, ManyCallersAtOnceWithFaultsAndNestedCalls) {
    constexpr int callers = 8, rounds = 4;
    constexpr std::uint64_t n = 600;
    std::vector<double> input(n);
    std::iota(input.begin(), input.end(), 0.0);
    const std::vector<double> inner_input(40, 1.0);
    for (std::size_t threads = 1; threads <= 8; ++threads) {
        WorkerPool& pool = pool_of(threads);
        WorkerPool& inner_pool = pool_of(9 - threads);
        std::barrier start(callers);
        std::atomic<int> wrong{0};
        std::vector<std::thread> team;
        for (int c = 0; c < callers; ++c) {
            team.emplace_back([&, c] {
                for (int round = 0; round < rounds; ++round) {
                    // Past n for some callers: those calls do not fault.
                    const std::uint64_t first_bad = static_cast<std::uint64_t>(c * 131 + round * 211) % (n + n / 2);
                    auto rule = [&](double x) -> double {
                        const auto i = static_cast<std::uint64_t>(x);
                        if (i >= first_bad && (i - first_bad) % 3 == 0) fail("bad element {}", {i});
                        if (i % 50 == 0) {
                            const Buffer<double> inner = parallel_map(inner_pool, inner_input, [](double v) { return v + 1; }, 1);
                            if (std::count(inner.begin(), inner.end(), 2.0) != 40) return -1.0;
                        }
                        return 2 * x;
                    };
                    const std::string want =
                        first_bad < n ? format_message("bad element {}", {first_bad}) : std::string("no fault");
                    start.arrive_and_wait();
                    const std::string got = fault_of([&] {
                        const Buffer<double> out = parallel_map(pool, input, rule, 1);
                        for (std::uint64_t i = 0; i < n; ++i)
                            if (out[i] != 2.0 * static_cast<double>(i)) fail("element {} is wrong", {i});
                    });
                    if (got != want) wrong.fetch_add(1);
                }
            });
        }
        for (auto& t : team) t.join();
        EXPECT_EQ(wrong.load(), 0) << threads << " workers";
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
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "ThreadSanitizer does not support a child forked after threads started";
#endif
    GTEST_FLAG_SET(death_test_style, "fast");
    ASSERT_GE(thread_count(), 1u);  // the parent's pool is running
    auto child = [] {
        setenv("RAYON_NUM_THREADS", "65535", 1);
        // Leave room for a few hundred worker stacks, not 65535.
        test_support::limit_address_space(std::size_t{256} << 20);
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
