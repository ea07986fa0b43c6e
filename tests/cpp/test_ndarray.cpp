#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "base/ndarray.hpp"
#include "test_support.hpp"

using namespace tarvik;
using tarvik::test_support::fault_of;
using tarvik::test_support::for_each_index;
using tarvik::test_support::make;

namespace {

Buffer<double> iota(std::uint64_t n) {
    Buffer<double> data(n);
    std::iota(data.begin(), data.end(), 0.0);
    return data;
}

// The element a view shows at `index`, computed the long way.
double viewed(const NDArrayView& view, Index index) {
    std::uint64_t position = view.offset;
    for (std::size_t d = 0; d < index.size(); ++d) position += index[d] * view.strides[d];
    return view.data[position];
}

}  // namespace

// ---- Construction

TEST(NewArray, RowMajorStrides) {
    struct Case {
        Shape shape;
        Shape strides;
    };
    const Case cases[] = {
        {{}, {}},           {{5}, {1}},       {{2, 3}, {3, 1}},       {{4, 2, 3}, {6, 3, 1}},
        {{0, 3}, {3, 1}},   {{3, 0}, {0, 1}}, {{2, 0, 4}, {0, 4, 1}}, {{1, 1, 7, 2}, {14, 14, 2, 1}},
    };
    for (const Case& c : cases) {
        FloatArray a = make(Buffer<double>(element_count(c.shape)), c.shape);
        EXPECT_EQ(a.strides, c.strides) << format_shape(c.shape);
        EXPECT_EQ(a.offset, 0u);
        EXPECT_EQ(a.shape, c.shape);
    }
}

TEST(NewArray, TakesOverDataWithoutCopying) {
    Buffer<double> data = iota(6);
    const double* storage = data.data();
    FloatArray a = make(std::move(data), Shape{2, 3});
    EXPECT_EQ(a.data.data(), storage);
}

TEST(NewArray, ZeroDimensionalHoldsOneElement) {
    FloatArray a = make(Buffer<double>{5.0}, Shape{});
    EXPECT_TRUE(a.strides.empty());
    EXPECT_EQ(get(a, Index{}), 5.0);
}

TEST(NewArray, LengthMismatchMessages) {
    EXPECT_EQ(fault_of([] { make(Buffer<double>{}, Shape{}); }), "data length 0 does not match shape [] (expected 1)");
    EXPECT_EQ(fault_of([] { make(iota(5), Shape{2, 3}); }), "data length 5 does not match shape [2, 3] (expected 6)");
    EXPECT_EQ(fault_of([] { new_array(Buffer<std::uint8_t>(5), Shape{2, 3}); }),
              "data length 5 does not match shape [2, 3] (expected 6)");
    EXPECT_EQ(fault_of([] { make(iota(1), Shape{0, 3}); }), "data length 1 does not match shape [0, 3] (expected 0)");
}

TEST(NewArray, EmptyDataWithZeroExtentIsAccepted) {
    FloatArray a = make(Buffer<double>{}, Shape{0, 3});
    EXPECT_TRUE(a.data.empty());
    BoolArray b = new_array(Buffer<std::uint8_t>{}, Shape{3, 0});
    EXPECT_EQ(b.strides, (Shape{0, 1}));
}

// ---- Element count

TEST(ElementCount, ProductOfExtents) {
    EXPECT_EQ(element_count(Shape{}), 1u);
    EXPECT_EQ(element_count(Shape{7}), 7u);
    EXPECT_EQ(element_count(Shape{4, 2, 3}), 24u);
    EXPECT_EQ(element_count(Shape{4, 0, 3}), 0u);
    EXPECT_EQ(element_count(Shape{std::uint64_t{1} << 32, std::uint64_t{1} << 31}), std::uint64_t{1} << 63);
}

TEST(ElementCount, ZeroExtentWinsOverAnOverflowingProduct) {
    EXPECT_EQ(element_count(Shape{std::uint64_t{1} << 32, std::uint64_t{1} << 32, 0}), 0u);
}

TEST(ElementCount, OverflowNamesTheShape) {
    const std::uint64_t big = std::uint64_t{1} << 32;
    EXPECT_EQ(fault_of([&] { element_count(Shape{big, big}); }),
              "element count of shape [4294967296, 4294967296] overflows 64 bits");
    EXPECT_EQ(fault_of([&] { make(Buffer<double>{}, Shape{big, big}); }),
              "element count of shape [4294967296, 4294967296] overflows 64 bits");
    FloatArray a = make(iota(4), Shape{4});
    EXPECT_EQ(fault_of([&] { reshape(a, Shape{3, big, big}); }),
              "element count of shape [3, 4294967296, 4294967296] overflows 64 bits");
}

