// The vector types the kernels are written in, and the one run-time choice of instruction set.
//
// Kernels are templates over a vector type, instantiated once per instruction set inside functions
// marked TARVIK_TARGET_AVX2 or TARVIK_TARGET_AVX512 and chosen by `widest_isa()`; no ifunc and no
// target_clones, so every dispatch is an ordinary branch any tool can follow. Without x86-64 only
// the portable builds exist.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <utility>

namespace tarvik {

// Loads and stores go through memcpy, so these need no alignment in memory.
typedef double Vec2 __attribute__((vector_size(16)));
typedef double Vec4 __attribute__((vector_size(32)));
typedef double Vec8 __attribute__((vector_size(64)));
// Lane masks of comparisons between those, and 64-bit integer lanes of the same widths.
typedef std::int64_t Int2 __attribute__((vector_size(16)));
typedef std::int64_t Int4 __attribute__((vector_size(32)));
typedef std::int64_t Int8 __attribute__((vector_size(64)));
// Unsigned 64-bit lanes, for integer sums that may wrap.
typedef std::uint64_t UInt4 __attribute__((vector_size(32)));
typedef std::uint64_t UInt8 __attribute__((vector_size(64)));

template <class V>
inline constexpr std::size_t lanes = sizeof(V) / sizeof(double);

template <class V>
[[gnu::always_inline]] inline V load(const double* from) {
    V vector;
    std::memcpy(&vector, from, sizeof(V));
    return vector;
}

template <class V>
[[gnu::always_inline]] inline void store(double* to, V vector) {
    std::memcpy(to, &vector, sizeof(V));
}

// The first `count` lanes from memory and zeros after them; for the end of a run.
template <class V>
[[gnu::always_inline]] inline V load_partial(const double* from, std::size_t count) {
    if (count == lanes<V>) return load<V>(from);
    V vector{};
    std::memcpy(&vector, from, count * sizeof(double));
    return vector;
}

template <class V>
[[gnu::always_inline]] inline void store_partial(double* to, V vector, std::size_t count) {
    if (count == lanes<V>) return store(to, vector);
    std::memcpy(to, &vector, count * sizeof(double));
}

template <class V, std::size_t... Lane>
[[gnu::always_inline]] inline V first_lane_everywhere(const V& vector, std::index_sequence<Lane...>) {
    return __builtin_shufflevector(vector, vector, (Lane * 0)...);
}

// One shuffle of the first lane: written lane by lane, gcc's -O3 builds the vector with a chain of
// masked broadcasts, each waiting for the one before.
template <class V>
[[gnu::always_inline]] inline V broadcast(double value) {
    V vector{};
    vector[0] = value;
    return first_lane_everywhere(vector, std::make_index_sequence<lanes<V>>{});
}

// `avx2` stands for AVX2 together with FMA (every processor with the one has the other), so a kernel
// built for it may use either; `avx512` for AVX-512F with AVX-512DQ (every processor with AVX-512
// but the Xeon Phi has both).
enum class Isa { portable, avx2, avx512 };

bool isa_supported(Isa isa);

// The widest supported set, found once per process.
Isa widest_isa();

// Whether kernels that stream through memory should ask for their data ahead of the core's own
// prefetching: on Intel's cores a single stream from memory stays well short of the bandwidth
// without it, on AMD's the requests only cost time. Found once per process.
bool prefetch_pays();

// How many cycles one dependent addition of doubles takes, measured against dependent integer
// additions (one cycle on every core): two on some cores, three or four on others, which decides
// whether adding four lanes at a time beats the plain loop. Found once per process; it only ever
// chooses between ways of computing the same bits.
double addition_cycles();

}  // namespace tarvik

#if defined(__x86_64__)
#define TARVIK_TARGET_AVX2 __attribute__((target("avx2,fma")))
#define TARVIK_TARGET_AVX512 __attribute__((target("avx512f,avx512dq")))
#else
#define TARVIK_TARGET_AVX2
#define TARVIK_TARGET_AVX512
#endif
