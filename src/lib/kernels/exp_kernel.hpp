// An exponential over vector lanes that gives, lane for lane, the bits of the C library's `exp`.
//
// The C library (glibc 2.28 and later) writes x = k·ln2/128 + r with |r| <= ln2/256, looks 2^(k/128)
// up as a table entry for k mod 128 whose exponent bits receive k div 128, and evaluates
// exp(r) - 1 as a degree-5 polynomial: exp(x) = scale + scale·(tail + r + r²(c2 + r·c3) + r⁴(c4 + r·c5)).
// It is built twice and one build is chosen when the process starts: with fused multiply-adds where
// the compiler could contract (on processors with AVX2 and FMA), and without. The two differ in the
// last bit on about one input in two thousand, so both are written out here, the fused one with the
// fused multiply-adds spelled as intrinsics (the build never contracts on its own). Which one this
// process's library uses is found by a self-check at first use (`exp_choice`).
//
// Lanes outside the fast path (|x| >= 512, infinities, NaN) are handed to the library's `exp` one by
// one, so overflow, underflow and NaN results are the library's own; |x| < 2^-54 gives 1.0 + x, as
// the library returns there (zero is a common input, so this stays in the vector).
//
// The kernels are plain inline templates over a lane type; they reach the processor only through
// entry points marked with the lane type's target and [[gnu::flatten]], which inline everything
// they call, instruction-set helpers included.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "base/simd.hpp"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace tarvik {

enum class ExpForm { scalar, unfused, fused };

// The form and the lanes that give this process's library `exp`, bit for bit.
struct ExpChoice {
    ExpForm form;
    Isa isa;
};

// Checks each vector form against the library on a fixed probe set and keeps the first that agrees
// on every probe, widest lanes first; the scalar form when none does, or when the environment sets
// "TARVIK_SCALAR_EXP" to a non-empty value. Runs once per process, at the first call.
ExpChoice exp_choice();

// True when `choice` gives the library's bits on every probe.
bool agrees_with_library(ExpChoice choice);

// out[i] = exp(in[i]) for i < count, computed as `choice` says; in and out may be the same.
void exp_elements(ExpChoice choice, const double* in, double* out, std::size_t count);

