// Element-wise arithmetic and relu, computed on the worker pool.
#pragma once

#include "ndarray.hpp"

namespace tarvik {

FloatArray add(const FloatArray& self, const FloatArray& other);
FloatArray mul(const FloatArray& self, const FloatArray& other);
FloatArray scale(const FloatArray& self, double scalar);
FloatArray relu(const FloatArray& self);

}  // namespace tarvik
