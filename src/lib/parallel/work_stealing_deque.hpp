// A per-worker double-ended queue of pending pieces: its owner pushes and pops at the bottom (last
// in, first out), thieves steal from the top (first in, first out), so a stolen piece is the oldest
// and, for halving work, the largest one pending.
//
// The algorithm is the Chase-Lev deque (Chase and Lev, "Dynamic Circular Work-Stealing Deque",
// SPAA 2005) with the memory orders proved correct for C11 atomics by Lê, Pop, Cohen and Zappa
// Nardelli, "Correct and Efficient Work-Stealing for Weak Memory Models", PPoPP 2013. The
// comments on each atomic refer to that proof.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <type_traits>
#include <vector>

namespace tarvik {

// Destructive interference distance; fixed so the layout does not depend on compiler tuning flags.
inline constexpr std::size_t cache_line_size = 64;

#if defined(__SANITIZE_THREAD__)
#define TARVIK_THREAD_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define TARVIK_THREAD_SANITIZER 1
#endif
#endif

// ThreadSanitizer does not model std::atomic_thread_fence. Under it, push publishes its element
// with a release store of bottom, an order the tool sees, instead of a release fence before a relaxed
// store; ordinary builds keep the proof's form. The seq_cst fences in pop and steal order a store
// before a load for the last-element race, which the tool does not check either way.
#if defined(TARVIK_THREAD_SANITIZER)
inline constexpr bool fences_unseen_by_checker = true;
#else
inline constexpr bool fences_unseen_by_checker = false;
#endif

template <class T>
class WorkStealingDeque {
    static_assert(std::is_trivially_copyable_v<T> && sizeof(T) <= sizeof(void*),
                  "elements travel through single-word atomics");

public:
    // What a thief gets: an element, nothing because the deque looked empty, or nothing because
    // another thread won the race for the top element (worth retrying).
    enum class StealOutcome { taken, empty, lost_race };
    struct Stolen {
        StealOutcome outcome;
        T item;
    };

    explicit WorkStealingDeque(std::size_t initial_capacity = 64)
        : ring_(new Ring(round_up_to_power_of_two(initial_capacity))) {
        retired_.emplace_back(ring_.load(std::memory_order_relaxed));
    }

    WorkStealingDeque(const WorkStealingDeque&) = delete;
    WorkStealingDeque& operator=(const WorkStealingDeque&) = delete;

    // Owner only.
    void push(T item) {
        // Only the owner writes bottom, so it reads its own last value.
        const std::int64_t b = bottom_.load(std::memory_order_relaxed);
        // Acquire pairs with a thief's successful CAS on top, so the slot it emptied may be reused.
        const std::int64_t t = top_.load(std::memory_order_acquire);
        // Only the owner replaces the ring.
        Ring* ring = ring_.load(std::memory_order_relaxed);
        if (b - t > static_cast<std::int64_t>(ring->capacity) - 1) ring = grow(ring, t, b);
        ring->put(b, item);
        if constexpr (fences_unseen_by_checker) {
            bottom_.store(b + 1, std::memory_order_release);
        } else {
            // Release: a thief that sees the new bottom also sees the element written just above.
            std::atomic_thread_fence(std::memory_order_release);
            // Ordered by the fence above; relaxed suffices for the store itself.
            bottom_.store(b + 1, std::memory_order_relaxed);
        }
    }