namespace exp_detail {

// 2^(i/128) for i < 128 as pairs: the tail correction, then the bits of the rounded value less
// i << 45 (scripts/exp_table.py derives both and confirms that the library holds the same table).
extern const std::uint64_t table[256];

// The reduction constants and coefficients of the library's exp, read from its data (the values
// follow from the method: 128/ln2, ln2/128 split in a 42-bit head and a tail, and a minimax fit).
inline constexpr double inv_ln2_n = 0x1.71547652b82fep7;
inline constexpr double neg_ln2_hi_n = -0x1.62e42fefa0000p-8;
inline constexpr double neg_ln2_lo_n = -0x1.cf79abc9e3b3ap-47;
inline constexpr double shift = 0x1.8p52;  // adding it rounds to an integer held in the low bits
inline constexpr double c2 = 0x1.ffffffffffdbdp-2;
inline constexpr double c3 = 0x1.555555555543cp-3;
inline constexpr double c4 = 0x1.55555cf172b91p-5;
inline constexpr double c5 = 0x1.1111167a4d017p-7;

#if defined(__x86_64__)
// What the kernel needs of an instruction set beyond vector arithmetic: table lookups, fused
// multiply-adds and a test for any set lane. `look_up` reads the table pair of each lane's entry.
// Vectors come and go by reference: passed or returned by value between a function with the target
// and one without, a vector wider than 16 bytes changes the calling convention, which clang refuses
// even where the call is inlined.
struct Avx2Lanes {
    using Float = Vec4;
    using Int = Int4;
    using Bits = std::uint64_t __attribute__((vector_size(32)));
    // Four 16-byte loads of (tail, bits) pairs and a transpose cost less than two gathers.
    TARVIK_TARGET_AVX2 static void look_up(const Int& entry, Float& tail, Int& bits) {
        // Byte offsets of the pairs, scaled in the vector before the lanes are taken apart.
        const Int offset = entry << 4;
        alignas(32) std::int64_t at[4];
        std::memcpy(at, &offset, sizeof at);
        const auto pair = [](std::int64_t bytes) {
            return _mm_loadu_si128(reinterpret_cast<const __m128i*>(reinterpret_cast<const char*>(table) + bytes));
        };
        const __m256i low = _mm256_inserti128_si256(_mm256_castsi128_si256(pair(at[0])), pair(at[2]), 1);
        const __m256i high = _mm256_inserti128_si256(_mm256_castsi128_si256(pair(at[1])), pair(at[3]), 1);
        tail = Float(_mm256_unpacklo_epi64(low, high));
        bits = Int(_mm256_unpackhi_epi64(low, high));
    }
    TARVIK_TARGET_AVX2 static void fma(const Float& a, const Float& b, const Float& c, Float& result) {
        result = _mm256_fmadd_pd(a, b, c);
    }
    TARVIK_TARGET_AVX2 static bool any(const Int& mask) { return !_mm256_testz_si256(__m256i(mask), __m256i(mask)); }
};

struct Avx512Lanes {
    using Float = Vec8;
    using Int = Int8;
    using Bits = std::uint64_t __attribute__((vector_size(64)));
    // Eight 16-byte pair loads and a transpose cost less than two gathers here too.
    TARVIK_TARGET_AVX512 static void look_up(const Int& entry, Float& tail, Int& bits) {
        const Int offset = entry << 4;
        alignas(64) std::int64_t at[8];
        std::memcpy(at, &offset, sizeof at);
        __m512i low, high;
        four_pairs(at[0], at[2], at[4], at[6], low);
        four_pairs(at[1], at[3], at[5], at[7], high);
        // The unpack intrinsics start from an undefined vector, which gcc 12 warns of.
        tail = Float(__builtin_shufflevector(Int(low), Int(high), 0, 8, 2, 10, 4, 12, 6, 14));
        bits = __builtin_shufflevector(Int(low), Int(high), 1, 9, 3, 11, 5, 13, 7, 15);
    }
    // The table pairs at four byte offsets, one to each 16-byte quarter.
    TARVIK_TARGET_AVX512 static void four_pairs(std::int64_t a, std::int64_t b, std::int64_t c, std::int64_t d,
                                                __m512i& pairs) {
        const char* base = reinterpret_cast<const char*>(table);
        const auto pair = [base](std::int64_t bytes) { return reinterpret_cast<const __m128i*>(base + bytes); };
        pairs = _mm512_zextsi128_si512(_mm_loadu_si128(pair(a)));
        pairs = _mm512_inserti32x4(pairs, _mm_loadu_si128(pair(b)), 1);
        pairs = _mm512_inserti32x4(pairs, _mm_loadu_si128(pair(c)), 2);
        pairs = _mm512_inserti32x4(pairs, _mm_loadu_si128(pair(d)), 3);
    }
    TARVIK_TARGET_AVX512 static void fma(const Float& a, const Float& b, const Float& c, Float& result) {
        result = _mm512_fmadd_pd(a, b, c);
    }
    TARVIK_TARGET_AVX512 static bool any(const Int& mask) { return _mm512_test_epi64_mask(__m512i(mask), __m512i(mask)) != 0; }
};
#endif

template <class L, bool Fused>
inline typename L::Float multiply_add(typename L::Float a, typename L::Float b, typename L::Float c) {
    typename L::Float result;
    if constexpr (Fused)
        L::fma(a, b, c, result);
    else
        result = a * b + c;
    return result;
}

// The fast path for every lane, in the library's order of operations; meaningful where
// 2^-54 <= |x| < 512. The table index stays in range whatever x holds.
template <class L, bool Fused>
inline typename L::Float exp_fast(typename L::Float x) {
    using Float = typename L::Float;
    using Int = typename L::Int;
    const Float shifted = multiply_add<L, Fused>(Float{} + inv_ln2_n, x, Float{} + shift);
    const Int k = Int(shifted);
    const Float kd = shifted - shift;
    const Float r = multiply_add<L, Fused>(kd, Float{} + neg_ln2_lo_n,
                                           multiply_add<L, Fused>(kd, Float{} + neg_ln2_hi_n, x));
    Float tail;
    Int bits;
    const Int entry = k & 127;
    L::look_up(entry, tail, bits);
    // Adding k's high bits to the exponent field is arithmetic modulo 2^64, as in the library; in
    // unsigned lanes it is defined for the lanes the caller replaces, too.
    using Bits = typename L::Bits;
    const Float scale = Float(Bits(bits) + (Bits(k) << 45));
    const Float r2 = r * r;
    const Float low = multiply_add<L, Fused>(r2, multiply_add<L, Fused>(r, Float{} + c3, Float{} + c2), tail + r);
    const Float poly = multiply_add<L, Fused>(r2 * r2, multiply_add<L, Fused>(r, Float{} + c5, Float{} + c4), low);
    return multiply_add<L, Fused>(scale, poly, scale);
}

// exp of every lane, the library's bits, except lanes with |x| >= 512, an infinity or a NaN, for
// which `large` is set: the caller evaluates those with the library's exp, one by one. Comparing the
// bits without the sign as integers orders them as the magnitudes, NaNs above infinity.
template <class L, bool Fused>
inline typename L::Float exp_lanes(typename L::Float x, bool& large) {
    using Int = typename L::Int;
    const Int magnitude = Int(x) & INT64_MAX;
    const Int beyond = magnitude >= 0x4080000000000000;  // the bits of 512.0
    large = L::any(beyond);
    const Int tiny = magnitude < 0x3c90000000000000;   // the bits of 0x1p-54
    return tiny ? 1.0 + x : exp_fast<L, Fused>(x);
}

// True where the fast path of `exp_lanes` does not hold.
inline bool exp_is_large(double x) { return !(std::fabs(x) < 512.0); }

// out[i] = rule(in[i]) for a rule that is `finish` applied to exp of in[i] (of -in[i] when
// `Negated`), lanes at a time; `element` is the whole rule for one element, on the library's exp,
// for the lanes `exp_lanes` leaves to the library.
template <class L, bool Fused, bool Negated, class Finish, class Element>
inline void map_exp(const double* in, double* out, std::size_t count, Finish finish, Element element) {
    using Float = typename L::Float;
    constexpr std::size_t width = lanes<Float>;
    for (std::size_t i = 0; i < count; i += width) {
        const std::size_t present = std::min(width, count - i);
        const Float x = load_partial<Float>(in + i, present);
        bool large;
        store_partial(out + i, finish(exp_lanes<L, Fused>(Negated ? -x : x, large)), present);
        if (large) [[unlikely]]
            for (std::size_t w = 0; w < present; ++w)
                if (exp_is_large(in[i + w])) out[i + w] = element(in[i + w]);
    }
}

}  // namespace exp_detail

