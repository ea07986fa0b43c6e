#include "matrix.hpp"

#include <cblas.h>

#include <cstdint>

#include "matmul_kernel.hpp"

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
    cblas_dgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, m32, n32, k32, 1.0, self.data.data(), k32,
                other.data.data(), n32, 0.0, out.data(), n32);
    return new_array(std::move(out), Shape{m, n});
}

NDArrayView transpose(const FloatArray& self) {
    if (self.shape.size() != 2) fail("transpose requires a 2D array, got {}D", {self.shape.size()});
    return NDArrayView{Shape{self.shape[1], self.shape[0]}, Shape{self.strides[1], self.strides[0]},
                       std::span<const double>(self.data), 0};
}

}  // namespace tarvik
