// Owned element storage for arrays and shapes.
//
// Every sequence the engine owns is a `Buffer`: a std::vector whose allocator turns an oversized
// request into the "capacity overflow" fault and a refused one into an out-of-memory fault naming
// the byte count, so running out of memory never aborts the process. The allocator also
// default-initialises elements, so `resize` on a fresh output does not first write zeros that the
// caller is about to overwrite.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <new>
#include <source_location>
#include <type_traits>
#include <vector>

namespace tarvik {

// Raises the fault for an allocation of `bytes` that the allocator refused.
[[noreturn]] void fail_allocation(std::uint64_t bytes);
// Raises "capacity overflow".
[[noreturn]] void fail_capacity_overflow(std::source_location where = std::source_location::current());

// Allocates at least `bytes`; raises an out-of-memory fault on refusal.
void* allocate_bytes(std::size_t bytes);
void release_bytes(void* pointer) noexcept;

template <class T>
struct CheckedAllocator {
    using value_type = T;

    CheckedAllocator() noexcept = default;
    template <class U>
    CheckedAllocator(const CheckedAllocator<U>&) noexcept {}

    T* allocate(std::size_t n) {
        constexpr std::size_t largest = static_cast<std::size_t>(std::numeric_limits<std::int64_t>::max());
        if (n > largest / sizeof(T)) fail_capacity_overflow();
        return static_cast<T*>(allocate_bytes(n * sizeof(T)));
    }
    void deallocate(T* pointer, std::size_t) noexcept { release_bytes(pointer); }

    // Default-initialise: a resized output buffer holds indeterminate values until written.
    template <class U>
    void construct(U* pointer) noexcept(std::is_nothrow_default_constructible_v<U>) {
        ::new (static_cast<void*>(pointer)) U;
    }
    template <class U, class... Args>
    void construct(U* pointer, Args&&... args) {
        ::new (static_cast<void*>(pointer)) U(std::forward<Args>(args)...);
    }

    std::size_t max_size() const noexcept { return std::numeric_limits<std::size_t>::max() / sizeof(T); }

    friend bool operator==(const CheckedAllocator&, const CheckedAllocator&) noexcept { return true; }
};

template <class T>
using Buffer = std::vector<T, CheckedAllocator<T>>;

// Reserves exactly `n` elements, raising "capacity overflow" when the byte size exceeds the largest
// signed 64-bit value (std::vector would raise its own length error first).
template <class T>
void reserve_exact(Buffer<T>& buffer, std::uint64_t n) {
    if (n > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) / sizeof(T))
        fail_capacity_overflow();
    buffer.reserve(static_cast<std::size_t>(n));
}

// A buffer of `n` elements whose values are indeterminate until written.
template <class T>
Buffer<T> uninitialized_buffer(std::uint64_t n) {
    Buffer<T> buffer;
    reserve_exact(buffer, n);
    buffer.resize(static_cast<std::size_t>(n));
    return buffer;
}

}  // namespace tarvik
