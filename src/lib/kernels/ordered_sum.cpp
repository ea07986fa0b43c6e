#include "kernels/ordered_sum.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "base/simd.hpp"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace tarvik {

namespace {

// How far ahead, in elements, the kernels ask for the values they will read (and for the lines of
// the running sums they will write), where `prefetch_pays`: the core's own prefetching leaves a
// single stream from memory well short of the bandwidth there.
constexpr std::size_t ahead = 1024;
// The sums also ask for their values into the second-level cache from four times as far. A request
// into the first level that has to go to memory holds one of its few line buffers all the way, and
// the 512-bit sums, which consume a line every few cycles, then streamed no faster than the plain
// loop; with the lines already on their way to the second level, such a request is short. The
// running sums, whose stores are half their traffic, lost a little by it and do not ask.
constexpr std::size_t far_ahead = 4 * ahead;

// Asks, if Ahead, for the cache lines of `count` elements from `ahead` elements past `at` (and, if
// Far, from `far_ahead`), one request per line. The address is formed as an integer: it may lie
// past the end of the array, where no pointer may point, and a prefetch never faults.
template <bool Ahead, bool Write = false, bool Far = false>
inline void prefetch_ahead(const double* at, std::size_t count) {
    if constexpr (!Ahead) return;
    constexpr std::size_t line = 64;
    const std::uintptr_t near = reinterpret_cast<std::uintptr_t>(at) + ahead * sizeof(double);
    const std::uintptr_t far = reinterpret_cast<std::uintptr_t>(at) + far_ahead * sizeof(double);
    for (std::size_t offset = 0; offset < count * sizeof(double); offset += line) {
        __builtin_prefetch(reinterpret_cast<const void*>(near + offset), Write ? 1 : 0);
        if constexpr (Far) __builtin_prefetch(reinterpret_cast<const void*>(far + offset), 0, 2);
    }
}

// Whether one dependent addition takes about two cycles, which makes the plain loop fast enough to
// change which kernels pay.
inline bool quick_additions() { return addition_cycles() < 2.5; }

// kernel(std::true_type) where asking ahead pays, kernel(std::false_type) elsewhere.
template <class Kernel>
auto as_the_core_prefers(const Kernel& kernel) {
    return prefetch_pays() ? kernel(std::true_type{}) : kernel(std::false_type{});
}

// The reference order, and the path for everything the grid below does not cover. `largest`, where
// given, receives the largest |x| added, for the tests of room. It is found on four chains, beside
// the chain of additions: a maximum can take longer than an addition (twice as long on some cores),
// and a single chain of them would hold the additions back.
template <bool Running, bool Ahead>
double plain(double total, const double* values, std::size_t count, double* out, double* largest = nullptr) {
    double widest[4] = {};
    const auto add = [&](std::size_t i, std::size_t chain) {
        total += values[i];
        if constexpr (Running) out[i] = total;
        widest[chain] = std::max(widest[chain], std::fabs(values[i]));
    };
    std::size_t i = 0;
    for (; i + 4 <= count; i += 4) {
        prefetch_ahead<Ahead, false, !Running>(values + i, 4);
        if constexpr (Running) prefetch_ahead<Ahead, true>(out + i, 4);
        add(i, 0);
        add(i + 1, 1);
        add(i + 2, 2);
        add(i + 3, 3);
    }
    for (; i < count; ++i) add(i, 0);
    if (largest != nullptr) *largest = std::max(std::max(widest[0], widest[1]), std::max(widest[2], widest[3]));
    return total;
}

#if defined(__x86_64__)

// Why a run of additions can be done as integer additions, with the same bits.
//
// Let the running sum s be finite, nonzero, with |s| in the binade [2^e, 2^(e+1)), and let
// u = 2^(e-52): the doubles of that binade are exactly N·u for integers N in [2^52, 2^53), and
// |s| = N_s·u. Rounding to nearest is symmetric in sign, so fl(s + x) = sign(s)·fl(|s| + sign(s)·x);
// the sign is folded into the scale, t = x·sign(s)·2^(52-e), and from here on s > 0.
// - The scaling is by a power of two, so t = x/u exactly unless it overflows (then the run stops,
//   below) or underflows (then |t| < 2^-1022: x is far below half a unit, it leaves s
//   unchanged, and so does n = 0 below). Requiring |s| >= 2^-970 keeps the scale representable.
// - n = round-to-nearest-even(t), by the vector rounding instruction, by the conversion to
//   integers (AVX-512), or as (t + 1.5·2^52) - 1.5·2^52, valid for |t| < 2^51; the integer is also
//   read from the low bits of t + 1.5·2^52. Steps are only used where the tests below bound every
//   |t| and every partial sum; a NaN, an infinity or a huge t fails them. frac = t - n is exact (t
//   and n are within a factor of two, or n = 0).
// - Suppose N_k = N_s + n_1 + ... + n_k stays in [2^52 + 1, 2^53 - 1] (the guard). The exact sum
//   s + x is (N_{k-1} + t)·u, within u/2 of N_k·u, so it lies in [2^e + u/2, 2^(e+1) - u/2]: inside
//   the binade, where the doubles nearest to it are the grid points N_k·u and its neighbours. So
//   fl(s + x) = N_k·u exactly, unless t is a tie (|frac| = 1/2). The guard also rules out landing
//   exactly on 2^(e+1) (N = 2^53) and leaving the binade downwards, where the grid changes; there
//   the run stops and the plain loop takes the element.
// - At a tie the two candidates are N_{k-1} + n and N_{k-1} + n ± 1 and the even one wins (an even
//   significand is an even N). Rounding t itself to even made n even, so the step is n when N_{k-1}
//   is even, n ± 1 (towards t) when it is odd. Within a block of steps the parity of N_{k-1} is
//   the parity of N before the block XOR a prefix XOR of the steps' low bits; after a tie N is
//   even.
// - For the sum, running sums of the steps taken lane by lane bound all partial sums of a span
//   (`span_steps` says why), and each tie may move them by one more (the cheap test); when the
//   bounds do not keep N inside the guard, each chunk of the span is walked again as a span of its
//   own, from the exact sum before it, and the run stops before the first chunk whose bounds fail;
//   the plain loop takes it.
// - The running sums need every N_k, so they find them, a chunk at a time, by vector prefix sums
//   of the steps, the steps of ties settled first (a tie's step is fixed by the parity of N before
//   it, which the last partial sum and the odd steps since give), and hold the least and greatest
//   to the guard (the exact test). With every |n| < 2^50, each sum the prefix sums form is a run
//   of consecutive steps: up to the first N_k outside the guard, such a run is a difference of two
//   partial sums of which the earlier lies in [2^52, 2^53) and the later within 2^50 of it, so it
//   is an integer below 2^53 in magnitude and exact; that first N_k is then exact too, or rounds
//   to a value of at least 2^53, and the test refuses it either way. They store N_k·u with the
//   sign of s, exact for N_k in the binade. Where the test fails, the plain loop takes the chunk.
// - On AVX-512 the running sums are followed on the bits instead: inside the binade the bits of
//   N·u with the sign of s are the bits of s plus (N - N_s), an integer addition. The steps come from
//   the conversion to integers, which rounds to nearest even and is exact for every |t| < 2^63 (and
//   gives INT64_MIN otherwise, NaN and infinities included); n converted back is exact wherever
//   |n| < 2^53, so t - n is exact (above), and where it is not, the step leaves the guard. The prefix
//   sums of the steps, added to the bits of s, wrap modulo 2^64 but are otherwise exact, and each
//   running sum is tested against the guard as it is stored: while two neighbours P_(k-1) and P_k
//   both lie in it, they differ by less than 2^52, so step k (tie move included) is that true
//   difference and n = round(t) exactly, and P_k is the bits of N_k·u. So every running sum before
//   the first one outside the guard is right, and the plain loop goes on from there.
// - These runs on the bits widen the guard to [2^52 + 1, 2^53], so that it is one aligned range of
//   2^52 bit patterns and a single test covers a chunk. Landing exactly on N = 2^53 is exact: the
//   exact sum lies within u/2 of 2^(e+1), where the nearest double is 2^(e+1) itself, also at a
//   tie (2^53 is even), and the bits of s plus (2^53 - N_s) are those of 2^(e+1). From there a step
//   n <= -1 has t < -1/2, so the exact sum lies below 2^(e+1) - u/2, on the grid u again, and a step
//   n >= 1 leaves the guard. In the top binade 2^(e+1) is infinity, which no step leaves, so no run
//   starts there.
// - The sum after the run is N·u with the sign of s; N in [2^52, 2^53) makes its bits the bits of s
//   plus (N - N_s).
// - A nonzero s never turns into a zero on the grid (N > 2^52), so signed zeros only arise in the
//   plain loop: the start (-0.0 or +0.0), zero sums and what follows them until s is nonzero.
// All this holds under round to nearest with subnormals kept (no flush to zero), the process's
// floating-point environment.

// Adding it rounds t to an integer, in the low bits, for |t| < 2^51.
constexpr double magic = 0x1.8p52;

// What the kernel needs beyond vector arithmetic: the rounding of t, the lanes the cheap test's
// walks run on, the sign bits of the lanes, and the lanes where a comparison holds, as bit masks (a
// comparison's own vector result would be rebuilt lane by lane where AVX-512F lacks the
// instruction that turns a mask into a vector). Vectors come by reference:
// passed by value between a function with the target and one without, a vector wider than 16 bytes
// changes the calling convention, which clang refuses even where the call is inlined.
struct Avx2Lanes {
    using Float = Vec4;
    using Int = Int4;
    // The cheap test's lane walks add the rounded steps as doubles: AVX2 has no minimum or maximum
    // of 64-bit integers, which would take two instructions each.
    using Walk = Vec4;
    // n = round-to-nearest-even(t) in one instruction, where the two additions would take two of
    // the adders the kernels wait for.
    TARVIK_TARGET_AVX2 static void round(const Float& t, Float& n) {
        n = _mm256_round_pd(t, _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
    }
    TARVIK_TARGET_AVX2 static std::uint64_t signs(const Int& v) { return unsigned(_mm256_movemask_pd(__m256d(v))); }
    template <int Predicate>
    TARVIK_TARGET_AVX2 static std::uint64_t holds(const Float& a, const Float& b) {
        return unsigned(_mm256_movemask_pd(_mm256_cmp_pd(a, b, Predicate)));
    }
    // 1.0 in the lanes whose bit is set, 0.0 elsewhere.
    TARVIK_TARGET_AVX2 static void ones(std::uint64_t mask, Float& out) {
        const __m256i bits = _mm256_setr_epi64x(1, 2, 4, 8);
        const __m256i set = _mm256_cmpeq_epi64(_mm256_and_si256(_mm256_set1_epi64x(std::int64_t(mask)), bits), bits);
        out = _mm256_and_pd(_mm256_castsi256_pd(set), _mm256_set1_pd(1.0));
    }
};

struct Avx512Lanes {
    using Float = Vec8;
    using Int = Int8;
    // The cheap test's lane walks run on the integer lanes, off the floating-point adders.
    using Walk = UInt8;
    TARVIK_TARGET_AVX512 static std::uint64_t signs(const Int& v) {
        return _mm512_cmplt_epi64_mask(__m512i(v), _mm512_setzero_si512());
    }
    template <int Predicate>
    TARVIK_TARGET_AVX512 static std::uint64_t holds(const Float& a, const Float& b) {
        return _mm512_cmp_pd_mask(a, b, Predicate);
    }
};

// A set of lanes, and whether the kernels on them ask for their values ahead.
template <class Lanes, bool Ahead>
struct Tuned : Lanes {
    static constexpr bool ahead = Ahead;
};

// Elements checked together; 64 so that a chunk's parities and ties fit one word each.
constexpr std::size_t chunk = 64;
// Elements under one cheap test: the test is tried on four chunks at once, to spread its cost.
constexpr std::size_t span = 4 * chunk;
constexpr double spread_limit = 0x1p51;  // for the spread of the bounds on the steps tested together
constexpr double step_limit = 0x1p50;  // for each step under the exact test
constexpr std::int64_t grid_low = (std::int64_t{1} << 52) + 1;
constexpr std::int64_t grid_high = (std::int64_t{1} << 53) - 1;
constexpr std::int64_t magnitude_mask = INT64_MAX;

std::int64_t bits_of(double value) { return std::bit_cast<std::int64_t>(value); }

// The exponent field of a double's bits.
inline std::int64_t biased_exponent(double x) { return (bits_of(x) >> 52) & 0x7ff; }

// Finite, nonzero and at least 2^-970 in magnitude.
bool on_grid(double total) {
    const std::int64_t biased = biased_exponent(total);
    return biased >= 53 && biased < 0x7ff;
}

template <class V>
inline V magnitude(V v) {
    using Int = decltype(v < v);
    return V(Int(v) & magnitude_mask);
}

// A bit per lane for the odd steps, from t + magic (magic is even, so the low bit is n's).
template <class L>
inline std::uint64_t odd_steps(typename L::Float rounded) {
    return L::signs(typename L::Int(rounded) << 63);
}

// The lane walks of the cheap test, on the integer lanes or on the doubles, and the rounded steps of
// two vectors as they take them, with the larger |t - n| of each lane folded into `frac`. Integer
// walks add the steps from the conversion to integers and wrap around as they may; a step outside
// the conversion's range (NaN and infinities included) is INT64_MIN, and any step of 2^51 or more in
// magnitude moves its lane's walk that far, wrapped or not. Double walks add n itself, exact while
// the walk stays below 2^53; a step outside the rounding trick's range is also at least 2^51 in
// magnitude or infinite, and a NaN step makes the walk NaN from there on, which the bounds'
// comparisons skip: `unbounded` puts it back, being 0 for finite walks and NaN otherwise.
TARVIK_TARGET_AVX512 inline void walk_steps(const Vec8& t0, const Vec8& t1, UInt8& first, UInt8& second,
                                            Vec8& frac) {
    first = UInt8(_mm512_cvtpd_epi64(t0));
    second = UInt8(_mm512_cvtpd_epi64(t1));
    const __m512d off0 = _mm512_reduce_pd(t0, _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
    const __m512d off1 = _mm512_reduce_pd(t1, _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
    const Vec8 wider = _mm512_range_pd(off0, off1, 0b1011);  // max(|off0|, |off1|)
    frac = wider > frac ? wider : frac;
}

// (Not marked for AVX2: it passes vectors by value to `magnitude`, which has no target; the kernel it
// is inlined into has one.)
inline void walk_steps(const Vec4& t0, const Vec4& t1, Vec4& first, Vec4& second, Vec4& frac) {
    Avx2Lanes::round(t0, first);
    Avx2Lanes::round(t1, second);
    const Vec4 off0 = magnitude(t0 - first), off1 = magnitude(t1 - second);
    const Vec4 wider = off1 > off0 ? off1 : off0;
    frac = wider > frac ? wider : frac;
}

inline Int8 position(const UInt8& walk) { return Int8(walk); }
inline Vec4 position(const Vec4& walk) { return walk; }

// The sum of a vector's lanes, each taken as a T.
template <class T, class V>
inline T sum_of_lanes(const V& vector) {
    T total{};
    for (std::size_t lane = 0; lane < lanes<V>; ++lane) total += static_cast<T>(vector[lane]);
    return total;
}

// The sum of a vector's lanes as a double, halves first: lane by lane it would be a chain of seven
// additions.
inline double lanes_total(const Vec4& v) {
    const Vec2 half = __builtin_shufflevector(v, v, 0, 1) + __builtin_shufflevector(v, v, 2, 3);
    return half[0] + half[1];
}
inline double lanes_total(const Int8& v) {
    const Vec8 wide = __builtin_convertvector(v, Vec8);
    return lanes_total(Vec4(__builtin_shufflevector(wide, wide, 0, 1, 2, 3) +
                            __builtin_shufflevector(wide, wide, 4, 5, 6, 7)));
}

inline std::int64_t walk_total(const UInt8& walk) {
    return static_cast<std::int64_t>(sum_of_lanes<std::uint64_t>(walk));
}
inline std::int64_t walk_total(const Vec4& walk) { return static_cast<std::int64_t>(sum_of_lanes<double>(walk)); }
inline double unbounded(const UInt8&) { return 0.0; }
inline double unbounded(const Vec4& walk) { return sum_of_lanes<double>(walk - walk); }

// Bounds on the partial sums of the rounded steps of `span` elements, found lane by lane. Lane j of
// vectors of w lanes takes elements j, j + w, j + 2w, ..., and R_v[j] is the sum of its first v;
// then every partial sum of the span is a sum over the lanes of one R_v[j] each (R_(v+1)[j] for the
// lanes up to the element, R_v[j] after it), so it lies between the sum over the lanes of the least
// R_v[j] (R_0 = 0 included) and that of the greatest. (Fewer, longer walks give tighter bounds: the
// sum of w minima of walks of n/w steps grows as the root of w.) A step outside the rounding trick's
// range makes `most - least` at least 2^51 (or NaN), and otherwise the walks are exact. Also the
// lanes' walks at the end of each chunk (the chunk sums taken from them are used only where they are
// exact), and which chunks hold a tie (a largest |t - n| of 1/2; more where a t is outside the range,
// which the spread refuses). The bounds are summed as doubles, whose rounding keeps a spread of 2^51
// or more at least 2^51; below it, the least lanes are all at most 0 and the greatest at least 0, so
// their sums are exact in any order.
template <class L>
struct SpanSteps {
    double least, most;
    std::uint64_t tied;
    typename L::Walk ends[span / chunk];

    // The sum of the steps of the chunks before chunk c.
    std::int64_t sum_before(std::size_t c) const { return c == 0 ? 0 : walk_total(ends[c - 1]); }
};

// The same bounds for each chunk of a span walked as a span of its own, from 0: fewer steps, so
// tighter bounds (by about the root of four), for a span that fails as a whole.
struct ChunkBounds {
    double least[span / chunk], most[span / chunk];
};

// The walks take two vectors at a time, adding the pair's steps to the walk in one addition and
// taking the position between from the first's: a floating-point addition takes several cycles, and
// this halves the chain of them that each span waits for. The positions are the same: exactly on
// integer walks, and on double walks wherever those are exact; elsewhere a step outside the range
// still moves the position past it or the position after it by at least 2^51. With ByChunk, the
// bounds of each chunk on its own go to `bounds` (the span's are then those of its last chunk).
template <class L, bool ByChunk = false>
inline SpanSteps<L> span_steps(const double* values, typename L::Float scale, ChunkBounds* bounds = nullptr) {
    using Float = typename L::Float;
    using Walk = typename L::Walk;
    using Position = decltype(position(Walk{}));
    constexpr std::size_t width = lanes<Float>;
    const Float half = broadcast<Float>(0.5);
    Walk walk{};
    Position least{}, most{};
    SpanSteps<L> steps{0.0, 0.0, 0, {}};
    for (std::size_t c = 0; c < span / chunk; ++c) {
        if constexpr (ByChunk) walk = Walk{}, least = most = Position{};
        Float frac{};
#pragma GCC unroll 1
        for (std::size_t v = c * chunk; v < (c + 1) * chunk; v += 2 * width) {
            prefetch_ahead<L::ahead, false, true>(values + v, 2 * width);
            const Float t0 = load<Float>(values + v) * scale, t1 = load<Float>(values + v + width) * scale;
            Walk first, second;
            walk_steps(t0, t1, first, second, frac);
            const Walk both = first + second;
            const Position middle = position(walk + first);
            walk += both;
            const Position at = position(walk);
            // One step of each chain of minima and maxima per pair: on doubles, a maximum can take
            // twice as long as the addition of the walk.
            const Position lower = at < middle ? at : middle, upper = at > middle ? at : middle;
            least = lower < least ? lower : least;
            most = upper > most ? upper : most;
        }
        steps.tied |= std::uint64_t(L::template holds<_CMP_NLT_UQ>(frac, half) != 0) << c;
        steps.ends[c] = walk;
        if constexpr (ByChunk) {
            bounds->least[c] = lanes_total(least);
            bounds->most[c] = lanes_total(most) + unbounded(walk);
        }
    }
    steps.least = lanes_total(least);
    steps.most = lanes_total(most) + unbounded(walk);
    return steps;
}

// The ties whose step is n + 1 (up) or n - 1 (down), among `Bits` steps with a bit each for odd
// steps, for ties and for t above n, given the parity of N before them.
struct TieSteps {
    std::uint64_t up = 0, down = 0;
};

template <int Bits>
inline TieSteps resolve_ties(std::uint64_t odd, std::uint64_t tie, std::uint64_t above, std::uint64_t parity) {
    // Bit k: the parity of N after step k if N was even at the start and no tie moved; a tie's own
    // n is even, so at a tie it is also the parity before it.
    std::uint64_t after = odd;
    for (int by = 1; by < Bits; by *= 2) after ^= after << by;
    // A tie moves when N before it is odd. N is even after every tie, so from the second tie on that
    // parity is `after` there against `after` at the tie before. Each tie's bit is carried to the
    // next tie by an addition: a carry entering just past a tie runs through the ones of ~tie (the
    // steps between) and stops at the next tie, the first zero.
    const std::uint64_t between = ~tie;
    const std::uint64_t before = ((between + ((after & tie) << 1)) ^ between) & tie;
    // An odd N at the start flips `after` everywhere, which only the first tie's move sees; applied
    // last, so that the rest does not wait for N.
    const std::uint64_t moves = (tie & (after ^ before)) ^ (tie & (0 - tie) & (0 - parity));
    return {moves & above, moves & ~above};
}

// For a chunk with ties under the cheap test: a bit per element for odd steps, for ties and for t
// above n.
struct ChunkWords {
    std::uint64_t odd, tie, above;
};

template <class L>
inline ChunkWords tie_words(const double* values, typename L::Float scale) {
    using Float = typename L::Float;
    const Float half = broadcast<Float>(0.5);
    ChunkWords words{0, 0, 0};
    for (std::size_t v = 0; v < chunk; v += lanes<Float>) {
        const Float t = load<Float>(values + v) * scale;
        const Float rounded = t + magic;
        const Float n = rounded - magic;
        words.odd |= odd_steps<L>(rounded) << v;
        words.tie |= L::template holds<_CMP_EQ_OQ>(magnitude(t - n), half) << v;
        words.above |= L::template holds<_CMP_GT_OQ>(t, n) << v;
    }
    return words;
}

// Inclusive prefix sums of the lanes, and the last lane in every lane (for the AVX2 running sums).
inline Vec4 prefix_sums(Vec4 v) {
    const Vec4 zero{};
    v += __builtin_shufflevector(zero, v, 0, 4, 5, 6);
    return v + __builtin_shufflevector(zero, v, 0, 1, 4, 5);
}

inline Vec4 last_lane(Vec4 v) { return __builtin_shufflevector(v, v, 3, 3, 3, 3); }

// The grid of the binade of a running sum that `on_grid` accepted: N with |total| = N·u, the bits
// that N is added to, and the scale 2^(52-e)·sign(total) that puts the grid on the integers.
struct Grid {
    std::int64_t N, base;
    double scale;
    explicit Grid(double total) {
        const std::int64_t bits = bits_of(total);
        N = (bits & ((std::int64_t{1} << 52) - 1)) | (std::int64_t{1} << 52);
        base = bits - N;
        scale = std::bit_cast<double>((bits & INT64_MIN) | ((2098 - biased_exponent(total)) << 52));
    }
    // The running sum N·u with its sign.
    double total() const { return std::bit_cast<double>(base + N); }
};

// One chunk of the running sums under the exact test, from N at its start (in every lane: it stays a
// vector from chunk to chunk, so that the chain of partial sums does not pass through an integer
// register), on the grid of `scale` and `unit` = 1/scale: stores N_k·u with the sign of s to `out`
// and returns true with N the sum after the chunk, or returns false, with `out` partly written, when
// the chunk leaves the guard or holds a step the rounding trick does not cover.
template <class L>
inline bool exact_chunk(typename L::Float& N, typename L::Float scale, double unit, const double* values, double* out) {
    using Float = typename L::Float;
    using Int = typename L::Int;
    constexpr std::size_t width = lanes<Float>;
    // The greatest partial sum and the largest step are followed on the bits, by integer compares
    // and ors: a minimum or maximum of doubles takes one of two ports on Zen 4, which this loop is
    // short of. The bits of positive partial sums, or-ed together, stay below the bits of 2^53
    // exactly when each sum does.
    const Int half_bits = Int(broadcast<Float>(0.5)), step_limit_bits = Int(broadcast<Float>(step_limit));
    Float carry = N, least = carry;
    Int bits_seen = Int(carry), large_steps{};
    // Settling ties costs more than the plain loop where they come at every few steps: such
    // chunks are left to it.
    std::size_t tied_vectors = 0;
    for (std::size_t v = 0; v < chunk; v += width) {
        prefetch_ahead<L::ahead>(values + v, width);
        prefetch_ahead<L::ahead, true>(out + v, width);
        const Float t = load<Float>(values + v) * scale;
        Float n;
        L::round(t, n);
        large_steps |= Int(magnitude(n)) >= step_limit_bits;
        const std::uint64_t tie = L::signs(Int(magnitude(t - n)) == half_bits);
        if (tie != 0) {
            if (++tied_vectors > chunk / width / 4) return false;
            // N before the vector is the last partial sum, an integer in [2^52, 2^53) wherever the
            // chunk passes, so its parity is the low bit of its significand.
            const std::uint64_t parity = std::uint64_t(std::bit_cast<std::int64_t>(carry[0]) & 1);
            const std::uint64_t above = L::template holds<_CMP_GT_OQ>(t, n);
            const TieSteps moved = resolve_ties<width>(odd_steps<L>(t + magic), tie, above, parity);
            Float up, down;
            L::ones(moved.up, up);
            L::ones(moved.down, down);
            n = n + up - down;
        }
        const Float local = prefix_sums(n);
        const Float partial = local + carry;
        carry += last_lane(local);
        least = partial < least ? partial : least;
        bits_seen |= Int(partial);
        store(out + v, partial * unit);
    }
    // The tests lane by lane, so that a chunk needs no sums across lanes. Steps below 2^50 in
    // magnitude keep every t in the rounding trick's range; a NaN or an infinite t makes its step
    // NaN or infinite, which the comparisons skip or refuse, and the last partial sums keep a NaN.
    // A partial sum of 2^53 or more, infinite or NaN makes the bits seen 2^53 or more, or NaN, as a
    // double; a negative one (below the guard anyway) sets their sign, which the least refuses.
    const std::uint64_t refused = L::template holds<_CMP_LT_OQ>(least, broadcast<Float>(grid_low)) |
                                  L::template holds<_CMP_NLT_UQ>(Float(bits_seen), broadcast<Float>(0x1p53)) |
                                  L::signs(large_steps) |
                                  L::template holds<_CMP_UNORD_Q>(carry, carry);
    if (refused != 0) return false;
    N = carry;
    return true;
}

// Chunks of the running sums under the exact test from `total`, which `on_grid` accepted, while
// they pass: returns how many elements were added, with total the sum after them and out[i] the
// running sum at each.
template <class L>
inline std::size_t exact_run(double& total, const double* values, std::size_t count, double* out) {
    Grid grid(total);
    using Float = typename L::Float;
    const Float scale = broadcast<Float>(grid.scale);
    const double unit = 1.0 / grid.scale;  // a power of two, with the sign of s
    Float N = broadcast<Float>(static_cast<double>(grid.N));
    std::size_t done = 0;
    for (; count - done >= chunk; done += chunk)
        if (!exact_chunk<L>(N, scale, unit, values + done, out + done)) break;
    grid.N = static_cast<std::int64_t>(N[0]);
    total = grid.total();
    return done;
}

// The running sums on AVX-512, on the bits of the sums (the argument above says why they are
// exact), a chunk at a time. The shuffles and the shift take the masked forms with every lane
// kept: gcc 12 warns of the plain ones.
[[gnu::always_inline]] TARVIK_TARGET_AVX512 inline __m512i prefix_sums_of(__m512i v) {
    const __m512i zero = _mm512_setzero_si512();
    const __mmask8 all = 0xff;
    v = _mm512_add_epi64(v, _mm512_maskz_alignr_epi64(all, v, zero, 7));
    v = _mm512_add_epi64(v, _mm512_maskz_alignr_epi64(all, v, zero, 6));
    return _mm512_add_epi64(v, _mm512_maskz_alignr_epi64(all, v, zero, 4));
}

[[gnu::always_inline]] TARVIK_TARGET_AVX512 inline __m512i last_lane(__m512i v) {
    return _mm512_maskz_permutexvar_epi64(0xff, _mm512_set1_epi64(7), v);
}

// The parity of the sum of the lanes.
[[gnu::always_inline]] TARVIK_TARGET_AVX512 inline std::uint64_t parity_of(__m512i v) {
    return std::uint64_t(std::popcount(unsigned(_mm512_test_epi64_mask(v, _mm512_set1_epi64(1)))) & 1);
}

// The lanes whose bits lie outside [low, high], as unsigned integers.
[[gnu::always_inline]] TARVIK_TARGET_AVX512 inline std::uint64_t outside(__m512i v, __m512i low, __m512i high) {
    return _mm512_cmplt_epu64_mask(v, low) | _mm512_cmpgt_epu64_mask(v, high);
}

constexpr int chunk_vectors = chunk / 8;

// Moves the steps of a chunk's ties to the even neighbour, given the parity of N before the chunk,
// and sets `parity` to that after it. `offs` holds t - n: a tie's is exactly +1/2 or -1/2.
[[gnu::always_inline]] TARVIK_TARGET_AVX512 inline void settle_ties(__m512i (&steps)[chunk_vectors],
                                                                     const __m512d (&offs)[chunk_vectors],
                                                                     std::uint64_t& parity) {
    const __m512i one = _mm512_set1_epi64(1);
    const __m512i half = _mm512_set1_epi64(bits_of(0.5)), magnitude_bits = _mm512_set1_epi64(magnitude_mask);
    std::uint64_t tie = 0, odd = 0;
    for (int v = 0; v < chunk_vectors; ++v) {
        const __m512i off = _mm512_and_si512(_mm512_castpd_si512(offs[v]), magnitude_bits);
        tie |= std::uint64_t(_mm512_cmpeq_epi64_mask(off, half)) << 8 * v;
        odd |= std::uint64_t(_mm512_test_epi64_mask(steps[v], one)) << 8 * v;
    }
    // Which way a tie moves is the sign of t - n, taken when its step is moved; all count as up here.
    const std::uint64_t moved = resolve_ties<64>(odd, tie, ~std::uint64_t{0}, parity).up;
    // Each odd step and each tie moved changes the parity of N.
    parity ^= std::uint64_t(std::popcount(odd ^ moved)) & 1;
    for (int v = 0; v < chunk_vectors; ++v) {
        // -1 where t - n is +1/2, +1 where it is -1/2: subtracted, it moves the step away from n.
        const __m512i minus_away =
            _mm512_ternarylogic_epi64(_mm512_maskz_srai_epi64(0xff, _mm512_castpd_si512(offs[v]), 63), one, one, 0xaf);
        steps[v] = _mm512_mask_sub_epi64(steps[v], __mmask8(moved >> 8 * v), steps[v], minus_away);
    }
}

// Running sums from `total`, which `on_grid` accepted, while they stay inside the guard: returns how
// many were stored right, with total the last of them. A chunk at a time: one test says whether it
// holds a tie, and only then are its ties settled, all at once. Where ties are dense nearly every
// chunk holds one and the branch is predicted, where a branch per pair of vectors would miss at
// every other pair. One more test holds all its sums to the guard.
template <bool Ahead>
[[gnu::flatten]] TARVIK_TARGET_AVX512 std::size_t bits_run(double& total, const double* values, std::size_t count,
                                                            double* out) {
    // In the top binade the guard's top, 2^(e+1), is infinity.
    if (biased_exponent(total) == 0x7fe) return 0;
    const Grid grid(total);
    const __m512d scale = _mm512_set1_pd(grid.scale);
    // The sums minus `low` lie in [0, 2^52) exactly inside the guard: an or of them all shows any
    // that does not.
    const __m512i low = _mm512_set1_epi64(grid.base + grid_low);
    const __m512i beyond = _mm512_set1_epi64(-(std::int64_t{1} << 52));
    __m512i carry = _mm512_set1_epi64(bits_of(total));
    // The parity of N is followed without waiting for the sums: it is `known` after the last chunk
    // with a tie, and the low bits of the steps since, summed by exclusive or, say how it changed.
    std::uint64_t known = std::uint64_t(grid.N & 1);
    __m512i odd_since = _mm512_setzero_si512();
    std::size_t done = 0;
    for (; count - done >= chunk; done += chunk) {
        prefetch_ahead<Ahead>(values + done, chunk);
        prefetch_ahead<Ahead, true>(out + done, chunk);
        __m512i steps[chunk_vectors];
        __m512d offs[chunk_vectors];
        for (int v = 0; v < chunk_vectors; ++v) {
            const __m512d t = _mm512_mul_pd(_mm512_loadu_pd(values + done + 8 * v), scale);
            steps[v] = _mm512_cvtpd_epi64(t);
            offs[v] = _mm512_sub_pd(t, _mm512_cvtepi64_pd(steps[v]));
        }
        // The largest |t - n| of each lane. A NaN or infinite t, whichever path it takes, has a
        // step that leaves the guard.
        __m512d widest = _mm512_range_pd(offs[0], offs[1], 0b1011);
        for (int v = 2; v < chunk_vectors; v += 2)
            widest = _mm512_range_pd(widest, _mm512_range_pd(offs[v], offs[v + 1], 0b1011), 0b1011);
        if (_mm512_cmp_pd_mask(widest, _mm512_set1_pd(0.5), _CMP_NLT_UQ) != 0) {
            known ^= parity_of(odd_since);
            odd_since = _mm512_setzero_si512();
            settle_ties(steps, offs, known);
        } else {
            for (int v = 0; v < chunk_vectors; v += 2)
                odd_since = _mm512_ternarylogic_epi64(odd_since, steps[v], steps[v + 1], 0x96);
        }
        __m512i stray = _mm512_setzero_si512();
        for (int v = 0; v < chunk_vectors; ++v) {
            const __m512i local = prefix_sums_of(steps[v]);
            const __m512i sums = _mm512_add_epi64(local, carry);
            carry = _mm512_add_epi64(carry, last_lane(local));
            _mm512_storeu_si512(out + done + 8 * v, sums);
            stray = _mm512_or_si512(stray, _mm512_sub_epi64(sums, low));
        }
        if (_mm512_test_epi64_mask(stray, beyond) != 0) {
            const __m512i high = _mm512_set1_epi64(grid.base + grid_high + 1);
            std::uint64_t left = 0;
            for (int v = 0; v < chunk_vectors; ++v)
                left |= outside(_mm512_loadu_si512(out + done + 8 * v), low, high) << 8 * v;
            done += static_cast<std::size_t>(std::countr_zero(left));
            break;
        }
    }
    if (done != 0) total = out[done - 1];
    return done;
}

// As many spans as stay on the grid of `total`'s binade, which `on_grid` accepted, by the cheap
// test: returns how many elements were added, with total the sum after them. The run stops in the
// first span that fails the test, after the chunks of it that pass on their own. Following the
// partial sums exactly would find where inside a chunk the sum leaves the binade, but costs about
// as much as the plain loop. `reach` is set to how far, in value, the bounds of the last span
// tested reached on the farther side, which says how much room the next run needs.
template <class L>
inline std::size_t grid_run(double& total, const double* values, std::size_t count, double& reach) {
    Grid grid(total);
    std::int64_t& N = grid.N;
    const double scale_value = grid.scale;
    const auto scale = broadcast<typename L::Float>(scale_value);
    std::size_t done = 0;
    for (; count - done >= span; done += span) {
        const double* const x = values + done;
        const SpanSteps<L> steps = span_steps<L>(x, scale);
        reach = std::max(steps.most, -steps.least) / std::fabs(scale_value);
        // Each tie may move the partial sums by one more.
        const std::int64_t slack = steps.tied == 0 ? 0 : std::int64_t{span};
        // Whether bounds on the steps from N = `from` keep the sums inside the guard. A spread
        // below 2^51 keeps every |t| in the rounding trick's range and every |R| below 2^51, so
        // the bounds and the sum are exact.
        const auto fits = [&](std::int64_t from, double least, double most) {
            return most - least < spread_limit && from + std::int64_t(least) - slack >= grid_low &&
                   from + std::int64_t(most) + slack <= grid_high;
        };
        // N after the first `chunks` chunks. The ties of each chunk that holds some move N by one
        // each where N before them is odd; N before the chunk is the rounded steps' sum so far and
        // the moves of the chunks before.
        const auto advance = [&](std::size_t chunks) {
            std::int64_t moves = 0;
            for (std::uint64_t tied = steps.tied & ((std::uint64_t{1} << chunks) - 1); tied != 0; tied &= tied - 1) {
                const auto c = static_cast<std::size_t>(std::countr_zero(tied));
                const std::int64_t before = N + moves + steps.sum_before(c);
                const ChunkWords words = tie_words<L>(x + c * chunk, scale);
                const TieSteps moved = resolve_ties<64>(words.odd, words.tie, words.above, std::uint64_t(before & 1));
                moves += std::popcount(moved.up) - std::popcount(moved.down);
            }
            N += steps.sum_before(chunks) + moves;
        };
        if (!fits(N, steps.least, steps.most)) {
            // The sum before chunk c is N plus the steps of the chunks before, whose ties the slack
            // covers. Those chunks passed, each with a spread below 2^51, so the magnitudes of the
            // lanes' walks after them add up to less than 3 x 2^51, and their total is exact.
            ChunkBounds bounds;
            span_steps<L, true>(x, scale, &bounds);
            std::size_t chunks = 0;
            while (chunks < span / chunk &&
                   fits(N + steps.sum_before(chunks), bounds.least[chunks], bounds.most[chunks]))
                ++chunks;
            if (chunks < span / chunk) {
                advance(chunks);
                done += chunks * chunk;
                break;
            }
        }
        advance(span / chunk);
    }
    total = grid.total();
    return done;
}

// The distance from |total| to the nearer edge of its binade (exact: both differences are).
double room(double total) {
    const double size = std::fabs(total);
    const double low = std::bit_cast<double>(bits_of(size) & (std::int64_t{0x7ff} << 52));
    return std::min(size - low, 2.0 * low - size);
}

// Below this length the grid's setup is not paid back; the plain loop does it all.
constexpr std::size_t shortest = 2048;

// How far a run is expected to carry the sum, in units of the largest |x| of the plain stretch
// before it: a random walk of a span's steps seldom goes further.
constexpr double expected_reach = 16.0;

// Grid runs wherever the running sum allows, the plain loop elsewhere. A run is only tried where
// the room left in the binade on either side exceeds the reach of the last span tested (data that
// moves more than the room would fail the test, at a cost). After a run that got less than a span
// done, the plain loop takes the next 64 elements (the sum has usually just crossed into the next
// binade), twice as many after each such run in a row (up to 2048), so data the grid does not fit
// costs little more than the plain loop. Until the first try the plain loop goes a span at a time:
// each stretch costs a little beside the additions. `margin` multiplies the room a try needs.
template <class L>
inline double accumulate(const double* values, std::size_t count, double margin) {
    double total = -0.0;
    if (count < shortest) return plain<false, L::ahead>(total, values, count, nullptr);
    // Until the first try, the reach is the expected one from the plain stretch before (the last
    // one, so that an outlier does not hold the grid off for good): a first try on a sum still too
    // small for the grid would fail and cost more than the whole gain on a short array.
    std::size_t i = 0, short_runs = 0;
    bool tried = false;
    double reach = 0.0, largest = 0.0;
    while (count - i >= chunk) {
        if (on_grid(total) && room(total) > margin * reach) {
            const std::size_t done = grid_run<L>(total, values + i, count - i, reach);
            i += done;
            short_runs = done >= span ? 0 : std::min<std::size_t>(short_runs + 1, 5);
            tried = true;
        }
        const std::size_t plain_count = std::min((tried ? chunk : span) << short_runs, count - i);
        total = plain<false, L::ahead>(total, values + i, plain_count, nullptr, &largest);
        if (!tried) reach = expected_reach * largest;
        i += plain_count;
    }
    return plain<false, L::ahead>(total, values + i, count - i, nullptr);
}

// The running sums: every partial sum is needed, so only the exact tests apply. A run is tried
// where the room left in the binade exceeds `reach` times the largest |x| of the plain stretch
// before (a random walk's excursion grows as the root of its length, so the run likely gets far).
// After a run the plain loop takes 16 elements, twice as many after each run in a row that got less
// than a span done (up to 512); where no run is tried, a chunk, so that the test's cost stays small.
template <auto exact, bool Ahead>
inline void running(const double* values, std::size_t count, double* out, double reach) {
    double total = 0.0;
    if (count < shortest) {
        plain<true, Ahead>(total, values, count, out);
        return;
    }
    constexpr std::size_t stretch = 16;
    std::size_t i = 0, refusals = 0;
    double largest = 0.0;
    while (count - i >= chunk) {
        std::size_t plain_count = chunk;
        if (on_grid(total) && room(total) > reach * largest) {
            const std::size_t done = exact(total, values + i, count - i, out + i);
            i += done;
            if (count - i < chunk) break;
            refusals = done >= span ? 0 : std::min<std::size_t>(refusals + 1, 5);
            plain_count = stretch << refusals;
        }
        plain_count = std::min(plain_count, count - i);
        total = plain<true, Ahead>(total, values + i, plain_count, out + i, &largest);
        i += plain_count;
    }
    plain<true, Ahead>(total, values + i, count - i, out + i);
}

template <bool Ahead>
[[gnu::flatten]] TARVIK_TARGET_AVX2 double accumulate_avx2(const double* values, std::size_t count) {
    // Against a plain loop of two cycles an addition, four lanes gain only where the sum has room
    // to spare: nearer the edges, tries that fail cost more than the runs save.
    return accumulate<Tuned<Avx2Lanes, Ahead>>(values, count, quick_additions() ? 4.0 : 1.0);
}

// The same kernels at twice the width.
template <bool Ahead>
[[gnu::flatten]] TARVIK_TARGET_AVX512 double accumulate_avx512(const double* values, std::size_t count) {
    return accumulate<Tuned<Avx512Lanes, Ahead>>(values, count, 1.0);
}

template <bool Ahead>
[[gnu::flatten]] TARVIK_TARGET_AVX2 void running_avx2(const double* values, std::size_t count, double* out) {
    running<exact_run<Tuned<Avx2Lanes, Ahead>>, Ahead>(values, count, out, expected_reach);
}

// Runs on the bits stop exactly where the sum leaves the guard and settle ties at little cost, so a
// run that gets a few chunks done pays: where an addition takes three cycles or more, they are
// tried closer to the edges of binades. Against a plain loop of two cycles an addition, such runs
// lose more than they gain.
template <bool Ahead>
TARVIK_TARGET_AVX512 void running_avx512(const double* values, std::size_t count, double* out) {
    running<bits_run<Ahead>, Ahead>(values, count, out, quick_additions() ? expected_reach : expected_reach / 2);
}

#endif

}  // namespace

double ordered_sum([[maybe_unused]] Isa isa, const double* values, std::size_t count) {
    return as_the_core_prefers([&](auto asks) {
        constexpr bool Ahead = decltype(asks)::value;
#if defined(__x86_64__)
        switch (isa) {
        case Isa::avx512: return accumulate_avx512<Ahead>(values, count);
        case Isa::avx2: return accumulate_avx2<Ahead>(values, count);
        case Isa::portable: break;
        }
#endif
        return plain<false, Ahead>(-0.0, values, count, nullptr);
    });
}

void running_sums([[maybe_unused]] Isa isa, const double* values, std::size_t count, double* out) {
    as_the_core_prefers([&](auto asks) {
        constexpr bool Ahead = decltype(asks)::value;
#if defined(__x86_64__)
        switch (isa) {
        case Isa::avx512: return running_avx512<Ahead>(values, count, out);
        case Isa::avx2: return running_avx2<Ahead>(values, count, out);
        case Isa::portable: break;
        }
#endif
        plain<true, Ahead>(0.0, values, count, out);
    });
}

double ordered_sum(const double* values, std::size_t count) { return ordered_sum(widest_isa(), values, count); }

void running_sums(const double* values, std::size_t count, double* out) {
    // Four lanes of running sums lose to the plain loop where an addition takes two cycles, at every
    // size: the plain loop asks for its values ahead as they do.
    const Isa widest = widest_isa();
    running_sums(widest == Isa::avx2 && quick_additions() ? Isa::portable : widest, values, count, out);
}

}  // namespace tarvik
