#include "reductions.hpp"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <limits>

#include "ordered_sum.hpp"

namespace tarvik {

namespace {

// One accumulator from -0.0, left to right: the empty sum and a sum of negative zeros stay -0.0.
// The order is part of the result, so it is never split or reordered (only computed faster).
double flat_sum(const double* values, std::size_t count) { return ordered_sum(values, count); }

typedef double Quad __attribute__((vector_size(32)));

// The largest element under an ordered comparison; -inf when none compares (all NaN). Four
// vectors of running maxima keep the loop at the speed of the loads.
__attribute__((target_clones("avx2", "default"))) double largest(const double* values, std::size_t count) {
    constexpr double floor = -std::numeric_limits<double>::infinity();
    Quad best[4];
    for (Quad& lane : best) lane = Quad{floor, floor, floor, floor};
    std::size_t i = 0;
    for (; i + 16 <= count; i += 16) {
        for (std::size_t v = 0; v < 4; ++v) {
            Quad next;
            std::memcpy(&next, values + i + 4 * v, sizeof next);
            best[v] = next > best[v] ? next : best[v];
        }
    }
    double result = floor;
    for (; i < count; ++i) result = values[i] > result ? values[i] : result;
    for (const Quad& lane : best)
        for (std::size_t w = 0; w < 4; ++w) result = lane[w] > result ? lane[w] : result;
    return result;
}

// Writes exp of every element less `shift` and returns their sum in the summation order. A shift
// of 0.0 leaves every element as it is, -0.0 and NaN included.
double exponentials(const double* values, std::size_t count, double shift, double* out) {
    for (std::size_t i = 0; i < count; ++i) out[i] = ::exp(values[i] - shift);
    return flat_sum(out, count);
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
    const double* values = self.data.data();
    // The first position of the largest element that compares; a NaN in front stays best because no
    // comparison with it succeeds. Blocks whose largest element beats the best so far are scanned
    // again for its first position, so the answer is the same as one element-by-element walk.
    double best = values[0];
    std::uint64_t answer = 0;
    if (std::isnan(best)) return 0;
    constexpr std::size_t block = 2048;
    for (std::size_t start = 1; start < count; start += block) {
        const std::size_t length = std::min(block, count - start);
        const double block_best = largest(values + start, length);
        if (!(block_best > best)) continue;
        std::size_t i = start;
        while (!(values[i] == block_best)) ++i;
        best = block_best;
        answer = i;
    }
    return answer;
}

FloatArray cumsum(const FloatArray& self) {
    // Stored arrays are row-major with offset 0, so the flat order is the traversal order.
    const std::size_t count = self.data.size();
    Buffer<double> out = uninitialized_buffer<double>(count);
    running_sums(self.data.data(), count, out.data());
    return new_array(std::move(out), Shape{count});
}

FloatArray sigmoid(const FloatArray& self) {
    const std::size_t count = self.data.size();
    Buffer<double> out = uninitialized_buffer<double>(count);
    const double* values = self.data.data();
    for (std::size_t i = 0; i < count; ++i) out[i] = 1.0 / (::exp(-values[i]) + 1.0);
    return new_array(std::move(out), Shape(self.shape));
}

FloatArray softmax(const FloatArray& self) {
    const std::size_t count = self.data.size();
    Buffer<double> out = uninitialized_buffer<double>(count);
    const double* values = self.data.data();
    double total = exponentials(values, count, 0.0, out.data());
    // A sum that overflowed, underflowed to zero or lost precision as a subnormal gives NaN or
    // garbage for finite inputs; subtracting the largest element first keeps the sum in [1, count].
    // A NaN sum (a NaN input) and an infinite largest element keep the plain result.
    if (total < DBL_MIN || total == std::numeric_limits<double>::infinity()) {
        const double top = largest(values, count);
        if (std::isfinite(top)) total = exponentials(values, count, top, out.data());
    }
    for (std::size_t i = 0; i < count; ++i) out[i] /= total;
    return new_array(std::move(out), Shape(self.shape));
}

}  // namespace tarvik
