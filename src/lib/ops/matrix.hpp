// Matrix products and transpose of 2-D arrays.
#pragma once

#include "base/ndarray.hpp"

namespace tarvik {

[[nodiscard]] FloatArray matmul(const FloatArray& self, const FloatArray& other);
[[nodiscard]] FloatArray matmul_blas(const FloatArray& self, const FloatArray& other);
[[nodiscard]] NDArrayView transpose(const FloatArray& self);

}  // namespace tarvik
