#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include <malloc.h>
#include <unistd.h>

#include "kernels/matmul_kernel.hpp"
#include "ops/matrix.hpp"
#include "test_support.hpp"

using namespace tarvik;
using test_support::fault_of;
using test_support::isa_name;
using test_support::make;
using test_support::same_bits;

namespace {

constexpr double inf = std::numeric_limits<double>::infinity();
const double nan = std::nan("");


// Values over many magnitudes, so a change in the order of the additions changes the last bits.
FloatArray scattered(std::mt19937_64& rng, std::uint64_t rows, std::uint64_t cols) {
    Buffer<double> data(rows * cols);
    std::uniform_real_distribution<double> mantissa(-1.0, 1.0);
    std::uniform_int_distribution<int> exponent(-30, 30);
    for (auto& x : data) x = std::ldexp(mantissa(rng), exponent(rng));
    return make(std::move(data), Shape{rows, cols});
}

// The plain triple loop, each operand read with `get`.
Buffer<double> reference_product(const FloatArray& a, const FloatArray& b) {
    const std::uint64_t m = a.shape[0], k = a.shape[1], n = b.shape[1];
    Buffer<double> out(m * n, 0.0);
    for (std::uint64_t i = 0; i < m; ++i)
        for (std::uint64_t j = 0; j < n; ++j) {
            double total = 0.0;
            for (std::uint64_t l = 0; l < k; ++l) {
                const double product = get(a, Shape{i, l}) * get(b, Shape{l, j});
                total = total + product;
            }
            out[i * n + j] = total;
        }
    return out;
}

// ---- the native kernel against the triple loop ---------------------------------------------------

using Sizes = std::tuple<std::uint64_t, std::uint64_t, std::uint64_t>;

// Tiny, non-square, and sizes that leave partial register tiles and partial cache blocks in every
// direction (a strip of a holds 4 to 8 rows, a block of b 384 columns and 256 steps of l); the last
// one has several blocks of b both ways, each after the first starting inside b.
const std::vector<Sizes> product_sizes = {
    {1, 1, 1},   {1, 1, 7},    {7, 1, 1},    {2, 3, 2},    {3, 5, 7},    {5, 9, 3},    {13, 17, 11},
    {8, 24, 24}, {9, 25, 25},  {6, 8, 16},   {17, 3, 33},  {1, 300, 1},  {31, 129, 47}, {130, 257, 37},
    {257, 260, 9}, {3, 7, 2100}, {64, 64, 64}, {121, 513, 50}, {10, 270, 790},
};

class NativeKernel : public ::testing::TestWithParam<Isa> {};

TEST_P(NativeKernel, IsBitIdenticalToTheTripleLoop) {
    if (!isa_supported(GetParam())) GTEST_SKIP() << "processor lacks this instruction set";
    std::mt19937_64 rng(21);
    for (const auto& [m, k, n] : product_sizes) {
        const FloatArray a = scattered(rng, m, k), b = scattered(rng, k, n);
        Buffer<double> c(m * n, 0.0);
        multiply_accumulate(GetParam(), a.data.data(), b.data.data(), c.data(), m, k, n);
        SCOPED_TRACE(testing::Message() << m << "x" << k << "x" << n);
        EXPECT_TRUE(same_bits(reference_product(a, b), c));
    }
}

TEST_P(NativeKernel, CarriesZerosInfinitiesAndNaNsLikeTheTripleLoop) {
    if (!isa_supported(GetParam())) GTEST_SKIP() << "processor lacks this instruction set";
    std::mt19937_64 rng(22);
    const double specials[] = {0.0, -0.0, inf, -inf, nan, 1e308, -1e308, 1e-310};
    for (const auto& [m, k, n] : product_sizes) {
        FloatArray a = scattered(rng, m, k), b = scattered(rng, k, n);
        for (FloatArray* operand : {&a, &b})
            for (auto& x : operand->data)
                if (std::bernoulli_distribution(0.05)(rng)) x = specials[std::uniform_int_distribution<int>(0, 7)(rng)];
        Buffer<double> c(m * n, 0.0);
        multiply_accumulate(GetParam(), a.data.data(), b.data.data(), c.data(), m, k, n);
        SCOPED_TRACE(testing::Message() << m << "x" << k << "x" << n);
        EXPECT_TRUE(same_bits(reference_product(a, b), c));
    }
}

INSTANTIATE_TEST_SUITE_P(Matrix, NativeKernel,
                         ::testing::Values(Isa::portable, Isa::avx2, Isa::avx512),
                         [](const auto& info) { return isa_name(info.param); });

TEST(Matmul, IsBitIdenticalToTheTripleLoopOnRandomShapes) {
    std::mt19937_64 rng(23);
    for (int trial = 0; trial < 60; ++trial) {
        std::uniform_int_distribution<std::uint64_t> extent(0, 40);
        const std::uint64_t m = extent(rng), k = extent(rng), n = extent(rng);
        const FloatArray a = scattered(rng, m, k), b = scattered(rng, k, n);
        const FloatArray out = matmul(a, b);
        EXPECT_EQ(out.shape, (Shape{m, n}));
        EXPECT_TRUE(same_bits(reference_product(a, b), out.data));
    }
}

TEST(Matmul, SquaresAnArrayWithItself) {
    std::mt19937_64 rng(24);
    const FloatArray a = scattered(rng, 37, 37);
    EXPECT_TRUE(same_bits(reference_product(a, a), matmul(a, a).data));
}

// ---- worked examples and edge cases of both products ----------------------------------------------

using Product = FloatArray (*)(const FloatArray&, const FloatArray&);

class BothProducts : public ::testing::TestWithParam<Product> {};

TEST_P(BothProducts, MultiplyTheWorkedExample) {
    const FloatArray out = GetParam()(make({1, 2, 3, 4, 5, 6}, {2, 3}), make({7, 8, 9, 10, 11, 12}, {3, 2}));
    EXPECT_EQ(out.shape, (Shape{2, 2}));
    EXPECT_EQ(out.data, (Buffer<double>{58, 64, 139, 154}));
}

TEST_P(BothProducts, GiveShapeMByNForEmptySizes) {
    for (const auto& [m, k, n] : std::vector<Sizes>{{2, 0, 3}, {0, 3, 2}, {3, 2, 0}, {0, 0, 0}, {0, 4, 0}}) {
        const FloatArray out = GetParam()(make(Buffer<double>(m * k, 1.0), {m, k}), make(Buffer<double>(k * n, 1.0), {k, n}));
        EXPECT_EQ(out.shape, (Shape{m, n}));
        ASSERT_EQ(out.data.size(), m * n);
        for (double x : out.data) {
            EXPECT_EQ(x, 0.0);
            EXPECT_FALSE(std::signbit(x));
        }
    }
}

TEST_P(BothProducts, LeaveTheirInputsUnchanged) {
    const FloatArray a = make({1, 2, 3, 4}, {2, 2});
    const FloatArray b = make({5, 6, 7, 8}, {2, 2});
    GetParam()(a, b);
    EXPECT_EQ(a.data, (Buffer<double>{1, 2, 3, 4}));
    EXPECT_EQ(b.data, (Buffer<double>{5, 6, 7, 8}));
}

INSTANTIATE_TEST_SUITE_P(Matrix, BothProducts, ::testing::Values(&matmul, &matmul_blas));

TEST(Matmul, StartsTheAccumulatorAtPositiveZero) {
    const FloatArray out = matmul(make({-0.0}, {1, 1}), make({1.0}, {1, 1}));
    EXPECT_EQ(out.data[0], 0.0);
    EXPECT_FALSE(std::signbit(out.data[0]));
}

TEST(MatmulBlas, AgreesWithTheNativeProductWithinRounding) {
    std::mt19937_64 rng(25);
    std::uniform_real_distribution<double> value(-1.0, 1.0);
    for (const auto& [m, k, n] : product_sizes) {
        FloatArray a = scattered(rng, m, k), b = scattered(rng, k, n);
        for (auto& x : a.data) x = value(rng);
        for (auto& x : b.data) x = value(rng);
        const FloatArray native = matmul(a, b), blas = matmul_blas(a, b);
        ASSERT_EQ(native.shape, blas.shape);
        for (std::size_t i = 0; i < native.data.size(); ++i)
            EXPECT_NEAR(native.data[i], blas.data[i], 1e-13 * static_cast<double>(k));
    }
}

// OpenBLAS maps a working buffer at a process's first product and, refused, retries for ever; its
// threaded driver mallocs a job table on every product and exits when refused. matmul_blas checks
// for that memory first. Just below what it checks for, a product must fail with an out-of-memory
// fault, and with that much (plus what malloc itself adds) it must go through, which shows the
// check asks for no less than the library takes. In a fresh process, where no product has run yet,
// with an alarm against a hang.
TEST(MatmulBlasDeathTest, ChecksForTheMemoryTheLibraryTakesFirst) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "a lowered RLIMIT_AS leaves the sanitizer no room for its own mappings";
#endif
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    auto child = [] {
        alarm(20);
        constexpr std::size_t buffer = std::size_t{128} << 20, table = std::size_t{512} << 10;
        constexpr std::size_t malloc_slack = std::size_t{256} << 10;
        const FloatArray small = make({1, 2, 3, 4}, {2, 2});
        const std::uint64_t n = 1000;
        const FloatArray big = make(Buffer<double>(n * n, 1.0), {n, n});
        const std::size_t big_output = n * n * sizeof(double) + 4096;
        auto outcome = [](const FloatArray& a) -> std::string {
            try {
                return std::to_string(matmul_blas(a, a).data.back());
            } catch (const EngineFault& fault) {
                return fault.kind() == FaultKind::out_of_memory ? "out of memory" : fault.message();
            }
        };
        auto with_room = [&](std::size_t headroom, const FloatArray& a) {
            // Freed heap memory at the top would count as room.
            malloc_trim(0);
            test_support::limit_address_space(headroom);
            std::string result = outcome(a);
            test_support::lift_address_space_limit();
            return result;
        };
        const std::vector<std::string> got = {
            with_room(buffer - (std::size_t{1} << 20), small), with_room(buffer + malloc_slack, small),
            outcome(big),  // the buffer is kept from here on
            with_room(big_output + table / 2, big), with_room(big_output + table + malloc_slack, big)};
        const std::vector<std::string> want = {"out of memory", "22.000000", "1000.000000", "out of memory",
                                               "1000.000000"};
        if (got != want) {
            for (const auto& g : got) std::fprintf(stderr, "%s\n", g.c_str());
            std::exit(1);
        }
        std::fprintf(stderr, "all as expected\n");
        std::exit(0);
    };
    EXPECT_EXIT(child(), ::testing::ExitedWithCode(0), "all as expected");
}

