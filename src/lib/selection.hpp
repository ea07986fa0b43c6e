// Gathering by index lists and selection by boolean masks.
#pragma once

#include <cstdint>

#include "ndarray.hpp"

namespace tarvik {

FloatArray gather(const FloatArray& self, std::uint64_t axis, Index indices);
FloatArray fancy_index(const FloatArray& self, Index indices);
FloatArray boolean_mask(const FloatArray& self, const BoolArray& mask);
void masked_fill(FloatArray& self, const BoolArray& mask, double value);
FloatArray where_(const FloatArray& self, const BoolArray& condition, const FloatArray& other);

}  // namespace tarvik
