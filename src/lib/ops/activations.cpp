// sigmoid and softmax on the vector exponential, which gives the C library's exp bit for bit.
#include <cfloat>
#include <cmath>
#include <limits>

#include "kernels/exp_kernel.hpp"
#include "kernels/ordered_sum.hpp"
#include "ops/reductions.hpp"

namespace tarvik {

namespace {

double sigmoid_of(double x) { return 1.0 / (::exp(-x) + 1.0); }

struct Sigmoids {
    template <class L, bool Fused>
    static void run(const double* in, double* out, std::size_t count) {
        exp_detail::map_exp<L, Fused, true>(
            in, out, count, [](auto e) { return 1.0 / (e + 1.0); }, sigmoid_of);
    }

    static void scalar(const double* in, double* out, std::size_t count) {
        for (std::size_t i = 0; i < count; ++i) out[i] = sigmoid_of(in[i]);
    }
};

// Every element divided by `divisor`: a true division, whose bits are the same at any width.
template <class Float>
[[gnu::always_inline]] inline void divide_all(double* values, std::size_t count, double divisor) {
    constexpr std::size_t width = lanes<Float>;
    std::size_t i = 0;
    for (; i + width <= count; i += width) store(values + i, load<Float>(values + i) / divisor);
    for (; i < count; ++i) values[i] /= divisor;
}

TARVIK_TARGET_AVX2 void divide_all_avx2(double* values, std::size_t count, double divisor) {
    divide_all<Vec4>(values, count, divisor);
}

void divide_by(double* values, std::size_t count, double divisor) {
    if (widest_isa() != Isa::portable)
        divide_all_avx2(values, count, divisor);
    else
        divide_all<Vec2>(values, count, divisor);
}

}  // namespace

FloatArray sigmoid(const FloatArray& self) {
    const std::size_t count = self.data.size();
    Buffer<double> out = uninitialized_buffer<double>(count);
    with_exp<Sigmoids>(exp_choice(), self.data.data(), out.data(), count);
    return new_array(std::move(out), Shape(self.shape));
}

FloatArray softmax(const FloatArray& self) {
    const std::size_t count = self.data.size();
    Buffer<double> out = uninitialized_buffer<double>(count);
    const double* values = self.data.data();
    exp_elements(exp_choice(), values, out.data(), count);
    // A sum of positive terms: the ordered sum's fast case.
    double total = ordered_sum(out.data(), count);
    // A sum that overflowed, underflowed to zero or lost precision as a subnormal gives NaN or
    // garbage for finite inputs; subtracting the largest element first keeps the sum in [1, count].
    // A NaN sum (a NaN input) and an infinite largest element keep the plain result.
    if (total < DBL_MIN || total == std::numeric_limits<double>::infinity()) {
        const double top = largest_element(values, count);
        if (std::isfinite(top)) {
            for (std::size_t i = 0; i < count; ++i) out[i] = ::exp(values[i] - top);
            total = ordered_sum(out.data(), count);
        }
    }
    divide_by(out.data(), count, total);
    return new_array(std::move(out), Shape(self.shape));
}

}  // namespace tarvik
