// Fresh outputs written by one sequential pass, with their pages mapped in by another worker.
//
// An output larger than the C library keeps for reuse is mapped afresh, and the kernel zeroes each
// of its pages on the first write: for a running sum of 2e7 elements that takes as long as the
// additions. Parallel maps split the faults with the work; a pass that must run in order cannot,
// so while it writes front to back, an idle worker maps the pages in from the back and the two
// meet partway. Mapping a page is invisible to the pass (the page reads as the zeros it would have
// held anyway, and one already written is left alone), so where no worker is free, or the kernel
// does not offer the request, the pass simply takes the faults itself.
#pragma once

#include <atomic>
#include <cstddef>

#include "parallel/worker_pool.hpp"

namespace tarvik {

// Outputs of at least this size are mapped in alongside the pass: above the largest block the C
// library's allocator hands back for reuse (32 MiB), every output is a fresh mapping.
inline constexpr std::size_t mapped_output_bytes = std::size_t{32} << 20;

// Maps in the pages of [data, data + bytes) from the back, a 2 MiB step at a time, until `finished`
// is set, the front is reached or the kernel refuses.
void map_pages_from_back(void* data, std::size_t bytes, const std::atomic<bool>& finished) noexcept;

// The process-wide pool, or none where it cannot start: the pass runs without it.
WorkerPool* pool_for_mapping() noexcept;

// Runs `pass()`, which writes the `bytes` at `data` front to back and does not raise, with the
// pages mapped in from the back meanwhile by another worker of `pool`, whatever their size.
template <class Pass>
void write_with_pages_mapped(WorkerPool& pool, void* data, std::size_t bytes, Pass&& pass) {
    if (pool.thread_count() < 2) {
        pass();
        return;
    }
    std::atomic<bool> finished{false};
    auto write = [&](WorkerPool::Worker&, bool) {
        pass();
        finished.store(true, std::memory_order_relaxed);
        return 0;
    };
    auto map = [&](WorkerPool::Worker&, bool) {
        map_pages_from_back(data, bytes, finished);
        return 0;
    };
    pool.run_outside([&](WorkerPool::Worker& worker) { return pool.join(worker, write, map, true); });
}

// The same on the process-wide pool for outputs of at least `mapped_output_bytes`; smaller ones
// (and any where the pool cannot start) are left to the pass alone.
template <class Pass>
void write_with_pages_mapped(void* data, std::size_t bytes, Pass&& pass) {
    WorkerPool* const pool = bytes < mapped_output_bytes ? nullptr : pool_for_mapping();
    if (pool == nullptr)
        pass();
    else
        write_with_pages_mapped(*pool, data, bytes, pass);
}

}  // namespace tarvik
