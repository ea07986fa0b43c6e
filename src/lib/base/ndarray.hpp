// The array record, its strided read-only view, and the operations everything else rests on:
// construction with validation, lookup by multi-index, reshape, and the copy out of a view.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>

#include "base/buffer.hpp"
#include "base/fault.hpp"

namespace tarvik {

using Shape = Buffer<std::uint64_t>;
using Index = std::span<const std::uint64_t>;

// Flat elements in row-major order with their shape. Every array is made by `new_array`, so its
// strides are row-major and its offset is 0.
template <class T>
struct NDArray {
    Buffer<T> data;
    Shape shape;
    Shape strides;
    std::uint64_t offset = 0;
};

using FloatArray = NDArray<double>;
// One byte per element, 0 or 1.
using BoolArray = NDArray<std::uint8_t>;

// A read-only strided window on the data of one float array; it never outlives the call that
// made it.
struct NDArrayView {
    Shape shape;
    Shape strides;
    std::span<const double> data;
    std::uint64_t offset = 0;
};

// The product of the extents, 1 for an empty shape. A product that does not fit in 64 bits is
// rejected with a fault naming the shape instead of wrapping round to a small count.
[[nodiscard]] std::uint64_t element_count(Index shape);

// The strides of a row-major layout of `shape`, counted in elements.
[[nodiscard]] Shape row_major_strides(Index shape);

// ---- The checks several operations share, each with the one text of its fault.

// `axis` names a dimension of `shape`.
void check_axis(Index shape, std::uint64_t axis);
// `index` lies inside dimension `dimension` of `shape`.
void check_index(Index shape, std::size_t dimension, std::uint64_t index);
// `shape` has two dimensions; `operation` names the caller in the fault.
void require_2d(Index shape, const char* operation);
// `length` elements fill `shape` exactly.
void check_data_length(std::uint64_t length, Index shape);

[[nodiscard]] inline bool same_shape(Index a, Index b) { return std::ranges::equal(a, b); }

// ---- Construction, lookup and views

// Takes over `data` and `shape` (the C++ name of the model's `new`).
template <class T>
[[nodiscard]] NDArray<T> new_array(Buffer<T> data, Shape shape);

extern template NDArray<double> new_array(Buffer<double>, Shape);
extern template NDArray<std::uint8_t> new_array(Buffer<std::uint8_t>, Shape);

// Position in `data` of the element at `index`, after the lookup tests.
[[nodiscard]] std::uint64_t checked_position(Index shape, Index strides, std::uint64_t offset, std::uint64_t data_length,
                               Index index);

template <class T>
[[nodiscard]] const T& get(const NDArray<T>& array, Index index) {
    return array.data[checked_position(array.shape, array.strides, array.offset, array.data.size(), index)];
}

[[nodiscard]] inline double& get_mut(FloatArray& array, Index index) {
    return array.data[checked_position(array.shape, array.strides, array.offset, array.data.size(), index)];
}

[[nodiscard]] NDArrayView reshape(const FloatArray& array, Shape new_shape);

// Copies the viewed elements, in row-major order of the view, into a new array.
[[nodiscard]] FloatArray to_array(const NDArrayView& view);

}  // namespace tarvik
