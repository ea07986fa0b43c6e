// The C++ tests' shared helpers: a slow, obvious row-major walk over every multi-index of a shape,
// random and counting arrays, the message of the fault a call raises, and bit-for-bit comparison of
// float results.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>

#include <sys/resource.h>

#include "base/ndarray.hpp"
#include "base/simd.hpp"

namespace tarvik::test_support {

inline FloatArray make(Buffer<double> data, Shape shape) { return new_array(std::move(data), std::move(shape)); }

// Calls `visit(index)` for every multi-index of `shape` in row-major order (once for an empty
// shape, never when an extent is 0).
template <class Visit>
void for_each_index(Index shape, Visit visit) {
    for (std::uint64_t extent : shape)
        if (extent == 0) return;
    Shape index(shape.size(), 0);
    while (true) {
        visit(Index(index));
        std::size_t d = shape.size();
        while (d > 0 && ++index[d - 1] == shape[d - 1]) index[--d] = 0;
        if (d == 0) return;
    }
}

// A shape of 0 to 4 dimensions with extents 0 to 4 (zero extents kept rare enough that most
// shapes hold elements).
inline Shape random_shape(std::mt19937_64& rng) {
    Shape shape(std::uniform_int_distribution<int>(0, 4)(rng));
    for (auto& extent : shape) extent = std::bernoulli_distribution(0.1)(rng) ? 0 : std::uniform_int_distribution<int>(1, 4)(rng);
    return shape;
}

// An array holding 0, 1, 2, ... in row-major order.
inline FloatArray counting(Shape shape) {
    Buffer<double> data(element_count(shape));
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<double>(i);
    return new_array(std::move(data), std::move(shape));
}

// The message of the EngineFault that `call` raises, or "no fault"; a fault of another kind than
// `expected_kind` fails the test.
inline std::string fault_of(const std::function<void()>& call, FaultKind expected_kind = FaultKind::check_failed) {
    try {
        call();
    } catch (const EngineFault& fault) {
        EXPECT_EQ(fault.kind(), expected_kind) << fault.message();
        return fault.message();
    }
    return "no fault";
}

inline FloatArray random_array(std::mt19937_64& rng, Shape shape) {
    Buffer<double> data(element_count(shape));
    for (auto& x : data) x = std::uniform_int_distribution<int>(-99, 99)(rng);
    return new_array(std::move(data), std::move(shape));
}

inline BoolArray random_mask(std::mt19937_64& rng, Shape shape) {
    Buffer<std::uint8_t> data(element_count(shape));
    for (auto& b : data) b = std::bernoulli_distribution(0.5)(rng);
    return new_array(std::move(data), std::move(shape));
}

// Caps the address space at what is mapped now plus `headroom` bytes (for a child process: the
// sanitizers' shadow mappings do not survive a lowered cap).
inline void limit_address_space(std::size_t headroom) {
    std::FILE* statm = std::fopen("/proc/self/statm", "r");
    unsigned long pages = 0;
    if (statm == nullptr || std::fscanf(statm, "%lu", &pages) != 1) std::abort();
    std::fclose(statm);
    rlimit limit{};
    getrlimit(RLIMIT_AS, &limit);
    limit.rlim_cur = pages * 4096 + headroom;
    if (setrlimit(RLIMIT_AS, &limit) != 0) std::abort();
}

inline void lift_address_space_limit() {
    rlimit limit{};
    getrlimit(RLIMIT_AS, &limit);
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_AS, &limit);
}

// Bit-for-bit comparison of float results, for operations whose order of rounding is specified.
// Any NaN matches any NaN, since NaN payloads depend on the order of the operands.
inline ::testing::AssertionResult same_bits(double expected, double actual) {
    std::uint64_t e, a;
    std::memcpy(&e, &expected, sizeof e);
    std::memcpy(&a, &actual, sizeof a);
    if (e == a || (std::isnan(expected) && std::isnan(actual))) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "expected " << expected << " (bits " << e << "), got " << actual
                                         << " (bits " << a << ")";
}

// Reports the first element that differs.
inline ::testing::AssertionResult same_bits(const Buffer<double>& expected, const Buffer<double>& actual) {
    if (expected.size() != actual.size())
        return ::testing::AssertionFailure() << "expected " << expected.size() << " elements, got " << actual.size();
    for (std::size_t i = 0; i < expected.size(); ++i) {
        ::testing::AssertionResult element = same_bits(expected[i], actual[i]);
        if (!element) return element << " at position " << i;
    }
    return ::testing::AssertionSuccess();
}

// A test name for each instruction set.
inline std::string isa_name(Isa isa) {
    switch (isa) {
        case Isa::portable:
            return "portable";
        case Isa::avx2:
            return "avx2";
        case Isa::avx512:
            return "avx512";
    }
    return "unknown";
}

}  // namespace tarvik::test_support
