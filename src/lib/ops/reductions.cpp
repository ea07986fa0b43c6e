#include "ops/reductions.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "base/simd.hpp"
#include "kernels/ordered_sum.hpp"
#include "parallel/output_pages.hpp"

namespace tarvik {

namespace {

// The first position of the largest element, for a first element that is not NaN, at the same cost
// for any data. The elements fall into lanes (position modulo the lanes of `ways` vectors) and into
// blocks of `steps` vectors a lane. Each block's largest element per lane is one vector maximum per
// load; a lane's best value and the block where it first rose are kept under a strict ordered
// comparison. At the end each lane finds its best value's first position in that one block, and
// the lanes are merged by value and then by position: the answer of one element-by-element walk.
template <class Float, class Int>
[[gnu::always_inline]] inline std::uint64_t first_largest(const double* values, std::uint64_t count) {
    constexpr std::size_t width = lanes<Float>, ways = 4, stride = width * ways, steps = 16;
    constexpr double floor = -std::numeric_limits<double>::infinity();
    Float best[ways];
    Int where[ways];
    for (std::size_t v = 0; v < ways; ++v) {
        best[v] = broadcast<Float>(values[0]);
        where[v] = Int{};
    }
    // Blocks of `steps` vectors a lane, the last one shorter, so that only fewer elements than one
    // vector a lane are left to the loop at the end.
    std::uint64_t i = 0;
    while (count - i >= stride) {
        const auto block_steps = static_cast<std::size_t>(std::min<std::uint64_t>(steps, (count - i) / stride));
        Float top[ways];
        for (std::size_t v = 0; v < ways; ++v) top[v] = broadcast<Float>(floor);
        for (std::size_t step = 0; step < block_steps; ++step) {
            for (std::size_t v = 0; v < ways; ++v) {
                // The first of equal elements stays, and a NaN never enters.
                const Float next = load<Float>(values + i + step * stride + v * width);
                top[v] = next > top[v] ? next : top[v];
            }
        }
        const Int start = Int{} + static_cast<std::int64_t>(i);
        for (std::size_t v = 0; v < ways; ++v) {
            const Int better = top[v] > best[v];
            best[v] = better ? top[v] : best[v];
            where[v] = better ? start : where[v];
        }
        i += block_steps * stride;
    }
    double largest = values[0];
    std::uint64_t answer = 0;
    for (std::size_t v = 0; v < ways; ++v) {
        for (std::size_t w = 0; w < width; ++w) {
            // A lane that never rose keeps the first element, at position 0.
            if (!(best[v][w] > values[0])) continue;
            std::uint64_t at = static_cast<std::uint64_t>(where[v][w]) + v * width + w;
            while (!(values[at] == best[v][w])) at += stride;
            if (best[v][w] > largest || (best[v][w] == largest && at < answer)) {
                largest = best[v][w];
                answer = at;
            }
        }
    }
    for (; i < count; ++i) {
        if (values[i] > largest) {
            largest = values[i];
            answer = i;
        }
    }
    return answer;
}

#if defined(__x86_64__)
TARVIK_TARGET_AVX512 std::uint64_t first_largest_avx512(const double* values, std::uint64_t count) {
    return first_largest<Vec8, Int8>(values, count);
}

TARVIK_TARGET_AVX2 std::uint64_t first_largest_avx2(const double* values, std::uint64_t count) {
    return first_largest<Vec4, Int4>(values, count);
}
#endif

std::uint64_t first_largest_position(const double* values, std::uint64_t count) {
#if defined(__x86_64__)
    switch (widest_isa()) {
        case Isa::avx512:
            return first_largest_avx512(values, count);
        case Isa::avx2:
            return first_largest_avx2(values, count);
        case Isa::portable:
            break;
    }
#endif
    return first_largest<Vec2, Int2>(values, count);
}

}  // namespace

// One accumulator from -0.0, left to right: the empty sum and a sum of negative zeros stay -0.0.
// The order is part of the result, so it is never split or reordered (only computed faster).
double sum(const FloatArray& self) { return ordered_sum(self.data.data(), self.data.size()); }

double mean(const FloatArray& self) {
    if (self.data.empty()) return 0.0;
    return sum(self) / static_cast<double>(self.data.size());
}

std::uint64_t argmax(const FloatArray& self) {
    const std::size_t count = self.data.size();
    if (count == 0) fail("argmax on empty array");
    // A NaN in front stays best, since no comparison with it succeeds.
    if (std::isnan(self.data[0])) return 0;
    return first_largest_position(self.data.data(), count);
}

double largest_element(const double* values, std::size_t count) {
    std::size_t first = 0;
    while (first < count && std::isnan(values[first])) ++first;
    if (first == count) return -std::numeric_limits<double>::infinity();
    return values[first + first_largest_position(values + first, count - first)];
}

FloatArray cumsum(const FloatArray& self) {
    // Stored arrays are row-major with offset 0, so the flat order is the traversal order.
    const std::size_t count = self.data.size();
    Buffer<double> out = uninitialized_buffer<double>(count);
    write_with_pages_mapped(out.data(), count * sizeof(double),
                            [&] { running_sums(self.data.data(), count, out.data()); });
    return new_array(std::move(out), Shape{count});
}

}  // namespace tarvik
