#include "ops/slicing.hpp"

#include <algorithm>

namespace tarvik {

namespace {

// The three tests shared by `slice_range` and `set_slice`, in the order their faults take precedence.
void check_range(const FloatArray& self, std::uint64_t axis, std::uint64_t start, std::uint64_t end) {
    check_axis(self.shape, axis);
    if (start >= end) fail("invalid range: start {} must be less than end {}", {start, end});
    if (end > self.shape[axis])
        fail("range end {} is out of bounds for axis {} with shape {}", {end, axis, self.shape[axis]});
}

// The view of a 2-D array along one axis at a fixed position of the other.
NDArrayView line_view(const FloatArray& self, std::size_t fixed_axis, std::uint64_t position) {
    const std::size_t free_axis = 1 - fixed_axis;
    return NDArrayView{Shape{self.shape[free_axis]}, Shape{self.strides[free_axis]}, std::span<const double>(self.data),
                       self.offset + position * self.strides[fixed_axis]};
}

}  // namespace

NDArrayView slice_row(const FloatArray& self, std::uint64_t row) {
    require_2d(self.shape, "slice_row");
    check_index(self.shape, 0, row);
    return line_view(self, 0, row);
}

NDArrayView slice_col(const FloatArray& self, std::uint64_t col) {
    require_2d(self.shape, "slice_col");
    check_index(self.shape, 1, col);
    return line_view(self, 1, col);
}

NDArrayView slice_range(const FloatArray& self, std::uint64_t axis, std::uint64_t start, std::uint64_t end) {
    check_range(self, axis, start, end);
    Shape shape = self.shape;
    shape[axis] = end - start;
    return NDArrayView{std::move(shape), self.strides, std::span<const double>(self.data),
                       self.offset + start * self.strides[axis]};
}

void set_slice(FloatArray& self, std::uint64_t axis, std::uint64_t start, std::uint64_t end, double value) {
    check_range(self, axis, start, end);
    // An array without elements has no slab, and the extents before `axis` may then multiply past
    // 64 bits (a zero extent after them is what keeps the array empty).
    if (element_count(self.shape) == 0) return;
    // A stored array is row-major, so for each position of the axes before `axis` the slab is one
    // contiguous run: positions [start, end) of `axis` times everything after it.
    const std::uint64_t outer = element_count(Index(self.shape).first(axis));
    const std::uint64_t inner = self.strides[axis];
    const std::uint64_t run = (end - start) * inner;
    if (outer == 0 || run == 0) return;
    const std::uint64_t block = self.shape[axis] * inner;
    double* target = self.data.data() + self.offset + start * inner;
    for (std::uint64_t o = 0; o < outer; ++o, target += block) std::fill(target, target + run, value);
}

}  // namespace tarvik
