#include "buffer.hpp"

#include <cstdlib>

#include <sys/mman.h>

#include "fault.hpp"

namespace tarvik {

void fail_allocation(std::uint64_t bytes) {
    throw EngineFault(format_message("memory allocation of {} bytes failed", {bytes}), FaultKind::out_of_memory);
}

void fail_capacity_overflow(std::source_location where) { fail("capacity overflow", {}, where); }

void* allocate_bytes(std::size_t bytes) {
    // Large buffers are placed on huge-page boundaries and marked for transparent huge pages:
    // the first touch of a fresh 20-million-element output then takes a few dozen page faults
    // instead of tens of thousands, which otherwise cost as much as the arithmetic.
    constexpr std::size_t huge_page = std::size_t{2} << 20;
    const std::size_t alignment = bytes >= 2 * huge_page ? huge_page : 64;
    // aligned_alloc wants a multiple of the alignment; the rounding cannot overflow since callers
    // keep `bytes` at or below the largest signed 64-bit value.
    std::size_t rounded = (bytes + alignment - 1) / alignment * alignment;
    if (rounded == 0) rounded = alignment;
    void* pointer = std::aligned_alloc(alignment, rounded);
    if (pointer == nullptr) fail_allocation(bytes);
    // Only advice: where huge pages are unavailable the buffer simply keeps small pages.
    if (alignment == huge_page) madvise(pointer, rounded, MADV_HUGEPAGE);
    return pointer;
}

void release_bytes(void* pointer) noexcept { std::free(pointer); }

}  // namespace tarvik
