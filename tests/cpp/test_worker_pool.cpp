#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <barrier>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "base/fault.hpp"
#include "parallel/worker_pool.hpp"
#include "test_support.hpp"

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

// The exit code of child `pid`, or -1 (after killing it) if it has not ended within `seconds`.
int exit_code_within(pid_t pid, int seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        usleep(200);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// In a fresh child, whose process-wide pool is not started: two threads start it while the main
// thread forks, after a delay that moves the fork across the creation. The grandchild must get a
// working pool of its own.
[[noreturn]] void fork_while_the_pool_starts(unsigned delay_spins) {
    std::atomic<bool> go{false};
    std::vector<std::thread> starters;
    for (int i = 0; i < 2; ++i)
        starters.emplace_back([&] {
            while (!go.load()) {
            }
            thread_count();
        });
    go.store(true);
    for (unsigned spin = 0; spin < delay_spins; ++spin) asm volatile("");
    const pid_t grandchild = fork();
    if (grandchild == 0) {
        WorkerPool& pool = global_worker_pool();
        const auto sum = pool.run_outside([&](WorkerPool::Worker& w) { return tree_sum(pool, w, 0, 64); });
        _exit(sum == 64 * 63 / 2 ? 0 : 1);
    }
    for (auto& s : starters) s.join();
    _exit(exit_code_within(grandchild, 5));
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

TEST(GlobalWorkerPool, ForkDuringTheFirstStartLeavesTheChildAWorkingPool) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "ThreadSanitizer does not support a child forked after threads started";
#elif defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer's allocator can stay locked in a child forked while other threads allocate";
#endif
    constexpr int rounds = 300;
    int working = 0;
    std::vector<int> failures;
    for (int round = 0; round < rounds; ++round) {
        const pid_t child = fork();
        if (child == 0) fork_while_the_pool_starts(static_cast<unsigned>(round % 30) * 1000);
        const int code = exit_code_within(child, 20);
        if (code == 0)
            ++working;
        else
            failures.push_back(code);
    }
    EXPECT_EQ(working, rounds) << "exit codes of the failed rounds (-1: hung): " << ::testing::PrintToString(failures);
}

// A worker that joins a stolen half and falls asleep must be woken when the half ends, even with other
// idle workers asleep beside it (waking one sleeper may wake the wrong one). The half takes long
// enough for every other worker to fall asleep.
TEST(WorkerPool, AJoinerAsleepWakesWhenItsStolenHalfEnds) {
    // Left alive if a joiner never wakes: its threads are stuck, so it could not be destroyed.
    auto* pool = new WorkerPool(4);
    std::promise<void> finished;
    std::future<void> done = finished.get_future();
    std::thread caller([pool, finished = std::move(finished)]() mutable {
        for (int round = 0; round < 20; ++round) {
            pool->run_outside([&](WorkerPool::Worker& me) {
                std::atomic<bool> right_started{false};
                return pool->join(
                    me,
                    [&](WorkerPool::Worker&, bool) {
                        // Busy until a thief has taken the right half, so the joiner must wait for it.
                        while (!right_started.load()) std::this_thread::yield();
                        return 0;
                    },
                    [&](WorkerPool::Worker&, bool) {
                        right_started.store(true);
                        std::this_thread::sleep_for(std::chrono::milliseconds(20));
                        return 0;
                    },
                    false);
            });
        }
        finished.set_value();
    });
    if (done.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
        caller.detach();
        FAIL() << "a joiner was not woken when its stolen half ended";
    }
    caller.join();
    delete pool;
}

// The first calls of a process, from eight threads at once, all get the one pool, and it works. In a
// fresh process, where the pool has not started.
TEST(GlobalWorkerPoolDeathTest, EightThreadsStartingItAtOnceShareOnePool) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    auto child = [] {
        std::barrier start(8);
        std::vector<WorkerPool*> seen(8);
        std::atomic<int> correct{0};
        std::vector<std::thread> team;
        for (int t = 0; t < 8; ++t) {
            team.emplace_back([&, t] {
                start.arrive_and_wait();
                WorkerPool& pool = global_worker_pool();
                seen[t] = &pool;
                if (pool.run_outside([&](WorkerPool::Worker& w) { return tree_sum(pool, w, 0, 512); }) == 512 * 511 / 2)
                    correct.fetch_add(1);
            });
        }
        for (auto& t : team) t.join();
        const bool one_pool = std::count(seen.begin(), seen.end(), seen[0]) == 8;
        std::fprintf(stderr, "%s pool, %d correct\n", one_pool ? "one" : "several", correct.load());
        std::exit(one_pool && correct.load() == 8 ? 0 : 1);
    };
    EXPECT_EXIT(child(), ::testing::ExitedWithCode(0), "one pool, 8 correct");
}
