#include "ops/matrix.hpp"

#include <cblas.h>
#include <sys/mman.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>

#include "kernels/matmul_kernel.hpp"

namespace tarvik {

namespace {

// The two tests both products make, in order, with the operation's name in the messages.
void check_product_shapes(const FloatArray& self, const FloatArray& other, const char* name) {
    if (self.shape.size() != 2 || other.shape.size() != 2)
        fail("{} requires 2D arrays, got {}D and {}D", {name, self.shape.size(), other.shape.size()});
    if (self.shape[1] != other.shape[0])
        fail("shape mismatch for {}: self.shape[1] ({}) must equal other.shape[0] ({})",
             {name, self.shape[1], other.shape[0]});
}

// The m×n output, all +0.0; its element count is checked so a wrapped-round product never
// under-allocates.
Buffer<double> zeroed_output(std::uint64_t m, std::uint64_t n) {
    const std::uint64_t count = element_count(Shape{m, n});
    Buffer<double> out;
    reserve_exact(out, count);
    out.resize(count, 0.0);
    return out;
}

// OpenBLAS (0.3.21 here) takes the packing buffer of a product from a table of buffers that it fills
// on first need: it maps BUFFER_SIZE bytes, falls back to malloc, and when both are refused retries
// forever on the calling thread. A buffer once obtained stays in the table for later calls, so only
// a caller that may need a new one is at risk: the first of each thread (builds that keep the table
// per thread) and one that makes more calls run at once than ever succeeded together (the shared
// table). Before such a call the same mapping is made and released here, so a refusal becomes an
// out-of-memory fault; granted, OpenBLAS's own mapping follows at once and gets the same room.
// Its threaded driver also mallocs a job table on every call and exits the process when refused,
// so that much is asked of malloc first, every time.
class BlasMemory {
public:
    BlasMemory() : rank_(callers_.fetch_add(1, std::memory_order_relaxed) + 1) {}
    ~BlasMemory() { callers_.fetch_sub(1, std::memory_order_relaxed); }
    BlasMemory(const BlasMemory&) = delete;
    BlasMemory& operator=(const BlasMemory&) = delete;

    // Raises an out-of-memory fault when what the call may allocate cannot be had now.
    void reserve() const {
        if (!this_thread_holds_buffer_ || rank_ > held_together_.load(std::memory_order_relaxed)) {
            void* probe = mmap(nullptr, buffer_bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
            if (probe == MAP_FAILED) fail_allocation(buffer_bytes);
            munmap(probe, buffer_bytes);
        }
        void* table = std::malloc(job_table_bytes);
        // Keeps the compiler from eliding the malloc and free as unused.
        asm volatile("" : : "r"(table) : "memory");
        if (table == nullptr) fail_allocation(job_table_bytes);
        std::free(table);
    }

    // After a product that took a buffer: OpenBLAS now keeps one for this thread and for `rank_`
    // callers at once.
    void buffer_kept() const {
        this_thread_holds_buffer_ = true;
        // Relaxed: a stale, lower mark costs one spare probe; the mark never runs ahead of the
        // buffers, which OpenBLAS never gives back.
        unsigned held = held_together_.load(std::memory_order_relaxed);
        while (held < rank_ && !held_together_.compare_exchange_weak(held, rank_, std::memory_order_relaxed)) {
        }
    }

private:
    // BUFFER_SIZE of OpenBLAS's x86-64 builds (32 << 22 bytes).
    static constexpr std::size_t buffer_bytes = std::size_t{32} << 22;
    // The threaded driver's job table: MAX_CPU_NUMBER entries of 8 KiB, 64 entries in Debian's build.
    static constexpr std::size_t job_table_bytes = std::size_t{64} << 13;

    static inline std::atomic<unsigned> callers_{0};
    static inline std::atomic<unsigned> held_together_{0};
    static inline thread_local bool this_thread_holds_buffer_ = false;
    const unsigned rank_;
};

}  // namespace

FloatArray matmul(const FloatArray& self, const FloatArray& other) {
    check_product_shapes(self, other, "matmul");
    const std::uint64_t m = self.shape[0], k = self.shape[1], n = other.shape[1];
    Buffer<double> out = zeroed_output(m, n);
    // Stored arrays are dense row-major with offset 0, so the kernel reads `data` directly.
    multiply_accumulate(widest_isa(), self.data.data(), other.data.data(), out.data(), m, k, n);
    return new_array(std::move(out), Shape{m, n});
}

FloatArray matmul_blas(const FloatArray& self, const FloatArray& other) {
    check_product_shapes(self, other, "matmul_blas");
    const std::uint64_t m = self.shape[0], k = self.shape[1], n = other.shape[1];
    // The library takes 32-bit sizes; a truncated size would compute a wrong product silently.
    constexpr std::uint64_t size_limit = std::uint64_t{1} << 31;
    if (m >= size_limit || k >= size_limit || n >= size_limit)
        fail("matmul_blas supports sizes below 2^31, got m = {}, k = {}, n = {}", {m, k, n});
    Buffer<double> out = zeroed_output(m, n);
    const auto m32 = static_cast<blasint>(m), k32 = static_cast<blasint>(k), n32 = static_cast<blasint>(n);
    // OpenBLAS returns before taking a buffer when the product is empty.
    const bool takes_buffer = m > 0 && n > 0;
    const BlasMemory memory;
    if (takes_buffer) memory.reserve();
    cblas_dgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, m32, n32, k32, 1.0, self.data.data(), k32,
                other.data.data(), n32, 0.0, out.data(), n32);
    if (takes_buffer) memory.buffer_kept();
    return new_array(std::move(out), Shape{m, n});
}

NDArrayView transpose(const FloatArray& self) {
    require_2d(self.shape, "transpose");
    return NDArrayView{Shape{self.shape[1], self.shape[0]}, Shape{self.strides[1], self.strides[0]},
                       std::span<const double>(self.data), 0};
}

}  // namespace tarvik
