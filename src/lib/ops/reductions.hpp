// Reductions, the running sum and the activations over the flat elements, on the calling thread.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/ndarray.hpp"

namespace tarvik {

double sum(const FloatArray& self);
double mean(const FloatArray& self);
std::uint64_t argmax(const FloatArray& self);
FloatArray cumsum(const FloatArray& self);
FloatArray sigmoid(const FloatArray& self);
FloatArray softmax(const FloatArray& self);

// The largest element under an ordered comparison, -inf when none compares (all NaN or none).
double largest_element(const double* values, std::size_t count);

}  // namespace tarvik