// ---- Memory

TEST(Memory, ByteSizeBeyondSignedRangeIsCapacityOverflow) {
    EXPECT_EQ(fault_of([] { uninitialized_buffer<double>(std::uint64_t{1} << 61); }), "capacity overflow");
    EXPECT_EQ(fault_of([] {
                  Buffer<std::uint64_t> b;
                  reserve_exact(b, ~std::uint64_t{0});
              }),
              "capacity overflow");
}

TEST(Memory, RefusedAllocationIsOutOfMemoryWithByteCount) {
    // 8 TiB: refused by the allocator on any machine these tests run on.
    EXPECT_EQ(fault_of([] { uninitialized_buffer<double>(std::uint64_t{1} << 40); }, FaultKind::out_of_memory),
              "memory allocation of 8796093022208 bytes failed");
}

// ---- Lookup

TEST(Get, ReadsRowMajorPosition) {
    FloatArray a = make(iota(24), Shape{4, 2, 3});
    std::uint64_t expected = 0;
    for_each_index(a.shape, [&](Index index) { EXPECT_EQ(get(a, index), static_cast<double>(expected++)); });
    EXPECT_EQ(expected, 24u);
}

TEST(Get, Messages) {
    FloatArray a = make(iota(6), Shape{2, 3});
    struct Case {
        Shape index;
        const char* message;
    };
    const Case cases[] = {
        {{1}, "length of the given index and shape must match."},
        {{1, 2, 0}, "length of the given index and shape must match."},
        {{}, "length of the given index and shape must match."},
        {{2, 5}, "index out of bounds for dimension 0: index 2, shape 2"},
        {{1, 3}, "index out of bounds for dimension 1: index 3, shape 3"},
        {{0, ~std::uint64_t{0}}, "index out of bounds for dimension 1: index 18446744073709551615, shape 3"},
    };
    for (const Case& c : cases) EXPECT_EQ(fault_of([&] { get(a, c.index); }), c.message) << format_shape(c.index);
    EXPECT_EQ(fault_of([&] { get_mut(a, Shape{2, 0}); }), "index out of bounds for dimension 0: index 2, shape 2");
    EXPECT_EQ(get(a, Shape{1, 2}), 5.0);
}

TEST(Get, PositionOutsideDataIsReported) {
    // Only reachable through a geometry that breaks the array invariants.
    EXPECT_EQ(fault_of([] { checked_position(Shape{2, 3}, Shape{3, 1}, 1, 6, Shape{1, 2}); }, FaultKind::internal),
              "index out of bounds: the len is 6 but the index is 6");
}

TEST(Get, BoolArray) {
    BoolArray b = new_array(Buffer<std::uint8_t>{0, 1, 1, 0}, Shape{2, 2});
    EXPECT_EQ(get(b, Shape{0, 1}), 1);
    EXPECT_EQ(get(b, Shape{1, 1}), 0);
    EXPECT_EQ(fault_of([&] { get(b, Shape{0, 2}); }), "index out of bounds for dimension 1: index 2, shape 2");
}

TEST(GetMut, WritesOneElement) {
    FloatArray a = make(iota(6), Shape{2, 3});
    get_mut(a, Shape{1, 0}) = -1.0;
    EXPECT_EQ(a.data, (Buffer<double>{0, 1, 2, -1, 4, 5}));
}

// ---- Reshape

TEST(Reshape, KeepsFlatOrder) {
    FloatArray a = make(iota(6), Shape{2, 3});
    NDArrayView view = reshape(a, Shape{3, 2});
    EXPECT_EQ(view.shape, (Shape{3, 2}));
    EXPECT_EQ(view.strides, (Shape{2, 1}));
    EXPECT_EQ(view.offset, 0u);
    EXPECT_EQ(view.data.data(), a.data.data());
    FloatArray b = to_array(view);
    EXPECT_EQ(b.data, a.data);
    EXPECT_EQ(b.shape, (Shape{3, 2}));
    EXPECT_EQ(b.strides, (Shape{2, 1}));
}

TEST(Reshape, Messages) {
    FloatArray a = make(iota(6), Shape{2, 3});
    EXPECT_EQ(fault_of([&] { reshape(a, Shape{4}); }), "data length 6 does not match shape [4] (expected 4)");
    EXPECT_EQ(fault_of([&] { reshape(a, Shape{}); }), "data length 6 does not match shape [] (expected 1)");
    EXPECT_EQ(fault_of([&] { reshape(a, Shape{6, 0}); }), "data length 6 does not match shape [6, 0] (expected 0)");
}

