// Element-wise arithmetic and relu, computed on the worker pool.
#pragma once

#include "base/ndarray.hpp"

namespace tarvik {

[[nodiscard]] FloatArray add(const FloatArray& self, const FloatArray& other);
[[nodiscard]] FloatArray mul(const FloatArray& self, const FloatArray& other);
[[nodiscard]] FloatArray scale(const FloatArray& self, double scalar);
[[nodiscard]] FloatArray relu(const FloatArray& self);

}  // namespace tarvik
