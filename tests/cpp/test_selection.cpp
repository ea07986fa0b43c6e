#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <random>
#include <string>

#include "ops/selection.hpp"
#include "test_support.hpp"

using namespace tarvik;
using test_support::counting;
using test_support::fault_of;
using test_support::for_each_index;

namespace {

BoolArray mask_of(Buffer<std::uint8_t> data, Shape shape) { return new_array(std::move(data), std::move(shape)); }

BoolArray all(Shape shape, std::uint8_t value) {
    Buffer<std::uint8_t> data(element_count(shape), value);
    return new_array(std::move(data), std::move(shape));
}

// ---- gather and fancy_index ---------------------------------------------------------------------

struct GatherCase {
    const char* name;
    Shape shape;
    std::uint64_t axis;
    Shape indices;
    Shape out_shape;
    Buffer<double> out;
};

class Gather : public ::testing::TestWithParam<GatherCase> {};

TEST_P(Gather, PicksAlongTheAxis) {
    const GatherCase& c = GetParam();
    const FloatArray out = gather(counting(c.shape), c.axis, c.indices);
    EXPECT_EQ(out.shape, c.out_shape);
    EXPECT_EQ(out.data, c.out);
}

INSTANTIATE_TEST_SUITE_P(
    Examples, Gather,
    ::testing::Values(GatherCase{"columns", {2, 3}, 1, {2, 0}, {2, 2}, {2, 0, 5, 3}},
                      GatherCase{"repeated_rows", {2, 3}, 0, {1, 1, 0}, {3, 3}, {3, 4, 5, 3, 4, 5, 0, 1, 2}},
                      GatherCase{"middle_axis", {2, 3, 2}, 1, {2, 2}, {2, 2, 2}, {4, 5, 4, 5, 10, 11, 10, 11}},
                      GatherCase{"no_indices", {2, 3}, 1, {}, {2, 0}, {}},
                      GatherCase{"no_indices_on_empty_axis", {0, 3}, 0, {}, {0, 3}, {}},
                      GatherCase{"other_axis_empty", {2, 0}, 0, {1, 0, 1}, {3, 0}, {}},
                      GatherCase{"one_dimension", {5}, 0, {4, 0, 4}, {3}, {4, 0, 4}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FancyIndex, MatchesGatherOnOneDimension) {
    const FloatArray a = counting({6});
    const Shape indices{5, 1, 1, 3, 0};
    const FloatArray by_fancy = fancy_index(a, indices);
    EXPECT_EQ(by_fancy.shape, (Shape{5}));
    EXPECT_EQ(by_fancy.data, gather(a, 0, indices).data);
    EXPECT_EQ(by_fancy.data, (Buffer<double>{5, 1, 1, 3, 0}));
    EXPECT_EQ(fancy_index(a, {}).shape, (Shape{0}));
}

// ---- Masks and where_ ----------------------------------------------------------------------------

TEST(BooleanMask, KeepsTheTrueElementsInOrder) {
    const FloatArray a = counting({2, 3});
    const FloatArray out = boolean_mask(a, mask_of({1, 0, 0, 1, 1, 0}, {2, 3}));
    EXPECT_EQ(out.shape, (Shape{3}));
    EXPECT_EQ(out.data, (Buffer<double>{0, 3, 4}));
    EXPECT_EQ(boolean_mask(a, all({2, 3}, 0)).shape, (Shape{0}));
    const FloatArray whole = boolean_mask(a, all({2, 3}, 1));
    EXPECT_EQ(whole.shape, (Shape{6}));
    EXPECT_EQ(whole.data, a.data);
}

TEST(BooleanMask, ZeroDimensionalGivesOneOrNone) {
    const FloatArray a = new_array(Buffer<double>{7.0}, Shape{});
    EXPECT_EQ(boolean_mask(a, all({}, 1)).data, (Buffer<double>{7.0}));
    EXPECT_EQ(boolean_mask(a, all({}, 1)).shape, (Shape{1}));
    EXPECT_EQ(boolean_mask(a, all({}, 0)).shape, (Shape{0}));
}

TEST(MaskedFill, WritesOnlyUnderTheMask) {
    FloatArray a = counting({2, 3});
    masked_fill(a, mask_of({0, 1, 0, 0, 0, 1}, {2, 3}), std::numeric_limits<double>::infinity());
    const double inf = std::numeric_limits<double>::infinity();
    EXPECT_EQ(a.data, (Buffer<double>{0, inf, 2, 3, 4, inf}));
    EXPECT_EQ(a.shape, (Shape{2, 3}));

    masked_fill(a, all({2, 3}, 0), -1.0);
    EXPECT_EQ(a.data, (Buffer<double>{0, inf, 2, 3, 4, inf}));

    FloatArray empty = counting({0, 4});
    masked_fill(empty, all({0, 4}, 1), -1.0);
    EXPECT_TRUE(empty.data.empty());

    masked_fill(a, mask_of({1, 0, 0, 0, 0, 0}, {2, 3}), std::nan(""));
    EXPECT_TRUE(std::isnan(a.data[0]));
}

TEST(Where, ChoosesPerElement) {
    const FloatArray a = counting({2, 2});
    const FloatArray b = new_array(Buffer<double>{-1, -2, -3, -4}, Shape{2, 2});
    EXPECT_EQ(where_(a, mask_of({1, 0, 0, 1}, {2, 2}), b).data, (Buffer<double>{0, -2, -3, 3}));
    EXPECT_EQ(where_(a, all({2, 2}, 1), b).data, a.data);
    EXPECT_EQ(where_(a, all({2, 2}, 0), b).data, b.data);
    EXPECT_EQ(where_(a, mask_of({0, 1, 0, 1}, {2, 2}), a).data, a.data);
    const FloatArray scalar = where_(new_array(Buffer<double>{1}, Shape{}), all({}, 0), new_array(Buffer<double>{2}, Shape{}));
    EXPECT_EQ(scalar.shape, Shape{});
    EXPECT_EQ(scalar.data, (Buffer<double>{2}));
}

// ---- Faults ------------------------------------------------------------------------------------

struct FaultCase {
    const char* name;
    Shape shape;
    std::function<void(FloatArray&)> call;
    const char* message;
};

class SelectionFaults : public ::testing::TestWithParam<FaultCase> {};

TEST_P(SelectionFaults, ReportsTheMessageAndChangesNothing) {
    FloatArray a = counting(GetParam().shape);
    const FloatArray before = a;
    EXPECT_EQ(fault_of([&] { GetParam().call(a); }), GetParam().message);
    EXPECT_EQ(a.data, before.data);
}

FaultCase fill_with(const char* name, Shape shape, Shape mask_shape, const char* message) {
    return {name, std::move(shape), [mask_shape](FloatArray& a) { masked_fill(a, all(mask_shape, 1), 9.0); }, message};
}

INSTANTIATE_TEST_SUITE_P(
    Messages, SelectionFaults,
    ::testing::Values(
        FaultCase{"gather_axis", {2, 3}, [](FloatArray& a) { gather(a, 2, Shape{0}); },
                  "axis 2 is out of bounds for NDArray with 2 dimensions"},
        FaultCase{"gather_axis_before_index", {2, 3}, [](FloatArray& a) { gather(a, 7, Shape{99}); },
                  "axis 7 is out of bounds for NDArray with 2 dimensions"},
        FaultCase{"gather_zero_dim", {}, [](FloatArray& a) { gather(a, 0, Shape{}); },
                  "axis 0 is out of bounds for NDArray with 0 dimensions"},
        FaultCase{"gather_index", {2, 3}, [](FloatArray& a) { gather(a, 1, Shape{0, 3}); },
                  "index 3 out of bounds for axis 1 with shape 3"},
        FaultCase{"gather_first_bad_index", {2, 3}, [](FloatArray& a) { gather(a, 0, Shape{1, 4, 100}); },
                  "index 4 out of bounds for axis 0 with shape 2"},
        FaultCase{"gather_empty_axis", {3, 0}, [](FloatArray& a) { gather(a, 1, Shape{0}); },
                  "index 0 out of bounds for axis 1 with shape 0"},
        FaultCase{"fancy_2d", {2, 3}, [](FloatArray& a) { fancy_index(a, Shape{0}); },
                  "fancy_index is only valid for 1D arrays, got 2D"},
        FaultCase{"fancy_0d", {}, [](FloatArray& a) { fancy_index(a, Shape{}); },
                  "fancy_index is only valid for 1D arrays, got 0D"},
        FaultCase{"fancy_index", {4}, [](FloatArray& a) { fancy_index(a, Shape{0, 9, 3, 100}); },
                  "index out of bounds for dimension 0: index 9, shape 4"},
        FaultCase{"fancy_empty", {0}, [](FloatArray& a) { fancy_index(a, Shape{0}); },
                  "index out of bounds for dimension 0: index 0, shape 0"},
        FaultCase{"mask_rank", {6}, [](FloatArray& a) { boolean_mask(a, all({1, 6}, 1)); },
                  "mask shape [1, 6] must equal self shape [6]"},
        FaultCase{"mask_transposed", {2, 3}, [](FloatArray& a) { boolean_mask(a, all({3, 2}, 1)); },
                  "mask shape [3, 2] must equal self shape [2, 3]"},
        FaultCase{"mask_zero_dim", {}, [](FloatArray& a) { boolean_mask(a, all({1}, 1)); },
                  "mask shape [1] must equal self shape []"},
        fill_with("fill_rank", {6}, {6, 1}, "mask shape [6, 1] must equal self shape [6]"),
        fill_with("fill_transposed", {2, 3}, {3, 2}, "mask shape [3, 2] must equal self shape [2, 3]"),
        fill_with("fill_empty_shapes", {0, 2}, {2, 0}, "mask shape [2, 0] must equal self shape [0, 2]"),
        FaultCase{"where_condition", {2, 3},
                  [](FloatArray& a) { where_(a, all({3, 2}, 1), counting({2, 3})); },
                  "shape mismatch: self.shape [2, 3], condition.shape [3, 2], other.shape [2, 3]"},
        FaultCase{"where_other", {2, 3}, [](FloatArray& a) { where_(a, all({2, 3}, 1), counting({6})); },
                  "shape mismatch: self.shape [2, 3], condition.shape [2, 3], other.shape [6]"},
        FaultCase{"where_self", {}, [](FloatArray& a) { where_(a, all({1}, 1), counting({1})); },
                  "shape mismatch: self.shape [], condition.shape [1], other.shape [1]"}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- Random shapes against the element-by-element description ---------------------------------

TEST(SelectionRandom, MatchesTheDescription) {
    std::mt19937_64 rng(0x5e1ec7);
    int gathered = 0;
    for (int trial = 0; trial < 2000; ++trial) {
        const Shape shape = test_support::random_shape(rng);
        const FloatArray a = test_support::random_array(rng, shape);
        const FloatArray b = test_support::random_array(rng, shape);
        const BoolArray mask = test_support::random_mask(rng, shape);

        Buffer<double> kept, chosen;
        FloatArray filled = a;
        for_each_index(shape, [&](Index index) {
            if (get(mask, index)) {
                kept.push_back(get(a, index));
                get_mut(filled, index) = -0.5;
            }
            chosen.push_back(get(mask, index) ? get(a, index) : get(b, index));
        });
        const FloatArray masked = boolean_mask(a, mask);
        EXPECT_EQ(masked.shape, Shape{kept.size()});
        EXPECT_EQ(masked.data, kept);
        FloatArray in_place = a;
        masked_fill(in_place, mask, -0.5);
        EXPECT_EQ(in_place.data, filled.data);
        const FloatArray where = where_(a, mask, b);
        EXPECT_EQ(where.shape, shape);
        EXPECT_EQ(where.data, chosen);

        if (shape.empty()) continue;
        const std::uint64_t axis = std::uniform_int_distribution<std::uint64_t>(0, shape.size() - 1)(rng);
        if (shape[axis] == 0) continue;
        Shape indices(std::uniform_int_distribution<int>(0, 5)(rng));
        for (auto& i : indices) i = std::uniform_int_distribution<std::uint64_t>(0, shape[axis] - 1)(rng);
        Shape out_shape = shape;
        out_shape[axis] = indices.size();
        Buffer<double> picked;
        for_each_index(out_shape, [&](Index out) {
            Shape source(out.begin(), out.end());
            source[axis] = indices[out[axis]];
            picked.push_back(get(a, source));
        });
        const FloatArray g = gather(a, axis, indices);
        EXPECT_EQ(g.shape, out_shape);
        EXPECT_EQ(g.data, picked);
        if (shape.size() == 1) {
            EXPECT_EQ(fancy_index(a, indices).data, picked);
        }
        ++gathered;
    }
    EXPECT_GT(gathered, 1000);
}

}  // namespace
