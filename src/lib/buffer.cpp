#include "buffer.hpp"

#include <cstdlib>

#include <sys/mman.h>

#include "fault.hpp"

namespace tarvik {

void fail_allocation(std::uint64_t bytes) {
    throw EngineFault(format_message("memory allocation of {} bytes failed", {bytes}), FaultKind::out_of_memory);
}

namespace {

// Large buffers are marked for transparent huge pages: the first touch of a fresh output of
// millions of elements then takes a few faults per 2 MiB instead of one per 4 KiB, which would
// otherwise cost as much as the arithmetic. Only the whole pages inside the buffer are marked;
// where huge pages are unavailable the advice is ignored.
void advise_huge_pages(void* pointer, std::size_t bytes) {
    constexpr std::size_t huge_page = std::size_t{2} << 20;
    constexpr std::size_t page = 4096;
    if (bytes < 2 * huge_page) return;
    const auto start = (reinterpret_cast<std::uintptr_t>(pointer) + page - 1) / page * page;
    const auto end = (reinterpret_cast<std::uintptr_t>(pointer) + bytes) / page * page;
    madvise(reinterpret_cast<void*>(start), end - start, MADV_HUGEPAGE);
}

}  // namespace

void fail_capacity_overflow(std::source_location where) { fail("capacity overflow", {}, where); }

void* allocate_bytes(std::size_t bytes) {
    constexpr std::size_t alignment = 64;
    // aligned_alloc wants a multiple of the alignment; the rounding cannot overflow since callers
    // keep `bytes` at or below the largest signed 64-bit value.
    std::size_t rounded = (bytes + alignment - 1) / alignment * alignment;
    if (rounded == 0) rounded = alignment;
    void* pointer = std::aligned_alloc(alignment, rounded);
    if (pointer == nullptr) fail_allocation(bytes);
    advise_huge_pages(pointer, rounded);
    return pointer;
}

void release_bytes(void* pointer) noexcept { std::free(pointer); }

}  // namespace tarvik
