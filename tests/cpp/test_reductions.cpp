#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "ops/reductions.hpp"
#include "test_support.hpp"

using namespace tarvik;
using test_support::fault_of;
using test_support::make;
using test_support::same_bits;

namespace {

constexpr double inf = std::numeric_limits<double>::infinity();
const double nan = std::nan("");

FloatArray flat(Buffer<double> data) {
    const std::uint64_t n = data.size();
    return make(std::move(data), Shape{n});
}

// Values over many magnitudes, so any change of summation order shows in the last bits.
FloatArray scattered(std::mt19937_64& rng, Shape shape) {
    Buffer<double> data(element_count(shape));
    std::uniform_real_distribution<double> mantissa(-1.0, 1.0);
    std::uniform_int_distribution<int> exponent(-20, 20);
    for (auto& x : data) x = std::ldexp(mantissa(rng), exponent(rng));
    return make(std::move(data), std::move(shape));
}

// ---- Slow references, written from the element-by-element description --------------------------

double reference_sum(const FloatArray& a) {
    double total = -0.0;
    test_support::for_each_index(a.shape, [&](Index index) { total = total + get(a, index); });
    return total;
}

Buffer<double> reference_cumsum(const FloatArray& a) {
    Buffer<double> out;
    double total = 0.0;
    test_support::for_each_index(a.shape, [&](Index index) {
        total = total + get(a, index);
        out.push_back(total);
    });
    return out;
}

std::uint64_t reference_argmax(const FloatArray& a) {
    double best = a.data[0];
    std::uint64_t answer = 0;
    for (std::uint64_t i = 1; i < a.data.size(); ++i)
        if (a.data[i] > best) best = a.data[i], answer = i;
    return answer;
}

// ---- sum and mean --------------------------------------------------------------------------------

struct SumCase {
    Buffer<double> data;
    double sum;
    double mean;
};

class SumAndMean : public ::testing::TestWithParam<SumCase> {};

TEST_P(SumAndMean, FollowTheLeftToRightOrderFromNegativeZero) {
    const FloatArray a = flat(GetParam().data);
    EXPECT_TRUE(same_bits(GetParam().sum, sum(a)));
    EXPECT_TRUE(same_bits(GetParam().mean, mean(a)));
}

INSTANTIATE_TEST_SUITE_P(
    Reductions, SumAndMean,
    ::testing::Values(SumCase{{}, -0.0, 0.0}, SumCase{{-0.0}, -0.0, -0.0}, SumCase{{-0.0, -0.0}, -0.0, -0.0},
                      SumCase{{0.0, -0.0}, 0.0, 0.0}, SumCase{{1e16, 1.0, -1e16}, 0.0, 0.0},
                      SumCase{{1.0, 1e16, -1e16}, 0.0, 0.0}, SumCase{{1e16, -1e16, 1.0}, 1.0, 1.0 / 3.0},
                      SumCase{{1.0, 2.0}, 3.0, 1.5}, SumCase{{inf, -inf}, nan, nan},
                      SumCase{{1.0, nan, 2.0}, nan, nan}, SumCase{{1e308, 1e308}, inf, inf}));

TEST(SumAndMean, MatchTheSequentialOrderBitForBitOnRandomShapes) {
    std::mt19937_64 rng(11);
    for (int trial = 0; trial < 200; ++trial) {
        const FloatArray a = scattered(rng, test_support::random_shape(rng));
        EXPECT_TRUE(same_bits(reference_sum(a), sum(a)));
        const double expected_mean = a.data.empty() ? 0.0 : reference_sum(a) / static_cast<double>(a.data.size());
        EXPECT_TRUE(same_bits(expected_mean, mean(a)));
    }
    // Long enough that a blocked or vectorised sum would differ.
    const FloatArray long_run = scattered(rng, Shape{100003});
    EXPECT_TRUE(same_bits(reference_sum(long_run), sum(long_run)));
}

// ---- argmax --------------------------------------------------------------------------------------

struct ArgmaxCase {
    Buffer<double> data;
    Shape shape;
    std::uint64_t answer;
};

class Argmax : public ::testing::TestWithParam<ArgmaxCase> {};

TEST_P(Argmax, PicksTheFirstLargestComparableElement) {
    EXPECT_EQ(GetParam().answer, argmax(make(GetParam().data, GetParam().shape)));
}

INSTANTIATE_TEST_SUITE_P(
    Reductions, Argmax,
    ::testing::Values(ArgmaxCase{{1, 3, 3}, {3}, 1}, ArgmaxCase{{nan, 5}, {2}, 0}, ArgmaxCase{{1, nan, 2}, {3}, 2},
                      ArgmaxCase{{1, 9, 9, 0}, {2, 2}, 1}, ArgmaxCase{{7}, {}, 0},
                      ArgmaxCase{{-0.0, 0.0}, {2}, 0}, ArgmaxCase{{-inf, -inf}, {2}, 0},
                      ArgmaxCase{{-inf, nan, nan}, {3}, 0}, ArgmaxCase{{nan, nan}, {2}, 0},
                      ArgmaxCase{{1, inf, nan, inf}, {4}, 1}));

TEST(Argmax, FailsOnAnEmptyArray) {
    EXPECT_EQ("argmax on empty array", fault_of([] { argmax(flat({})); }));
    EXPECT_EQ("argmax on empty array", fault_of([] { argmax(make({}, {2, 0})); }));
}

// Long arrays cross the blocks the scan works in; maxima, ties and NaNs are planted on both sides
// of block edges.
TEST(Argmax, AgreesWithTheElementWalkOnLongArrays) {
    std::mt19937_64 rng(12);
    std::uniform_int_distribution<int> small(-50, 50);
    for (int trial = 0; trial < 300; ++trial) {
        const std::size_t n = std::uniform_int_distribution<std::size_t>(1, 9000)(rng);
        Buffer<double> data(n);
        for (auto& x : data) x = small(rng);
        const int plants = std::uniform_int_distribution<int>(0, 6)(rng);
        for (int p = 0; p < plants; ++p) {
            const std::size_t at = std::uniform_int_distribution<std::size_t>(0, n - 1)(rng);
            const double planted[] = {nan, 50.0, 51.0, -inf, inf, -0.0};
            data[at] = planted[std::uniform_int_distribution<int>(0, 5)(rng)];
        }
        const FloatArray a = flat(std::move(data));
        EXPECT_EQ(reference_argmax(a), argmax(a)) << "trial " << trial;
    }
}

// Rising, falling and constant runs, a NaN in front, and equal maxima in different lanes and blocks.
TEST(Argmax, CostsTheSameOnSortedDataAndKeepsTheFirstMaximum) {
    const std::size_t n = 100'003;
    const auto run = [n](auto value) {
        Buffer<double> data(n);
        for (std::size_t i = 0; i < n; ++i) data[i] = value(i);
        return argmax(make(std::move(data), Shape{n}));
    };
    EXPECT_EQ(n - 1, run([](std::size_t i) { return 1e-7 * static_cast<double>(i); }));
    EXPECT_EQ(0u, run([](std::size_t i) { return -static_cast<double>(i); }));
    EXPECT_EQ(0u, run([](std::size_t) { return 2.5; }));
    EXPECT_EQ(0u, run([](std::size_t i) { return i == 0 ? NAN : 1.0; }));
    EXPECT_EQ(0u, run([](std::size_t i) { return i == 0 ? -0.0 : i % 2 ? 0.0 : NAN; }));
    for (std::size_t first : {1u, 7u, 16u, 17u, 4095u}) {
        EXPECT_EQ(first, run([first](std::size_t i) { return i >= first && i % 3 == first % 3 ? 9.0 : 1.0; }));
    }
}

// ---- cumsum --------------------------------------------------------------------------------------

struct CumsumCase {
    Buffer<double> data;
    Shape shape;
    Buffer<double> expected;
};

class Cumsum : public ::testing::TestWithParam<CumsumCase> {};

TEST_P(Cumsum, KeepsARunningTotalFromPositiveZeroAsOneAxis) {
    const FloatArray out = cumsum(make(GetParam().data, GetParam().shape));
    EXPECT_EQ(out.shape, (Shape{GetParam().expected.size()}));
    EXPECT_TRUE(same_bits(GetParam().expected, out.data));
}

INSTANTIATE_TEST_SUITE_P(
    Reductions, Cumsum,
    ::testing::Values(CumsumCase{{1, 2, 3, 4}, {2, 2}, {1, 3, 6, 10}}, CumsumCase{{5}, {}, {5}},
                      CumsumCase{{}, {2, 0}, {}}, CumsumCase{{-0.0, -0.0}, {2}, {0.0, 0.0}},
                      CumsumCase{{1e16, 1.0, -1e16}, {3}, {1e16, 1e16, 0.0}},
                      CumsumCase{{1, nan, 2}, {3}, {1, nan, nan}}));

TEST(Cumsum, MatchesTheRowMajorWalkBitForBitOnRandomShapes) {
    std::mt19937_64 rng(13);
    for (int trial = 0; trial < 200; ++trial) {
        const FloatArray a = scattered(rng, test_support::random_shape(rng));
        EXPECT_TRUE(same_bits(reference_cumsum(a), cumsum(a).data));
    }
}

// ---- sigmoid and softmax -------------------------------------------------------------------------

struct ActivationCase {
    Buffer<double> data;
    Buffer<double> expected;
};

class Sigmoid : public ::testing::TestWithParam<ActivationCase> {};

TEST_P(Sigmoid, IsOneOverExpOfMinusXPlusOne) {
    const FloatArray out = sigmoid(flat(GetParam().data));
    EXPECT_TRUE(same_bits(GetParam().expected, out.data));
}

INSTANTIATE_TEST_SUITE_P(Activations, Sigmoid,
                         ::testing::Values(ActivationCase{{0.0}, {0.5}}, ActivationCase{{-1000.0}, {0.0}},
                                           ActivationCase{{1000.0}, {1.0}}, ActivationCase{{nan}, {nan}},
                                           ActivationCase{{-inf, inf}, {0.0, 1.0}}, ActivationCase{{}, {}}));

TEST(Sigmoid, UsesTheLibraryExpElementByElementAndKeepsTheShape) {
    std::mt19937_64 rng(14);
    for (int trial = 0; trial < 100; ++trial) {
        const FloatArray a = scattered(rng, test_support::random_shape(rng));
        const FloatArray out = sigmoid(a);
        EXPECT_EQ(a.shape, out.shape);
        Buffer<double> expected(a.data.size());
        for (std::size_t i = 0; i < expected.size(); ++i) expected[i] = 1.0 / (::exp(-a.data[i]) + 1.0);
        EXPECT_TRUE(same_bits(expected, out.data));
    }
}

class Softmax : public ::testing::TestWithParam<ActivationCase> {};

TEST_P(Softmax, NormalisesTheExponentialsOfAllElements) {
    const FloatArray out = softmax(flat(GetParam().data));
    EXPECT_TRUE(same_bits(GetParam().expected, out.data));
}

// Finite inputs whose plain sum overflows, vanishes or is subnormal fall back to subtracting the
// largest element; NaN and infinite inputs keep the plain formula.
INSTANTIATE_TEST_SUITE_P(
    Activations, Softmax,
    ::testing::Values(ActivationCase{{0.0, 0.0}, {0.5, 0.5}}, ActivationCase{{}, {}},
                      ActivationCase{{1000.0, 1000.0}, {0.5, 0.5}}, ActivationCase{{1000.0, 0.0}, {1.0, 0.0}},
                      ActivationCase{{-1000.0, -1000.0}, {0.5, 0.5}}, ActivationCase{{-740.0}, {1.0}},
                      ActivationCase{{-720.0, -720.0}, {0.5, 0.5}}, ActivationCase{{710.0}, {1.0}},
                      ActivationCase{{inf, 0.0}, {nan, 0.0}}, ActivationCase{{-inf, -inf}, {nan, nan}},
                      ActivationCase{{nan, 1.0}, {nan, nan}}, ActivationCase{{-inf, 0.0}, {0.0, 1.0}}));

// The fallback is taken exactly when the plain sum is 0, subnormal or +inf; otherwise the output is
// the plain formula bit for bit: exponentials, the sum from -0.0 in order, a true division.
TEST(Softmax, IsThePlainFormulaBitForBitWhereverItsSumIsNormal) {
    std::mt19937_64 rng(15);
    for (int trial = 0; trial < 300; ++trial) {
        FloatArray a = scattered(rng, test_support::random_shape(rng));
        const double shift = std::uniform_real_distribution<double>(-800.0, 800.0)(rng);
        for (auto& x : a.data) x += shift;
        Buffer<double> e(a.data.size());
        double total = -0.0;
        for (std::size_t i = 0; i < e.size(); ++i) total = total + (e[i] = ::exp(a.data[i]));
        const bool normal_sum = total >= std::numeric_limits<double>::min() && total < inf;
        double top = -inf;
        for (double x : a.data) top = std::fmax(top, x);
        if (!normal_sum && !a.data.empty()) {
            total = -0.0;
            for (std::size_t i = 0; i < e.size(); ++i) total = total + (e[i] = ::exp(a.data[i] - top));
        }
        const FloatArray out = softmax(a);
        EXPECT_EQ(a.shape, out.shape);
        for (double& x : e) x /= total;
        EXPECT_TRUE(same_bits(e, out.data));
    }
}

TEST(Softmax, SumsToOneOverTheWholeMatrixNotPerRow) {
    const FloatArray out = softmax(make({1, 2, 3, 4}, {2, 2}));
    EXPECT_NEAR(1.0, out.data[0] + out.data[1] + out.data[2] + out.data[3], 1e-15);
    EXPECT_LT(out.data[0] + out.data[1], 0.5);
}

}  // namespace
