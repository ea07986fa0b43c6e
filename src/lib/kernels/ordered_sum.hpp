// Sums in the exact left-to-right order, computed faster than one dependent addition per element
// where the data allows.
//
// Both give, bit for bit, what the plain loop gives: ((((start + x0) + x1) + x2) + ...) with one
// rounding per addition. While the running sum stays inside one binade, whole blocks are added as
// integers on that binade's grid, and the running sums stored from it (see ordered_sum.cpp for why
// that is exact); everything else goes through the plain loop. The grid assumes the process's
// floating-point environment: round to nearest, no flush of subnormals to zero.
#pragma once

#include <cstddef>

#include "base/simd.hpp"

namespace tarvik {

// (((-0.0 + values[0]) + values[1]) + ...); -0.0 for no values.
double ordered_sum(const double* values, std::size_t count);

// out[i] = ((0.0 + values[0]) + ...) + values[i]; out may not overlap values.
void running_sums(const double* values, std::size_t count, double* out);

// The same on the lanes of `isa`, which must be supported (the ones above take the widest).
double ordered_sum(Isa isa, const double* values, std::size_t count);
void running_sums(Isa isa, const double* values, std::size_t count, double* out);

}  // namespace tarvik
