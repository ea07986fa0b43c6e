#include "ops/selection.hpp"

#include <algorithm>
#include <bit>

// Every stored array is row-major with offset 0, so the row-major walk over a shape is a walk over
// `data` from front to back, and equal shapes put corresponding elements at the same flat position.

namespace tarvik {

namespace {

// `if_set` where `flag` is non-zero, else `if_clear`, chosen by masking bit patterns: a branch on
// an irregular mask would mispredict half the time, and the bits pass through unchanged.
double pick(std::uint8_t flag, double if_set, double if_clear) {
    const std::uint64_t keep = std::uint64_t{0} - (flag != 0);
    return std::bit_cast<double>((std::bit_cast<std::uint64_t>(if_set) & keep) |
                                 (std::bit_cast<std::uint64_t>(if_clear) & ~keep));
}

void check_mask_shape(const FloatArray& self, const BoolArray& mask) {
    if (!same_shape(mask.shape, self.shape)) fail("mask shape {} must equal self shape {}", {Index(mask.shape), Index(self.shape)});
}

}  // namespace

FloatArray gather(const FloatArray& self, std::uint64_t axis, Index indices) {
    check_axis(self.shape, axis);
    const std::uint64_t extent = self.shape[axis];
    for (std::uint64_t index : indices) {
        if (index >= extent) fail("index {} out of bounds for axis {} with shape {}", {index, axis, extent});
    }

    Shape shape = self.shape;
    shape[axis] = indices.size();
    Buffer<double> out = uninitialized_buffer<double>(element_count(shape));
    if (out.empty()) return new_array(std::move(out), std::move(shape));

    // The source is `outer` blocks of `extent` runs of `inner` contiguous elements; each picked run
    // is copied whole.
    const std::uint64_t outer = element_count(Index(self.shape).first(axis));
    const std::uint64_t inner = element_count(Index(self.shape).subspan(axis + 1));
    const std::uint64_t block = extent * inner;
    const double* source = self.data.data();
    double* target = out.data();
    for (std::uint64_t o = 0; o < outer; ++o, source += block) {
        if (inner == 1) {
            for (std::uint64_t index : indices) *target++ = source[index];
        } else {
            for (std::uint64_t index : indices) target = std::copy_n(source + index * inner, inner, target);
        }
    }
    return new_array(std::move(out), std::move(shape));
}

FloatArray fancy_index(const FloatArray& self, Index indices) {
    if (self.shape.size() != 1) fail("fancy_index is only valid for 1D arrays, got {}D", {self.shape.size()});
    const std::uint64_t length = self.shape[0];
    const auto bad = std::find_if(indices.begin(), indices.end(), [length](std::uint64_t i) { return i >= length; });
    if (bad != indices.end()) check_index(self.shape, 0, *bad);

    Buffer<double> out = uninitialized_buffer<double>(indices.size());
    const double* source = self.data.data();
    for (std::size_t k = 0; k < indices.size(); ++k) out[k] = source[indices[k]];
    return new_array(std::move(out), Shape{indices.size()});
}

FloatArray boolean_mask(const FloatArray& self, const BoolArray& mask) {
    check_mask_shape(self, mask);
    const std::size_t n = self.data.size();
    const std::uint8_t* keep = mask.data.data();
    std::uint64_t selected = 0;
    for (std::size_t i = 0; i < n; ++i) selected += keep[i] != 0;

    Buffer<double> out = uninitialized_buffer<double>(selected);
    if (selected == n) {
        std::copy_n(self.data.data(), n, out.data());
    } else if (selected != 0) {
        // Write every element and advance only past the kept ones: no branch to mispredict. The
        // last write lands inside `out` because only kept elements precede it.
        const double* source = self.data.data();
        double* target = out.data();
        std::size_t i = 0;
        for (std::uint64_t k = 0; k < selected; ++i) {
            target[k] = source[i];
            k += keep[i] != 0;
        }
    }
    return new_array(std::move(out), Shape{selected});
}

void masked_fill(FloatArray& self, const BoolArray& mask, double value) {
    check_mask_shape(self, mask);
    const std::size_t n = self.data.size();
    const std::uint8_t* fill = mask.data.data();
    double* target = self.data.data();
    // Rewriting the unmasked elements with their own values lets the loop run without branches.
    for (std::size_t i = 0; i < n; ++i) target[i] = pick(fill[i], value, target[i]);
}

FloatArray where_(const FloatArray& self, const BoolArray& condition, const FloatArray& other) {
    if (!same_shape(condition.shape, self.shape) || !same_shape(other.shape, self.shape))
        fail("shape mismatch: self.shape {}, condition.shape {}, other.shape {}",
             {Index(self.shape), Index(condition.shape), Index(other.shape)});
    const std::size_t n = self.data.size();
    Buffer<double> out = uninitialized_buffer<double>(n);
    const double* when_true = self.data.data();
    const double* when_false = other.data.data();
    const std::uint8_t* choose = condition.data.data();
    for (std::size_t i = 0; i < n; ++i) out[i] = pick(choose[i], when_true[i], when_false[i]);
    return new_array(std::move(out), Shape(self.shape));
}

}  // namespace tarvik
