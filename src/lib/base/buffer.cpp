#include "base/buffer.hpp"

#include <cstdlib>

#include <sys/mman.h>

#include "base/fault.hpp"

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
    // Plain malloc rather than an over-aligned allocation: every kernel loads unaligned, a small
    // request costs a few nanoseconds instead of a few dozen, and a freed large block is reused
    // for the next request of its size instead of being mapped (and faulted in) afresh.
    void* pointer = std::malloc(bytes == 0 ? 1 : bytes);
    if (pointer == nullptr) fail_allocation(bytes);
    advise_huge_pages(pointer, bytes);
    return pointer;
}

void release_bytes(void* pointer) noexcept { std::free(pointer); }

}  // namespace tarvik