struct FaultCase {
    const char* name;
    std::function<void()> call;
    const char* message;
};

class Faults : public ::testing::TestWithParam<FaultCase> {};

TEST_P(Faults, CarryTheirMessage) { EXPECT_EQ(GetParam().message, fault_of(GetParam().call)); }

const FloatArray row3 = make({1, 2, 3}, {3});
const FloatArray m2x3 = make({1, 2, 3, 4, 5, 6}, {2, 3});
const FloatArray m3x2 = make({1, 2, 3, 4, 5, 6}, {3, 2});
const FloatArray m2x2 = make({1, 2, 3, 4}, {2, 2});
const FloatArray scalar = make({1}, {});
// No memory behind them: every extent that reaches 2^31 multiplies with a 0.
const FloatArray wide_empty = make({}, {0, std::uint64_t{1} << 31});
const FloatArray tall_empty = make({}, {std::uint64_t{1} << 31, 0});
const FloatArray huge_inner = make({}, {0, std::uint64_t{1} << 40});

INSTANTIATE_TEST_SUITE_P(
    Matrix, Faults,
    ::testing::Values(
        FaultCase{"matmul_1d_2d", [] { matmul(row3, m3x2); }, "matmul requires 2D arrays, got 1D and 2D"},
        FaultCase{"matmul_2d_1d", [] { matmul(m2x3, row3); }, "matmul requires 2D arrays, got 2D and 1D"},
        FaultCase{"matmul_0d_0d", [] { matmul(scalar, scalar); }, "matmul requires 2D arrays, got 0D and 0D"},
        FaultCase{"matmul_inner", [] { matmul(m2x3, m2x2); },
                  "shape mismatch for matmul: self.shape[1] (3) must equal other.shape[0] (2)"},
        FaultCase{"blas_1d_2d", [] { matmul_blas(row3, m3x2); }, "matmul_blas requires 2D arrays, got 1D and 2D"},
        FaultCase{"blas_2d_1d", [] { matmul_blas(m2x3, row3); }, "matmul_blas requires 2D arrays, got 2D and 1D"},
        FaultCase{"blas_inner", [] { matmul_blas(m2x3, m2x2); },
                  "shape mismatch for matmul_blas: self.shape[1] (3) must equal other.shape[0] (2)"},
        FaultCase{"blas_32bit", [] { matmul_blas(wide_empty, tall_empty); },
                  "matmul_blas supports sizes below 2^31, got m = 0, k = 2147483648, n = 0"},
        FaultCase{"blas_32bit_m", [] { matmul_blas(tall_empty, make({}, {0, 0})); },
                  "matmul_blas supports sizes below 2^31, got m = 2147483648, k = 0, n = 0"},
        FaultCase{"blas_32bit_after_shape_test", [] { matmul_blas(huge_inner, tall_empty); },
                  "shape mismatch for matmul_blas: self.shape[1] (1099511627776) must equal other.shape[0] (2147483648)"},
        FaultCase{"transpose_1d", [] { transpose(row3); }, "transpose requires a 2D array, got 1D"},
        FaultCase{"transpose_0d", [] { transpose(scalar); }, "transpose requires a 2D array, got 0D"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Matmul, ComputesZeroSizedProductsBeyondThirtyTwoBits) {
    const FloatArray out = matmul(wide_empty, tall_empty);
    EXPECT_EQ(out.shape, (Shape{0, 0}));
}

// ---- transpose ------------------------------------------------------------------------------------

TEST(Transpose, SwapsShapeAndStridesOfTheWorkedExample) {
    const NDArrayView view = transpose(m2x3);
    EXPECT_EQ(view.shape, (Shape{3, 2}));
    EXPECT_EQ(view.strides, (Shape{1, 3}));
    EXPECT_EQ(view.offset, 0u);
    EXPECT_EQ(to_array(view).data, (Buffer<double>{1, 4, 2, 5, 3, 6}));
}

TEST(Transpose, OfAnEmptyMatrixIsEmpty) {
    const FloatArray out = to_array(transpose(make({}, {0, 5})));
    EXPECT_EQ(out.shape, (Shape{5, 0}));
    EXPECT_TRUE(out.data.empty());
}

// Sizes around the tile of the copy, against element-by-element reads, and back again.
TEST(Transpose, CopiesEveryElementAndRoundTrips) {
    std::mt19937_64 rng(26);
    for (const auto& [rows, cols] : std::vector<std::pair<std::uint64_t, std::uint64_t>>{
             {1, 1}, {1, 17}, {17, 1}, {15, 16}, {16, 16}, {33, 47}, {100, 3}, {64, 250}}) {
        const FloatArray a = scattered(rng, rows, cols);
        const FloatArray t = to_array(transpose(a));
        ASSERT_EQ(t.shape, (Shape{cols, rows}));
        for (std::uint64_t i = 0; i < cols; ++i)
            for (std::uint64_t j = 0; j < rows; ++j) ASSERT_EQ(get(t, Shape{i, j}), get(a, Shape{j, i}));
        EXPECT_EQ(to_array(transpose(t)).data, a.data);
    }
}

// The tiled copy serves any 2-D view with a strided last axis, not only a transpose at offset 0,
// and keeps the bounds test of the element walk.
TEST(ToArray, CopiesStridedTwoDimensionalViewsWithAnOffset) {
    const FloatArray source = test_support::counting(Shape{200});
    const NDArrayView view{Shape{19, 18}, Shape{1, 10}, std::span<const double>(source.data), 7};
    const FloatArray out = to_array(view);
    for (std::uint64_t i = 0; i < 19; ++i)
        for (std::uint64_t j = 0; j < 18; ++j) ASSERT_EQ(out.data[i * 18 + j], 7.0 + i + 10.0 * j);
    const NDArrayView too_far{Shape{19, 19}, Shape{1, 10}, std::span<const double>(source.data), 7};
    EXPECT_EQ("index out of bounds: the len is 200 but the index is 205", fault_of([&] { to_array(too_far); }, FaultKind::internal));
}

}  // namespace