#if defined(__x86_64__)
// The vector entry points: each carries its lanes' target and inlines the whole kernel loop.
template <class Kernel, bool Fused, class... Args>
[[gnu::flatten]] TARVIK_TARGET_AVX2 auto run_avx2(Args... args) {
    return Kernel::template run<exp_detail::Avx2Lanes, Fused>(args...);
}

template <class Kernel, bool Fused, class... Args>
[[gnu::flatten]] TARVIK_TARGET_AVX512 auto run_avx512(Args... args) {
    return Kernel::template run<exp_detail::Avx512Lanes, Fused>(args...);
}
#endif

// Runs `Kernel::run<Lanes, Fused>(args...)` on the lanes and form of `choice`, or
// `Kernel::scalar(args...)` for the scalar form.
template <class Kernel, class... Args>
auto with_exp([[maybe_unused]] ExpChoice choice, Args... args) {
#if defined(__x86_64__)
    if (choice.form != ExpForm::scalar) {
        const bool fused = choice.form == ExpForm::fused;
        if (choice.isa == Isa::avx512)
            return fused ? run_avx512<Kernel, true>(args...) : run_avx512<Kernel, false>(args...);
        if (choice.isa == Isa::avx2)
            return fused ? run_avx2<Kernel, true>(args...) : run_avx2<Kernel, false>(args...);
    }
#endif
    return Kernel::scalar(args...);
}

}  // namespace tarvik
