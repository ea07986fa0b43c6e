// The native matrix product's kernel: blocked for registers and caches, yet every output element is
// formed exactly as a plain triple loop forms it.
#pragma once

#include <cstdint>

#include "base/simd.hpp"

namespace tarvik {

// Adds a·b to c, where a is m×k, b is k×n and c is m×n, all dense and row-major. Each c(i, j)
// receives the products a(i, l)·b(l, j) in ascending l, each rounded before it is added (never a
// fused multiply-add), so a c that starts at +0.0 ends with exactly the triple loop's result.
// Runs on the calling thread. `isa` must be supported.
void multiply_accumulate(Isa isa, const double* a, const double* b, double* c, std::uint64_t m,
                         std::uint64_t k, std::uint64_t n);

}  // namespace tarvik