    // Owner only. Returns false when the deque is empty or a thief took the last element.
    [[nodiscard]] bool pop(T& item) {
        const std::int64_t b = bottom_.load(std::memory_order_relaxed) - 1;
        Ring* ring = ring_.load(std::memory_order_relaxed);
        // Reserve the bottom slot before looking at top; the seq_cst fence below orders the two.
        bottom_.store(b, std::memory_order_relaxed);
        // Full fence: the reservation of bottom and the read of top must not be reordered, or the
        // owner and a thief could both take the last element.
        std::atomic_thread_fence(std::memory_order_seq_cst);
        std::int64_t t = top_.load(std::memory_order_relaxed);
        if (t > b) {
            // Empty: undo the reservation. Only the owner writes bottom.
            bottom_.store(b + 1, std::memory_order_relaxed);
            return false;
        }
        item = ring->get(b);
        if (t < b) return true;
        // One element left: race the thieves for it through top. seq_cst joins the total order
        // of the thieves' CASes; on failure nothing was read that needs ordering.
        const bool won = top_.compare_exchange_strong(t, t + 1, std::memory_order_seq_cst,
                                                      std::memory_order_relaxed);
        // Either way the deque is now empty at index b + 1; only the owner writes bottom.
        bottom_.store(b + 1, std::memory_order_relaxed);
        return won;
    }

    // Any thread.
    [[nodiscard]] Stolen steal() {
        // Acquire pairs with the CAS of an earlier thief, so this thief reads a settled top.
        std::int64_t t = top_.load(std::memory_order_acquire);
        // Full fence: top must be read before bottom, mirroring the owner's fence in pop.
        std::atomic_thread_fence(std::memory_order_seq_cst);
        // Acquire pairs with the release fence in push, making the element below bottom visible.
        const std::int64_t b = bottom_.load(std::memory_order_acquire);
        if (t >= b) return {StealOutcome::empty, T{}};
        // Acquire (the paper's consume) so the ring's contents written before it was published
        // are visible.
        Ring* ring = ring_.load(std::memory_order_acquire);
        const T item = ring->get(t);
        // seq_cst keeps the claim in one total order with the owner's CAS in pop; on failure the
        // element read above is discarded, so relaxed suffices.
        if (!top_.compare_exchange_strong(t, t + 1, std::memory_order_seq_cst, std::memory_order_relaxed))
            return {StealOutcome::lost_race, T{}};
        return {StealOutcome::taken, item};
    }

    // A hint only: the deque may change as soon as this returns.
    [[nodiscard]] bool looks_empty() const {
        // Relaxed: the answer is advisory and re-checked by pop or steal.
        return top_.load(std::memory_order_relaxed) >= bottom_.load(std::memory_order_relaxed);
    }

private:
    struct Ring {
        explicit Ring(std::size_t capacity_) : capacity(capacity_), slots(new std::atomic<T>[capacity_]) {}
        std::size_t capacity;
        std::unique_ptr<std::atomic<T>[]> slots;

        // Slots are relaxed: the fences and the top/bottom protocol above order every access.
        T get(std::int64_t i) const {
            return slots[static_cast<std::size_t>(i) & (capacity - 1)].load(std::memory_order_relaxed);
        }
        void put(std::int64_t i, T item) {
            slots[static_cast<std::size_t>(i) & (capacity - 1)].store(item, std::memory_order_relaxed);
        }
    };

    static std::size_t round_up_to_power_of_two(std::size_t n) {
        std::size_t capacity = 1;
        while (capacity < n) capacity *= 2;
        return capacity;
    }

    Ring* grow(Ring* old, std::int64_t t, std::int64_t b) {
        auto* bigger = new Ring(old->capacity * 2);
        for (std::int64_t i = t; i < b; ++i) bigger->put(i, old->get(i));
        retired_.emplace_back(bigger);
        // Release publishes the copied slots to thieves that load the ring with acquire. The old
        // ring stays alive (in retired_) because a thief may still be reading from it.
        ring_.store(bigger, std::memory_order_release);
        return bigger;
    }

    // Thieves write top; keeping it alone on its line stops their CASes from invalidating the
    // owner's bottom on every steal attempt.
    alignas(cache_line_size) std::atomic<std::int64_t> top_{0};
    // Written by the owner on every push and pop, read by thieves.
    alignas(cache_line_size) std::atomic<std::int64_t> bottom_{0};
    std::atomic<Ring*> ring_;
    // Owner-only: every ring ever used, freed with the deque.
    alignas(cache_line_size) std::vector<std::unique_ptr<Ring>> retired_;
};

}  // namespace tarvik
