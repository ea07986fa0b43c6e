// Matrix products and transpose of 2-D arrays.
#pragma once

#include "ndarray.hpp"

namespace tarvik {

FloatArray matmul(const FloatArray& self, const FloatArray& other);
FloatArray matmul_blas(const FloatArray& self, const FloatArray& other);
NDArrayView transpose(const FloatArray& self);

}  // namespace tarvik
