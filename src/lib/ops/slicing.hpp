// Row, column and range views, and in-place assignment of a range.
#pragma once

#include <cstdint>

#include "base/ndarray.hpp"

namespace tarvik {

[[nodiscard]] NDArrayView slice_row(const FloatArray& self, std::uint64_t row);
[[nodiscard]] NDArrayView slice_col(const FloatArray& self, std::uint64_t col);
[[nodiscard]] NDArrayView slice_range(const FloatArray& self, std::uint64_t axis, std::uint64_t start, std::uint64_t end);
void set_slice(FloatArray& self, std::uint64_t axis, std::uint64_t start, std::uint64_t end, double value);

}  // namespace tarvik
