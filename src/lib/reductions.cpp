#include "reductions.hpp"

#include <cmath>
#include <limits>

#include "simd.hpp"

namespace tarvik {

namespace {

// One accumulator from -0.0, left to right: the empty sum and a sum of negative zeros stay -0.0.
// The order is part of the result, so it is never split or reordered.
double flat_sum(const double* values, std::size_t count) {
    double total = -0.0;
    for (std::size_t i = 0; i < count; ++i) total += values[i];
    return total;
}

// The first position of the largest element, for a first element that is not NaN. Each lane keeps
// the best value it has seen under a strict ordered comparison and where it first saw it; lanes are
// merged by value and then by position, so the answer is that of one element-by-element walk. The
// cost is the same for any data.
template <class Float, class Int>
[[gnu::always_inline]] inline std::uint64_t first_largest(const double* values, std::uint64_t count) {
    constexpr std::size_t width = lanes<Float>, ways = 4, step = width * ways;
    Float best[ways];
    Int where[ways], position[ways];
    for (std::size_t v = 0; v < ways; ++v) {
        best[v] = broadcast<Float>(values[0]);
        where[v] = Int{};
        for (std::size_t w = 0; w < width; ++w) position[v][w] = static_cast<std::int64_t>(v * width + w);
    }
    std::uint64_t i = 0;
    for (; i + step <= count; i += step) {
        for (std::size_t v = 0; v < ways; ++v) {
            const Float next = load<Float>(values + i + v * width);
            const Int better = next > best[v];
            best[v] = better ? next : best[v];
            where[v] = better ? position[v] : where[v];
            position[v] += static_cast<std::int64_t>(step);
        }
    }
    double top = values[0];
    std::uint64_t answer = 0;
    for (std::size_t v = 0; v < ways; ++v) {
        for (std::size_t w = 0; w < width; ++w) {
            const auto at = static_cast<std::uint64_t>(where[v][w]);
            if (best[v][w] > top || (best[v][w] == top && at < answer)) {
                top = best[v][w];
                answer = at;
            }
        }
    }
    for (; i < count; ++i) {
        if (values[i] > top) {
            top = values[i];
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

double sum(const FloatArray& self) { return flat_sum(self.data.data(), self.data.size()); }

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
    const double* values = self.data.data();
    double total = 0.0;
    for (std::size_t i = 0; i < count; ++i) {
        total += values[i];
        out[i] = total;
    }
    return new_array(std::move(out), Shape{count});
}

}  // namespace tarvik