TEST(Reshape, OneElementToZeroDimensions) {
    FloatArray a = make(Buffer<double>{7.5}, Shape{1, 1});
    FloatArray b = to_array(reshape(a, Shape{}));
    EXPECT_TRUE(b.shape.empty());
    EXPECT_EQ(get(b, Index{}), 7.5);
}

TEST(Reshape, EmptyToOtherEmptyShapes) {
    FloatArray a = make(Buffer<double>{}, Shape{0, 3});
    FloatArray b = to_array(reshape(a, Shape{5, 0, 2}));
    EXPECT_EQ(b.shape, (Shape{5, 0, 2}));
    EXPECT_TRUE(b.data.empty());
}

// ---- Copy out of a view

TEST(ToArray, TransposedView) {
    FloatArray a = make(Buffer<double>{1, 2, 3, 4, 5, 6}, Shape{2, 3});
    FloatArray t = to_array(NDArrayView{Shape{3, 2}, Shape{1, 3}, a.data, 0});
    EXPECT_EQ(t.data, (Buffer<double>{1, 4, 2, 5, 3, 6}));
    EXPECT_EQ(t.shape, (Shape{3, 2}));
    EXPECT_EQ(t.strides, (Shape{2, 1}));
}

TEST(ToArray, ZeroDimensionalViewCopiesTheElementAtOffset) {
    FloatArray a = make(iota(6), Shape{6});
    FloatArray b = to_array(NDArrayView{Shape{}, Shape{}, a.data, 4});
    EXPECT_EQ(b.data, (Buffer<double>{4}));
    EXPECT_TRUE(b.shape.empty());
}

TEST(ToArray, ZeroExtentCopiesNothing) {
    FloatArray a = make(iota(6), Shape{2, 3});
    // With a zero extent no element is looked up, so even an offset past the data is harmless.
    FloatArray b = to_array(NDArrayView{Shape{0, 3}, Shape{3, 1}, a.data, 99});
    EXPECT_TRUE(b.data.empty());
    EXPECT_EQ(b.shape, (Shape{0, 3}));
}

TEST(ToArray, ViewReachingPastItsSpanFaults) {
    FloatArray a = make(iota(6), Shape{6});
    EXPECT_EQ(fault_of([&] { to_array(NDArrayView{Shape{2}, Shape{6}, a.data, 0}); }, FaultKind::internal),
              "index out of bounds: the len is 6 but the index is 6");
    EXPECT_EQ(fault_of([&] { to_array(NDArrayView{Shape{}, Shape{}, a.data, 6}); }, FaultKind::internal),
              "index out of bounds: the len is 6 but the index is 6");
}

// Random strided views: axes permuted, a window cut along each axis, a step between neighbours.
TEST(ToArray, RandomViewsMatchElementwiseLookup) {
    std::mt19937_64 rng(20261208);
    for (int trial = 0; trial < 300; ++trial) {
        Shape source_shape = tarvik::test_support::random_shape(rng);
        FloatArray source = tarvik::test_support::random_array(rng, source_shape);
        const std::size_t ndim = source_shape.size();

        std::vector<std::size_t> axes(ndim);
        std::iota(axes.begin(), axes.end(), 0);
        std::shuffle(axes.begin(), axes.end(), rng);
        NDArrayView view{Shape(ndim), Shape(ndim), source.data, 0};
        for (std::size_t d = 0; d < ndim; ++d) {
            const std::size_t axis = axes[d];
            const std::uint64_t extent = source_shape[axis];
            const std::uint64_t start = extent == 0 ? 0 : std::uniform_int_distribution<std::uint64_t>(0, extent - 1)(rng);
            view.shape[d] = std::uniform_int_distribution<std::uint64_t>(0, extent - start)(rng);
            view.strides[d] = source.strides[axis];
            view.offset += start * source.strides[axis];
        }

        FloatArray copy = to_array(view);
        ASSERT_EQ(copy.shape, view.shape);
        ASSERT_EQ(copy.strides, row_major_strides(view.shape));
        ASSERT_EQ(copy.data.size(), element_count(view.shape));
        std::size_t k = 0;
        for_each_index(view.shape, [&](Index index) { EXPECT_EQ(copy.data[k++], viewed(view, index)); });
    }
}
