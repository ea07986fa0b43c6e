#include "parallel/output_pages.hpp"

#include <algorithm>
#include <cstdint>

#include <sys/mman.h>

#include "base/fault.hpp"

namespace tarvik {

WorkerPool* pool_for_mapping() noexcept {
    try {
        return &global_worker_pool();
    } catch (const EngineFault&) {
        return nullptr;
    }
}

void map_pages_from_back(void* data, std::size_t bytes, const std::atomic<bool>& finished) noexcept {
#if defined(MADV_POPULATE_WRITE)
    // Steps end on huge-page boundaries, so that each maps whole huge pages where the buffer has them.
    constexpr std::uintptr_t page = 4096, step = std::uintptr_t{2} << 20;
    const auto address = reinterpret_cast<std::uintptr_t>(data);
    const std::uintptr_t front = (address + page - 1) / page * page;
    std::uintptr_t back = (address + bytes) / page * page;
    while (back > front && !finished.load(std::memory_order_relaxed)) {
        const std::uintptr_t start = std::max(front, (back - 1) / step * step);
        // Refused by kernels older than 5.14 (and where memory runs short): the pass then takes
        // the remaining faults itself.
        if (madvise(reinterpret_cast<void*>(start), back - start, MADV_POPULATE_WRITE) != 0) return;
        back = start;
    }
#else
    (void)data, (void)bytes, (void)finished;
#endif
}

}  // namespace tarvik
