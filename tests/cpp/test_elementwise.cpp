#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <random>

#include "ops/elementwise.hpp"
#include "parallel/parallel_map.hpp"
#include "test_support.hpp"

using namespace tarvik;
using tarvik::test_support::fault_of;
namespace test_support = tarvik::test_support;

namespace {

FloatArray array_of(std::vector<double> values, Shape shape) {
    return new_array(Buffer<double>(values.begin(), values.end()), std::move(shape));
}

// Mostly the small shapes of the engine tests, some 1-D ones long enough to be split over the
// workers.
Shape random_shape(std::mt19937_64& generator) {
    if (generator() % 4 != 0) return test_support::random_shape(generator);
    return Shape{std::uniform_int_distribution<std::uint64_t>(1, 600000)(generator)};
}

std::uint64_t bits(double v) {
    std::uint64_t b;
    std::memcpy(&b, &v, sizeof b);
    return b;
}

}  // namespace

// Against a plain loop, bit for bit, on random shapes; operands must be left as they were.
TEST(Elementwise, MatchesPlainLoopsOnRandomShapes) {
    std::mt19937_64 generator(20261208);
    for (int round = 0; round < 60; ++round) {
        const Shape shape = random_shape(generator);
        const FloatArray a = test_support::random_array(generator, shape);
        const FloatArray b = test_support::random_array(generator, shape);
        const FloatArray a_before = a, b_before = b;
        const double factor = std::uniform_real_distribution<double>(-3.0, 3.0)(generator);
        const std::vector<std::pair<FloatArray, std::function<double(std::size_t)>>> results = {
            {add(a, b), [&](std::size_t i) { return a.data[i] + b.data[i]; }},
            {mul(a, b), [&](std::size_t i) { return a.data[i] * b.data[i]; }},
            {scale(a, factor), [&](std::size_t i) { return a.data[i] * factor; }},
            {relu(a), [&](std::size_t i) { return a.data[i] > 0 ? a.data[i] : 0.0; }},
        };
        for (const auto& [result, expected] : results) {
            ASSERT_EQ(result.shape, shape);
            ASSERT_EQ(result.strides, row_major_strides(shape));
            ASSERT_EQ(result.data.size(), a.data.size());
            for (std::size_t i = 0; i < a.data.size(); ++i) ASSERT_EQ(bits(result.data[i]), bits(expected(i)));
        }
        ASSERT_EQ(a.data, a_before.data);
        ASSERT_EQ(b.data, b_before.data);
    }
}

// Long enough for the pool to split, with special values cycling through every position relative to
// the pieces' vector loops and remainders: bit for bit against plain loops.
TEST(Elementwise, SpecialValuesOnSplitInputsMatchPlainLoops) {
    const double inf = std::numeric_limits<double>::infinity();
    const std::vector<double> specials = {0.0,   -0.0,  1.0,  -1.0,  0.5,   1e308, -1e308,
                                          inf,   -inf,  std::numeric_limits<double>::quiet_NaN(),
                                          std::numeric_limits<double>::denorm_min(), 710.0, -745.0,
                                          1e16,  -1e16, 3.0,  -99.0};
    const std::uint64_t n = 2 * default_min_piece_length + 4095;
    Buffer<double> xs(n), ys(n);
    for (std::uint64_t i = 0; i < n; ++i) xs[i] = specials[i % specials.size()], ys[i] = specials[(i * 7 + 3) % specials.size()];
    const FloatArray a = new_array(std::move(xs), Shape{n}), b = new_array(std::move(ys), Shape{n});
    const FloatArray sums = add(a, b), products = mul(a, b), kept = relu(a);
    const FloatArray by_zero = scale(a, -0.0), by_inf = scale(a, inf), halved = scale(a, 0.5);
    for (std::uint64_t i = 0; i < n; ++i) {
        const double x = a.data[i], y = b.data[i];
        ASSERT_TRUE(test_support::same_bits(x + y, sums.data[i])) << i;
        ASSERT_TRUE(test_support::same_bits(x * y, products.data[i])) << i;
        ASSERT_TRUE(test_support::same_bits(x > 0 ? x : 0.0, kept.data[i])) << i;
        ASSERT_TRUE(test_support::same_bits(x * -0.0, by_zero.data[i])) << i;
        ASSERT_TRUE(test_support::same_bits(x * inf, by_inf.data[i])) << i;
        ASSERT_TRUE(test_support::same_bits(x * 0.5, halved.data[i])) << i;
    }
}

TEST(Elementwise, ShapeMismatchMessages) {
    const FloatArray six = array_of({1, 2, 3, 4, 5, 6}, Shape{6});
    const FloatArray two_by_three = array_of({1, 2, 3, 4, 5, 6}, Shape{2, 3});
    const FloatArray three_by_two = array_of({1, 2, 3, 4, 5, 6}, Shape{3, 2});
    const FloatArray scalar = array_of({1}, Shape{});
    const FloatArray one = array_of({1}, Shape{1});
    const FloatArray row = array_of({1, 2, 3}, Shape{1, 3});
    const FloatArray three = array_of({1, 2, 3}, Shape{3});
    struct Case {
        std::function<FloatArray()> call;
        std::string message;
    };
    const std::vector<Case> cases = {
        {[&] { return add(six, two_by_three); }, "shape mismatch for addition: [6] vs [2, 3]"},
        {[&] { return add(two_by_three, three_by_two); }, "shape mismatch for addition: [2, 3] vs [3, 2]"},
        {[&] { return mul(two_by_three, three_by_two); }, "shape mismatch for multiplication: [2, 3] vs [3, 2]"},
        {[&] { return add(scalar, one); }, "shape mismatch for addition: [] vs [1]"},
        {[&] { return mul(row, three); }, "shape mismatch for multiplication: [1, 3] vs [3]"},
    };
    for (const auto& c : cases) EXPECT_EQ(fault_of([&] { c.call(); }), c.message);
}

TEST(Elementwise, IeeeCases) {
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const FloatArray r = relu(array_of({-1.5, -0.0, 0.0, 2.0, nan, -inf, inf}, Shape{7}));
    const std::vector<double> expected{0.0, 0.0, 0.0, 2.0, 0.0, 0.0, inf};
    for (std::size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(bits(r.data[i]), bits(expected[i])) << i;

    EXPECT_TRUE(std::isnan(scale(array_of({inf}, Shape{1}), 0.0).data[0]));
    EXPECT_EQ(bits(scale(array_of({0.0}, Shape{1}), -1.0).data[0]), bits(-0.0));
}

TEST(Elementwise, EmptyZeroDimensionalAndSelfOperands) {
    for (const Shape& shape : {Shape{0}, Shape{2, 0}}) {
        const FloatArray empty = array_of({}, shape);
        for (const FloatArray& result : {add(empty, empty), mul(empty, empty), scale(empty, 2.0), relu(empty)}) {
            EXPECT_EQ(result.shape, shape);
            EXPECT_TRUE(result.data.empty());
        }
    }
    const FloatArray scalar = array_of({-4.0}, Shape{});
    const FloatArray doubled = add(scalar, scalar);
    EXPECT_EQ(doubled.shape, Shape{});
    EXPECT_EQ(doubled.data[0], -8.0);
    EXPECT_EQ(mul(scalar, scalar).data[0], 16.0);
}
