// Gathering by index lists and selection by boolean masks.
#pragma once

#include <cstdint>

#include "base/ndarray.hpp"

namespace tarvik {

[[nodiscard]] FloatArray gather(const FloatArray& self, std::uint64_t axis, Index indices);
[[nodiscard]] FloatArray fancy_index(const FloatArray& self, Index indices);
[[nodiscard]] FloatArray boolean_mask(const FloatArray& self, const BoolArray& mask);
void masked_fill(FloatArray& self, const BoolArray& mask, double value);
[[nodiscard]] FloatArray where_(const FloatArray& self, const BoolArray& condition, const FloatArray& other);

}  // namespace tarvik
