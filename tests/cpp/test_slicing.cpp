#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "ops/slicing.hpp"
#include "test_support.hpp"

using namespace tarvik;
using test_support::counting;
using test_support::fault_of;
using test_support::make;
using test_support::for_each_index;

namespace {


// ---- Selecting: the worked examples -----------------------------------------------------------

struct SelectCase {
    const char* name;
    std::function<NDArrayView(const FloatArray&)> select;
    Shape shape;
    Buffer<double> data;
};

class SelectOn2x3 : public ::testing::TestWithParam<SelectCase> {};

TEST_P(SelectOn2x3, CopiesTheSelectedElements) {
    const FloatArray a = make({1, 2, 3, 4, 5, 6}, {2, 3});
    const FloatArray out = to_array(GetParam().select(a));
    EXPECT_EQ(out.shape, GetParam().shape);
    EXPECT_EQ(out.data, GetParam().data);
    EXPECT_EQ(a.data, (Buffer<double>{1, 2, 3, 4, 5, 6}));
}

INSTANTIATE_TEST_SUITE_P(
    Slicing, SelectOn2x3,
    ::testing::Values(SelectCase{"row1", [](const FloatArray& a) { return slice_row(a, 1); }, {3}, {4, 5, 6}},
                      SelectCase{"row0", [](const FloatArray& a) { return slice_row(a, 0); }, {3}, {1, 2, 3}},
                      SelectCase{"col2", [](const FloatArray& a) { return slice_col(a, 2); }, {2}, {3, 6}},
                      SelectCase{"col0", [](const FloatArray& a) { return slice_col(a, 0); }, {2}, {1, 4}},
                      SelectCase{"axis1", [](const FloatArray& a) { return slice_range(a, 1, 1, 3); }, {2, 2}, {2, 3, 5, 6}},
                      SelectCase{"axis0", [](const FloatArray& a) { return slice_range(a, 0, 1, 2); }, {1, 3}, {4, 5, 6}},
                      SelectCase{"whole", [](const FloatArray& a) { return slice_range(a, 0, 0, 2); }, {2, 3}, {1, 2, 3, 4, 5, 6}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SliceRange, ThreeDimensionsKeepsTheRank) {
    const FloatArray out = to_array(slice_range(counting({2, 2, 2}), 1, 1, 2));
    EXPECT_EQ(out.shape, (Shape{2, 1, 2}));
    EXPECT_EQ(out.data, (Buffer<double>{2, 3, 6, 7}));
}

TEST(SliceRange, EndAtTheExtentIsAccepted) {
    const FloatArray out = to_array(slice_range(make({10, 20, 30, 40}, {4}), 0, 1, 4));
    EXPECT_EQ(out.shape, (Shape{3}));
    EXPECT_EQ(out.data, (Buffer<double>{20, 30, 40}));
}

TEST(SliceRowCol, ZeroExtentsGiveEmptyLines) {
    EXPECT_EQ(to_array(slice_row(counting({2, 0}), 0)).shape, (Shape{0}));
    EXPECT_EQ(to_array(slice_col(counting({0, 3}), 1)).shape, (Shape{0}));
}

TEST(SliceViews, ShareTheSourceAndCarryItsGeometry) {
    const FloatArray a = counting({3, 4});
    const NDArrayView row = slice_row(a, 2);
    EXPECT_EQ(row.data.data(), a.data.data());
    EXPECT_EQ(row.strides, (Shape{1}));
    EXPECT_EQ(row.offset, 8u);
    const NDArrayView col = slice_col(a, 3);
    EXPECT_EQ(col.strides, (Shape{4}));
    EXPECT_EQ(col.offset, 3u);
    const NDArrayView range = slice_range(a, 1, 1, 3);
    EXPECT_EQ(range.shape, (Shape{3, 2}));
    EXPECT_EQ(range.strides, (Shape{4, 1}));
    EXPECT_EQ(range.offset, 1u);
}

// ---- Faults, in test order ---------------------------------------------------------------------

struct FaultCase {
    std::string name;
    Shape shape;
    std::function<void(FloatArray&)> call;
    const char* message;
};

// Named by its case, so GoogleTest does not dump the struct's bytes (padding included).
void PrintTo(const FaultCase& c, std::ostream* out) { *out << c.name; }

class SlicingFaults : public ::testing::TestWithParam<FaultCase> {};

TEST_P(SlicingFaults, ReportsTheFirstFailedTestAndChangesNothing) {
    FloatArray a = counting(GetParam().shape);
    const FloatArray before = a;
    EXPECT_EQ(fault_of([&] { GetParam().call(a); }), GetParam().message);
    EXPECT_EQ(a.data, before.data);
    EXPECT_EQ(a.shape, before.shape);
}

FaultCase range_fault(std::string name, Shape shape, std::uint64_t axis, std::uint64_t start, std::uint64_t end,
                      const char* message, bool assign) {
    if (assign)
        return {name, std::move(shape), [=](FloatArray& a) { set_slice(a, axis, start, end, -1.0); }, message};
    return {name, std::move(shape), [=](FloatArray& a) { slice_range(a, axis, start, end); }, message};
}

// The range tests, each once through `slice_range` and once through `set_slice`.
std::vector<FaultCase> range_faults() {
    std::vector<FaultCase> cases;
    for (bool assign : {false, true}) {
        const std::string prefix = assign ? "set_" : "slice_";
        auto add = [&](const char* name, Shape shape, std::uint64_t axis, std::uint64_t start, std::uint64_t end,
                       const char* message) {
            cases.push_back(range_fault(prefix + name, std::move(shape), axis, start, end, message, assign));
        };
        add("empty_range", {2, 3}, 0, 2, 2, "invalid range: start 2 must be less than end 2");
        add("range_before_end", {2, 3}, 0, 3, 1, "invalid range: start 3 must be less than end 1");
        add("axis_before_range", {2, 3}, 5, 3, 1, "axis 5 is out of bounds for NDArray with 2 dimensions");
        add("axis_at_ndim", {2, 3}, 2, 0, 1, "axis 2 is out of bounds for NDArray with 2 dimensions");
        add("zero_dim", {}, 0, 0, 1, "axis 0 is out of bounds for NDArray with 0 dimensions");
        add("end_one_extent", {4}, 0, 1, 5, "range end 5 is out of bounds for axis 0 with shape 4");
        add("end_names_its_axis", {2, 3, 4}, 1, 0, 9, "range end 9 is out of bounds for axis 1 with shape 3");
        add("end_on_empty_axis", {3, 0}, 1, 0, 1, "range end 1 is out of bounds for axis 1 with shape 0");
    }
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Ranges, SlicingFaults, ::testing::ValuesIn(range_faults()),
                         [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    RowsAndColumns, SlicingFaults,
    ::testing::Values(
        FaultCase{"row_past_end", {2, 3}, [](FloatArray& a) { slice_row(a, 2); },
                  "index out of bounds for dimension 0: index 2, shape 2"},
        FaultCase{"row_of_1d", {3}, [](FloatArray& a) { slice_row(a, 0); }, "slice_row requires a 2D array, got 1D"},
        FaultCase{"row_of_0d", {}, [](FloatArray& a) { slice_row(a, 0); }, "slice_row requires a 2D array, got 0D"},
        FaultCase{"row_of_3d", {1, 1, 1}, [](FloatArray& a) { slice_row(a, 0); },
                  "slice_row requires a 2D array, got 3D"},
        FaultCase{"col_past_end", {2, 3}, [](FloatArray& a) { slice_col(a, 3); },
                  "index out of bounds for dimension 1: index 3, shape 3"},
        FaultCase{"col_of_empty_row", {2, 0}, [](FloatArray& a) { slice_col(a, 0); },
                  "index out of bounds for dimension 1: index 0, shape 0"},
        FaultCase{"col_of_1d", {3}, [](FloatArray& a) { slice_col(a, 9); }, "slice_col requires a 2D array, got 1D"},
        FaultCase{"col_of_4d", {1, 1, 1, 1}, [](FloatArray& a) { slice_col(a, 0); },
                  "slice_col requires a 2D array, got 4D"}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- set_slice ---------------------------------------------------------------------------------

struct AssignCase {
    const char* name;
    Shape shape;
    std::uint64_t axis, start, end;
    double value;
    Buffer<double> before, after;
};

class SetSlice : public ::testing::TestWithParam<AssignCase> {};

TEST_P(SetSlice, WritesExactlyTheSlab) {
    const AssignCase& c = GetParam();
    FloatArray a = make(c.before, c.shape);
    set_slice(a, c.axis, c.start, c.end, c.value);
    EXPECT_EQ(a.data, c.after);
    EXPECT_EQ(a.shape, c.shape);
    EXPECT_EQ(a.strides, row_major_strides(c.shape));
}

INSTANTIATE_TEST_SUITE_P(
    Slabs, SetSlice,
    ::testing::Values(AssignCase{"column", {2, 3}, 1, 1, 2, 0.0, {1, 2, 3, 4, 5, 6}, {1, 0, 3, 4, 0, 6}},
                      AssignCase{"everything", {2, 3}, 0, 0, 2, 7.5, {1, 2, 3, 4, 5, 6}, {7.5, 7.5, 7.5, 7.5, 7.5, 7.5}},
                      AssignCase{"middle_of_1d", {4}, 0, 1, 3, 9.0, {10, 20, 30, 40}, {10, 9, 9, 40}},
                      AssignCase{"last_axis_3d", {2, 2, 2}, 2, 0, 1, -1.0, {0, 1, 2, 3, 4, 5, 6, 7}, {-1, 1, -1, 3, -1, 5, -1, 7}},
                      AssignCase{"middle_axis_3d", {2, 2, 2}, 1, 1, 2, 5.0, {0, 1, 2, 3, 4, 5, 6, 7}, {0, 1, 5, 5, 4, 5, 5, 5}},
                      AssignCase{"empty_slab", {3, 0, 2}, 0, 1, 2, 1.0, {}, {}},
                      AssignCase{"empty_before_axis", {0, 3}, 1, 0, 2, 1.0, {}, {}},
                      AssignCase{"empty_after_huge_extents", {UINT64_MAX, 3, 3, 0}, 2, 0, 1, 1.0, {}, {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SetSlice, WritesNaNAndInfinityUnchanged) {
    FloatArray a = counting({3});
    set_slice(a, 0, 0, 1, std::numeric_limits<double>::quiet_NaN());
    set_slice(a, 0, 2, 3, -std::numeric_limits<double>::infinity());
    EXPECT_TRUE(std::isnan(a.data[0]));
    EXPECT_EQ(a.data[1], 1.0);
    EXPECT_EQ(a.data[2], -std::numeric_limits<double>::infinity());
}

// ---- Random shapes against the element-by-element description ---------------------------------

TEST(SlicingRandom, MatchesTheDescription) {
    std::mt19937_64 rng(0x51ce);
    int ranges = 0;
    for (int trial = 0; trial < 2000; ++trial) {
        const FloatArray a = test_support::random_array(rng, test_support::random_shape(rng));
        const std::size_t ndim = a.shape.size();
        if (ndim == 0) continue;
        const std::uint64_t axis = std::uniform_int_distribution<std::uint64_t>(0, ndim - 1)(rng);
        if (a.shape[axis] == 0) continue;
        const std::uint64_t start = std::uniform_int_distribution<std::uint64_t>(0, a.shape[axis] - 1)(rng);
        const std::uint64_t end = std::uniform_int_distribution<std::uint64_t>(start + 1, a.shape[axis])(rng);
        ++ranges;

        Shape expected_shape = a.shape;
        expected_shape[axis] = end - start;
        Buffer<double> expected;
        for_each_index(expected_shape, [&](Index out) {
            Shape source(out.begin(), out.end());
            source[axis] += start;
            expected.push_back(get(a, source));
        });
        const FloatArray range = to_array(slice_range(a, axis, start, end));
        EXPECT_EQ(range.shape, expected_shape);
        EXPECT_EQ(range.data, expected);

        FloatArray assigned = a;
        FloatArray reference = a;
        for_each_index(a.shape, [&](Index index) {
            if (index[axis] >= start && index[axis] < end) get_mut(reference, index) = 1000.0 + trial;
        });
        set_slice(assigned, axis, start, end, 1000.0 + trial);
        EXPECT_EQ(assigned.data, reference.data);

        if (ndim == 2) {
            Buffer<double> row_expected, col_expected;
            if (axis == 0) {
                for (std::uint64_t j = 0; j < a.shape[1]; ++j) row_expected.push_back(get(a, Shape{start, j}));
                EXPECT_EQ(to_array(slice_row(a, start)).data, row_expected);
            } else {
                for (std::uint64_t i = 0; i < a.shape[0]; ++i) col_expected.push_back(get(a, Shape{i, start}));
                EXPECT_EQ(to_array(slice_col(a, start)).data, col_expected);
            }
        }
    }
    EXPECT_GT(ranges, 1000);
}

}  // namespace
