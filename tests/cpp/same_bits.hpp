// Bit-for-bit comparison of float results, for operations whose order of rounding is specified.
// Any NaN matches any NaN, since NaN payloads depend on the order of the operands.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>

#include "buffer.hpp"

namespace tarvik::test_support {

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

}  // namespace tarvik::test_support
