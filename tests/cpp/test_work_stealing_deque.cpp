#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

#include "parallel/work_stealing_deque.hpp"

using namespace tarvik;

namespace {
using Deque = WorkStealingDeque<std::uintptr_t>;
using Outcome = Deque::StealOutcome;
}  // namespace

TEST(WorkStealingDeque, OwnerPopsNewestThiefStealsOldest) {
    Deque deque(2);
    for (std::uintptr_t i = 1; i <= 100; ++i) deque.push(i);  // grows past its first ring
    std::uintptr_t item = 0;
    ASSERT_TRUE(deque.pop(item));
    EXPECT_EQ(item, 100u);
    auto stolen = deque.steal();
    ASSERT_EQ(stolen.outcome, Outcome::taken);
    EXPECT_EQ(stolen.item, 1u);
    for (std::uintptr_t expected = 99; expected >= 2; --expected) {
        ASSERT_TRUE(deque.pop(item));
        EXPECT_EQ(item, expected);
    }
    EXPECT_FALSE(deque.pop(item));
    EXPECT_EQ(deque.steal().outcome, Outcome::empty);
    EXPECT_TRUE(deque.looks_empty());
}

// The owner pushes and pops while thieves steal; every item must be taken exactly once.
TEST(WorkStealingDeque, ConcurrentOwnerAndThievesTakeEachItemOnce) {
    constexpr std::uintptr_t items = 200000;
    Deque deque(4);
    std::vector<std::atomic<int>> taken(items + 1);
    std::atomic<bool> owner_done{false};

    auto thief = [&] {
        while (true) {
            auto stolen = deque.steal();
            if (stolen.outcome == Outcome::taken) {
                taken[stolen.item].fetch_add(1);
            } else if (stolen.outcome == Outcome::empty && owner_done.load()) {
                return;
            }
        }
    };
    std::vector<std::thread> thieves;
    for (int t = 0; t < 3; ++t) thieves.emplace_back(thief);

    std::uintptr_t item = 0;
    for (std::uintptr_t i = 1; i <= items; ++i) {
        deque.push(i);
        // Pop every third push so that owner and thieves race for the last element often.
        if (i % 3 == 0 && deque.pop(item)) taken[item].fetch_add(1);
    }
    while (deque.pop(item)) taken[item].fetch_add(1);
    owner_done.store(true);
    for (auto& t : thieves) t.join();

    for (std::uintptr_t i = 1; i <= items; ++i) ASSERT_EQ(taken[i].load(), 1) << "item " << i;
}
