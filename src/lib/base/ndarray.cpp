#include "base/ndarray.hpp"

#include <algorithm>

#include "kernels/tiled_copy.hpp"

namespace tarvik {

std::uint64_t element_count(Index shape) {
    // Any zero extent makes the count 0, however large the others are.
    if (std::find(shape.begin(), shape.end(), std::uint64_t{0}) != shape.end()) return 0;
    std::uint64_t count = 1;
    for (std::uint64_t extent : shape) {
        if (__builtin_mul_overflow(count, extent, &count))
            fail("element count of shape {} overflows 64 bits", {shape});
    }
    return count;
}

Shape row_major_strides(Index shape) {
    Shape strides(shape.size());
    std::uint64_t step = 1;
    for (std::size_t d = shape.size(); d-- > 0;) {
        strides[d] = step;
        step *= shape[d];
    }
    return strides;
}

void check_axis(Index shape, std::uint64_t axis) {
    if (axis >= shape.size()) fail("axis {} is out of bounds for NDArray with {} dimensions", {axis, shape.size()});
}

void check_index(Index shape, std::size_t dimension, std::uint64_t index) {
    if (index >= shape[dimension])
        fail("index out of bounds for dimension {}: index {}, shape {}", {dimension, index, shape[dimension]});
}

void require_2d(Index shape, const char* operation) {
    if (shape.size() != 2) fail("{} requires a 2D array, got {}D", {operation, shape.size()});
}

void check_data_length(std::uint64_t length, Index shape) {
    const std::uint64_t n = element_count(shape);
    if (length != n) fail("data length {} does not match shape {} (expected {})", {length, shape, n});
}

template <class T>
NDArray<T> new_array(Buffer<T> data, Shape shape) {
    check_data_length(data.size(), shape);
    Shape strides = row_major_strides(shape);
    return NDArray<T>{std::move(data), std::move(shape), std::move(strides), 0};
}

template NDArray<double> new_array(Buffer<double>, Shape);
template NDArray<std::uint8_t> new_array(Buffer<std::uint8_t>, Shape);

std::uint64_t checked_position(Index shape, Index strides, std::uint64_t offset, std::uint64_t data_length,
                               Index index) {
    if (index.size() != shape.size()) fail("length of the given index and shape must match.");
    std::uint64_t position = offset;
    for (std::size_t d = 0; d < shape.size(); ++d) {
        check_index(shape, d, index[d]);
        position += index[d] * strides[d];
    }
    if (position >= data_length)
        fail_internal("index out of bounds: the len is {} but the index is {}", {data_length, position});
    return position;
}

NDArrayView reshape(const FloatArray& array, Shape new_shape) {
    check_data_length(array.data.size(), new_shape);
    Shape strides = row_major_strides(new_shape);
    return NDArrayView{std::move(new_shape), std::move(strides), std::span<const double>(array.data), 0};
}

FloatArray to_array(const NDArrayView& view) {
    const std::uint64_t n = element_count(view.shape);
    Buffer<double> out = uninitialized_buffer<double>(n);
    if (n == 0) return new_array(std::move(out), Shape(view.shape));

    // Every element the walk visits lies between `offset` and the position of the last index, so one
    // lookup of that index stands in for the per-element tests.
    Shape last(view.shape.size());
    for (std::size_t d = 0; d < last.size(); ++d) last[d] = view.shape[d] - 1;
    static_cast<void>(checked_position(view.shape, view.strides, view.offset, view.data.size(), last));

    const double* source = view.data.data();
    if (view.shape.empty()) {
        out[0] = source[view.offset];
        return new_array(std::move(out), Shape(view.shape));
    }

    // A 2-D view whose last axis is strided (a transpose) is copied in tiles, so that the lines a
    // tile reads and the lines it writes both stay in the first-level cache.
    if (view.shape.size() == 2 && view.strides[1] != 1) {
        copy_tiled(source + view.offset, view.shape[0], view.shape[1], view.strides[0], view.strides[1], out.data());
        return new_array(std::move(out), Shape(view.shape));
    }

    // Walk every index but the last with the odometer and copy each run along the last axis whole.
    const std::size_t inner_axis = view.shape.size() - 1;
    const std::uint64_t run = view.shape[inner_axis];
    const std::uint64_t step = view.strides[inner_axis];
    Shape counter(inner_axis, 0);
    std::uint64_t base = view.offset;
    double* target = out.data();
    for (std::uint64_t written = 0; written < n; written += run) {
        const double* from = source + base;
        if (step == 1) {
            std::copy(from, from + run, target);
        } else {
            for (std::uint64_t j = 0; j < run; ++j) target[j] = from[j * step];
        }
        target += run;
        for (std::size_t d = inner_axis; d-- > 0;) {
            base += view.strides[d];
            if (++counter[d] < view.shape[d]) break;
            base -= counter[d] * view.strides[d];
            counter[d] = 0;
        }
    }
    return new_array(std::move(out), Shape(view.shape));
}

}  // namespace tarvik
