#include "buffer.hpp"

#include <cstdlib>

#include "fault.hpp"

namespace tarvik {

void fail_allocation(std::uint64_t bytes) {
    throw EngineFault(format_message("memory allocation of {} bytes failed", {bytes}), FaultKind::out_of_memory);
}

void fail_capacity_overflow(std::source_location where) { fail("capacity overflow", {}, where); }

void* allocate_bytes(std::size_t bytes) {
    constexpr std::size_t alignment = 64;
    // aligned_alloc wants a multiple of the alignment; the rounding cannot overflow since callers
    // keep `bytes` at or below the largest signed 64-bit value.
    std::size_t rounded = (bytes + alignment - 1) / alignment * alignment;
    if (rounded == 0) rounded = alignment;
    void* pointer = std::aligned_alloc(alignment, rounded);
    if (pointer == nullptr) fail_allocation(bytes);
    return pointer;
}

void release_bytes(void* pointer) noexcept { std::free(pointer); }

}  // namespace tarvik
