#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "fault.hpp"
#include "test_support.hpp"
#include "worker_pool.hpp"

using namespace tarvik;
using tarvik::test_support::fault_of;

namespace {

// Sums 0..n-1 by nested fork-join down to single numbers.
std::uint64_t tree_sum(WorkerPool& pool, WorkerPool::Worker& me, std::uint64_t lo, std::uint64_t hi) {
    if (hi - lo == 1) return lo;
    const std::uint64_t mid = lo + (hi - lo) / 2;
    auto [left, right] = pool.join(
        me, [&](WorkerPool::Worker& w, bool) { return tree_sum(pool, w, lo, mid); },
        [&](WorkerPool::Worker& w, bool) { return tree_sum(pool, w, mid, hi); }, false);
    return left + right;
}

}  // namespace

class PoolSizes : public ::testing::TestWithParam<std::size_t> {};
INSTANTIATE_TEST_SUITE_P(Threads, PoolSizes, ::testing::Values(1, 2, 3, 8));

TEST_P(PoolSizes, NestedJoinsFromManyCallersFinish) {
    WorkerPool pool(GetParam());
    EXPECT_EQ(pool.thread_count(), GetParam());
    // Several outside threads at once, each a deep tree of joins: a worker that blocked while
    // waiting for a stolen half would deadlock here.
    constexpr std::uint64_t n = 4096;
    std::vector<std::thread> callers;
    std::atomic<int> correct{0};
    for (int c = 0; c < 4; ++c) {
        callers.emplace_back([&] {
            for (int round = 0; round < 20; ++round) {
                const auto sum = pool.run_outside([&](WorkerPool::Worker& w) { return tree_sum(pool, w, 0, n); });
                if (sum == n * (n - 1) / 2) correct.fetch_add(1);
            }
        });
    }
    for (auto& c : callers) c.join();
    EXPECT_EQ(correct.load(), 80);
}

TEST_P(PoolSizes, FaultReachesCallerLeftWinsAndPoolSurvives) {
    WorkerPool pool(GetParam());
    auto both_fail = [&] {
        pool.run_outside([&](WorkerPool::Worker& w) {
            return pool.join(
                w, [](WorkerPool::Worker&, bool) -> int { fail("left {}", {1}); },
                [](WorkerPool::Worker&, bool) -> int { fail("right {}", {2}); }, true);
        });
    };
    auto right_fails = [&] {
        pool.run_outside([&](WorkerPool::Worker& w) {
            return pool.join(
                w, [](WorkerPool::Worker&, bool) { return 1; },
                [](WorkerPool::Worker&, bool) -> int { throw std::runtime_error("not an engine fault"); }, true);
        });
    };
    for (int round = 0; round < 50; ++round) {
        EXPECT_EQ(fault_of(both_fail), "left 1");
        EXPECT_THROW(right_fails(), std::runtime_error);
    }
    EXPECT_EQ(pool.run_outside([&](WorkerPool::Worker& w) { return tree_sum(pool, w, 0, 100); }), 4950u);
}

TEST_P(PoolSizes, MovedMarksInjectedAndStolenHalves) {
    WorkerPool pool(GetParam());
    // Halves of an injected join are always moved.
    auto [left, right] = pool.run_outside([&](WorkerPool::Worker& w) {
        return pool.join(w, [](WorkerPool::Worker&, bool moved) { return moved; },
                         [](WorkerPool::Worker&, bool moved) { return moved; }, true);
    });
    EXPECT_TRUE(left);
    EXPECT_TRUE(right);
    // Otherwise a half is moved exactly when it ran on another worker.
    for (int round = 0; round < 200; ++round) {
        const bool consistent = pool.run_outside([&](WorkerPool::Worker& me) {
            auto report = [&](WorkerPool::Worker& w, bool moved) { return moved == (&w != &me); };
            auto [l, r] = pool.join(me, report, report, false);
            return l && r;
        });
        ASSERT_TRUE(consistent);
    }
}

TEST(WorkerPool, ZeroThreadsMeansOne) {
    WorkerPool pool(0);
    EXPECT_EQ(pool.thread_count(), 1u);
    EXPECT_EQ(pool.run_outside([](WorkerPool::Worker& w) { return w.index; }), 0u);
}
