#include "ordered_sum.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <utility>

#include "simd.hpp"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace tarvik {

namespace {

// The reference order, and the path for everything the grid below does not cover.
template <bool Running>
double plain(double total, const double* values, std::size_t count, double* out) {
    for (std::size_t i = 0; i < count; ++i) {
        total += values[i];
        if constexpr (Running) out[i] = total;
    }
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
// - n = round-to-nearest-even(t), found as (t + 1.5·2^52) - 1.5·2^52, valid for |t| < 2^51; the
//   integer is also read from the low bits of t + 1.5·2^52. Steps are only used where the sum of
//   their |n| (exact in doubles, being integers below 2^53) is below 2^51, which bounds every |t|
//   and every partial sum; a NaN, an infinity or a huge t makes that sum NaN or too large. frac =
//   t - n is exact (t and n are within a factor of two, or n = 0).
// - Suppose N_k = N_s + n_1 + ... + n_k stays in [2^52 + 1, 2^53 - 1] (the guard). The exact sum
//   s + x is (N_{k-1} + t)·u, within u/2 of N_k·u, so it lies in [2^e + u/2, 2^(e+1) - u/2]: inside
//   the binade, where the doubles nearest to it are the grid points N_k·u and its neighbours. So
//   fl(s + x) = N_k·u exactly, unless t is a tie (|frac| = 1/2). The guard also rules out landing
//   exactly on 2^(e+1) (N = 2^53) and leaving the binade downwards, where the grid changes; there
//   the run stops and the plain loop takes the element.
// - At a tie the two candidates are N_{k-1} + n and N_{k-1} + n ± 1 and the even one wins (an even
//   significand is an even N). Rounding t itself to even made n even, so the step is n when N_{k-1}
//   is even, n ± 1 (towards t) when it is odd. Within a chunk of 64 elements the parity of N_{k-1}
//   is the parity of N at the chunk's start XOR a prefix XOR of the steps' low bits; after a tie N
//   is even.
// - The sums of the negative and of the positive steps, widened by one per tie, bound all partial
//   sums of a span; only when they do not keep N inside the guard are the partial sums followed,
//   and the run stops at the first one that leaves it.
// - The sum after the run is N·u with the sign of s; N in [2^52, 2^53) makes its bits the bits of s
//   plus (N - N_s), and the running sums of cumsum are found the same way.
// - A nonzero s never turns into a zero on the grid (N > 2^52), so signed zeros only arise in the
//   plain loop: the start (-0.0 or +0.0), zero sums and what follows them until s is nonzero.
// All this holds under round to nearest with subnormals kept (no flush to zero), the process's
// floating-point environment.

typedef std::int64_t Int4 __attribute__((vector_size(32)));
typedef std::int64_t Int8 __attribute__((vector_size(64)));
typedef std::uint64_t Bits4 __attribute__((vector_size(32)));
typedef std::uint64_t Bits8 __attribute__((vector_size(64)));

// What the kernel needs beyond vector arithmetic: the sign bits of the lanes as a bit mask. The
// vector comes by reference: passed by value between a function with the target and one without,
// a vector wider than 16 bytes changes the calling convention, which clang refuses even where the
// call is inlined.
struct Avx2Lanes {
    using Float = Vec4;
    using Int = Int4;
    using Bits = Bits4;
    TARVIK_TARGET_AVX2 static std::uint64_t signs(const Int& v) { return unsigned(_mm256_movemask_pd(__m256d(v))); }
};

struct Avx512Lanes {
    using Float = Vec8;
    using Int = Int8;
    using Bits = Bits8;
    TARVIK_TARGET_AVX512 static std::uint64_t signs(const Int& v) {
        return _mm512_cmplt_epi64_mask(__m512i(v), _mm512_setzero_si512());
    }
};

// Elements checked together; 64 so that a chunk's parities and ties fit one word each.
constexpr std::size_t chunk = 64;
// Elements under one cheap test: the test is tried on four chunks at once, to spread its cost.
constexpr std::size_t span = 4 * chunk;
constexpr double magic = 0x1.8p52;
constexpr std::int64_t magic_bits = 0x4338000000000000;
constexpr double size_limit = 0x1p51;  // for the summed magnitudes of the steps tested together
constexpr std::int64_t grid_low = (std::int64_t{1} << 52) + 1;
constexpr std::int64_t grid_high = (std::int64_t{1} << 53) - 1;
constexpr std::int64_t magnitude_mask = INT64_MAX;

std::int64_t bits_of(double value) { return std::bit_cast<std::int64_t>(value); }

// Finite, nonzero and at least 2^-970 in magnitude.
bool on_grid(double total) {
    const std::int64_t biased = (bits_of(total) >> 52) & 0x7ff;
    return biased >= 53 && biased < 0x7ff;
}

// n for one element: t rounded to the nearest integer, ties to even.
std::int64_t grid_integer(double x, double scale) { return bits_of(x * scale + magic) - magic_bits; }

template <class Int>
inline std::int64_t lane_sum(Int v) {
    std::int64_t total = 0;
    for (std::size_t w = 0; w < lanes<Int>; ++w) total += v[w];
    return total;
}

// The lanes moved up by By places, zeros entering at the bottom.
template <std::size_t By, class Int, std::size_t... W>
inline Int shifted_up(Int v, std::index_sequence<W...>) {
    return __builtin_shufflevector(v, Int{}, (W >= By ? W - By : lanes<Int> + W)...);
}

// Lane k holds the sum of lanes 0..k.
template <class Int>
inline Int inclusive_prefix(Int v) {
    constexpr auto each = std::make_index_sequence<lanes<Int>>();
    v += shifted_up<1>(v, each);
    v += shifted_up<2>(v, each);
    if constexpr (lanes<Int> > 4) v += shifted_up<4>(v, each);
    return v;
}

template <class Int, std::size_t... W>
inline Int last_lane(Int v, std::index_sequence<W...>) {
    return __builtin_shufflevector(v, v, (W * 0 + lanes<Int> - 1)...);
}

template <class V>
inline V magnitude(V v) {
    using Int = decltype(v < v);
    return V(Int(v) & magnitude_mask);
}

// The rounded steps of `span` elements, as doubles (exact, being integers below 2^53): their sum, the sum
// of their magnitudes and the largest |t - n|, which is 1/2 exactly when there is a tie. A step
// that is not finite or too large makes the magnitudes NaN or at least 2^51.
struct ChunkSteps {
    double sum, size, frac;
};

template <class L>
inline ChunkSteps chunk_steps(const double* values, typename L::Float scale) {
    using Float = typename L::Float;
    // Two sets of sums, so that the additions' latency overlaps (they are exact in any order).
    Float sum[2]{}, size[2]{}, frac{};
#pragma GCC unroll 1
    for (std::size_t v = 0; v < span; v += 2 * lanes<Float>) {
        for (std::size_t set = 0; set < 2; ++set) {
            const Float t = load<Float>(values + v + set * lanes<Float>) * scale;
            const Float n = (t + magic) - magic;
            const Float off = magnitude(t - n);
            sum[set] += n;
            size[set] += magnitude(n);
            frac = off > frac ? off : frac;
        }
    }
    ChunkSteps steps{0.0, 0.0, 0.0};
    for (std::size_t lane = 0; lane < lanes<Float>; ++lane) {
        steps.sum += sum[0][lane] + sum[1][lane];
        steps.size += size[0][lane] + size[1][lane];
        steps.frac = std::max(steps.frac, frac[lane]);
    }
    return steps;
}

// The ties of a chunk whose step is n + 1 (up) or n - 1 (down), given the parity of N before it.
struct TieSteps {
    std::uint64_t up = 0, down = 0;
};

inline TieSteps resolve_ties(std::uint64_t odd, std::uint64_t tie, std::uint64_t parity, const double* values,
                            double scale) {
    // Bit k: the parity of the steps 0..k; a tie's own n is even, so at a tie this is also the
    // parity of the steps before it.
    std::uint64_t prefix = odd;
    for (int by = 1; by < 64; by *= 2) prefix ^= prefix << by;
    TieSteps moved;
    for (std::uint64_t rest = tie; rest != 0; rest &= rest - 1) {
        const int k = std::countr_zero(rest);
        const std::uint64_t seen = (prefix >> k) & 1;
        if ((parity ^ seen) != 0) {
            const double t = values[k] * scale;
            ((t - ((t + magic) - magic) > 0.0) ? moved.up : moved.down) |= std::uint64_t{1} << k;
        }
        parity = seen;  // N is even after the tie: parity ^ prefix is its parity from here on
    }
    return moved;
}

// The elements of a chunk one by one from N, the bounds checked at each: returns how many stay
// within them, with N the partial sum after those; with Running writes their running sums.
template <bool Running>
inline std::size_t steps_within(const double* values, double scale, TieSteps moved, std::int64_t& N,
                                std::int64_t base, double* out) {
    for (std::size_t k = 0; k < chunk; ++k) {
        const std::int64_t step = grid_integer(values[k], scale) + std::int64_t((moved.up >> k) & 1) -
                                  std::int64_t((moved.down >> k) & 1);
        if (N + step < grid_low || N + step > grid_high) return k;
        N += step;
        if constexpr (Running) out[k] = std::bit_cast<double>(base + N);
    }
    return chunk;
}

// The steps of a chunk as lanes, ties resolved, from element v on.
template <class L>
inline typename L::Int lane_steps(const double* values, typename L::Float scale, TieSteps moved, std::size_t v) {
    using Float = typename L::Float;
    using Int = typename L::Int;
    Int lane;
    for (std::size_t w = 0; w < lanes<Int>; ++w) lane[w] = std::int64_t(w);
    const Int n = Int(load<Float>(values + v) * scale + magic) - magic_bits;
    if ((moved.up | moved.down) == 0) return n;
    return n + (((Int{} + std::int64_t(moved.up >> v)) >> lane) & 1) - (((Int{} + std::int64_t(moved.down >> v)) >> lane) & 1);
}

// True when every partial sum of the chunk from N stays inside the guard.
template <class L>
inline bool partial_sums_fit(const double* values, typename L::Float scale, TieSteps moved, std::int64_t N) {
    using Int = typename L::Int;
    constexpr std::size_t w = lanes<Int>;
    Int carry = Int{} + N, outside{};
    for (std::size_t v = 0; v < chunk; v += w) {
        const Int partial = inclusive_prefix(lane_steps<L>(values, scale, moved, v));
        const Int sums = partial + carry;
        outside |= (sums - grid_low) | (grid_high - sums);
        carry += last_lane(partial, std::make_index_sequence<w>());
    }
    std::int64_t any = 0;
    for (std::size_t lane = 0; lane < w; ++lane) any |= outside[lane];
    return any >= 0;
}

// For a chunk with ties under the cheap test: a bit per element for odd steps and for ties, and
// the steps' sum.
struct ChunkWords {
    std::uint64_t odd, tie;
    std::int64_t sum;
};

template <class L>
inline ChunkWords tie_words(const double* values, typename L::Float scale) {
    using Float = typename L::Float;
    using Int = typename L::Int;
    Float sum{};
    std::uint64_t odd = 0, tie = 0;
    for (std::size_t v = 0; v < chunk; v += lanes<Float>) {
        const Float t = load<Float>(values + v) * scale;
        const Float rounded = t + magic;
        const Float n = rounded - magic;
        sum += n;
        odd |= L::signs(Int(rounded) << 63) << v;  // magic is even, so the low bit is n's
        tie |= L::signs(magnitude(t - n) == 0.5) << v;
    }
    double total = 0.0;
    for (std::size_t lane = 0; lane < lanes<Float>; ++lane) total += sum[lane];
    return {odd, tie, std::int64_t(total)};
}

// One pass over a chunk that also follows its partial sums before ties are resolved: their lowest
// and highest value and the steps' sum (relative to the chunk's start), a bit per element for odd
// steps and for ties, and the sum of the steps' magnitudes as in `chunk_steps`. With Store the
// partial sums go to out as bits from `first` (the bits of the sum before the chunk), right
// wherever no tie moved a step.
struct ChunkScan {
    double sum, lowest, highest, size;
    std::uint64_t odd, tie;
};

template <class L, bool Store>
inline ChunkScan scan_chunk(const double* values, typename L::Float scale, std::int64_t first, double* out) {
    using Float = typename L::Float;
    using Int = typename L::Int;
    constexpr std::size_t w = lanes<Float>;
    constexpr double inf = __builtin_inf();
    Float carry{}, lowest = Float{} + inf, highest = Float{} - inf, size{};
    std::uint64_t odd = 0, tie = 0;
    const std::uint64_t offset = std::uint64_t(first) - std::uint64_t(magic_bits);
#pragma GCC unroll 2
    for (std::size_t v = 0; v < chunk; v += w) {
        const Float t = load<Float>(values + v) * scale;
        const Float rounded = t + magic;
        const Float n = rounded - magic;
        size += magnitude(n);
        odd |= L::signs(Int(rounded) << 63) << v;  // magic is even, so the low bit is n's
        tie |= L::signs(magnitude(t - n) == 0.5) << v;
        const Float partial = inclusive_prefix(n);
        const Float sums = partial + carry;
        lowest = sums < lowest ? sums : lowest;
        highest = sums > highest ? sums : highest;
        // |sums| < 2^51, so adding magic leaves the integer in the low bits. Unsigned, so that the
        // garbage of a chunk that turns out off the grid wraps harmlessly.
        if constexpr (Store) store(out + v, Float(typename L::Bits(sums + magic) + offset));
        carry += last_lane(partial, std::make_index_sequence<w>());
    }
    ChunkScan scan{carry[0], inf, -inf, 0.0, odd, tie};
    for (std::size_t lane = 0; lane < w; ++lane) {
        scan.lowest = std::min(scan.lowest, lowest[lane]);
        scan.highest = std::max(scan.highest, highest[lane]);
        scan.size += size[lane];
    }
    return scan;
}

// As many whole chunks as stay on the grid of `total`'s binade, which `on_grid` accepted: returns
// how many elements were added, with total the sum after them (and with Running their running sums
// written to out).
template <class L, bool Running>
inline std::size_t grid_run(double& total, const double* values, std::size_t count, double* out) {
    using Float = typename L::Float;
    using Int = typename L::Int;
    constexpr std::size_t w = lanes<Float>;
    const std::int64_t bits = bits_of(total);
    std::int64_t N = (bits & ((std::int64_t{1} << 52) - 1)) | (std::int64_t{1} << 52);
    const std::int64_t base = bits - N;
    const double scale_value = std::bit_cast<double>((bits & INT64_MIN) | ((2098 - ((bits >> 52) & 0x7ff)) << 52));
    const Float scale = broadcast<Float>(scale_value);
    std::size_t done = 0;
    // Chunks go through the cheap test while it keeps passing (same-sign data), through the scan
    // otherwise, with the cheap test tried again every 4 chunks.
    std::size_t scans = Running ? 1 : 0;
    for (; count - done >= chunk; done += chunk) {
        const double* const x = values + done;
        double* const to = Running ? out + done : nullptr;
        if (scans == 0 && count - done >= span) {
            const ChunkSteps steps = chunk_steps<L>(x, scale);
            if (steps.size < size_limit) {
                // Exact: the sum plus or minus the magnitudes is twice the positive or negative part;
                // each tie may move the partial sums by one more.
                const std::int64_t sum = std::int64_t(steps.sum), size = std::int64_t(steps.size);
                const std::int64_t slack = steps.frac < 0.5 ? 0 : std::int64_t{span};
                if (N + (sum - size) / 2 - slack >= grid_low && N + (sum + size) / 2 + slack <= grid_high) {
                    if (slack == 0) {
                        N += sum;
                    } else {
                        for (std::size_t c = 0; c < span; c += chunk) {
                            const ChunkWords words = tie_words<L>(x + c, scale);
                            const TieSteps moved = resolve_ties(words.odd, words.tie, std::uint64_t(N & 1), x + c, scale_value);
                            N += words.sum + std::popcount(moved.up) - std::popcount(moved.down);
                        }
                    }
                    done += span - chunk;
                    continue;
                }
            }
        }
        if constexpr (!Running) scans = (scans + 1) % 4;
        const ChunkScan scan = scan_chunk<L, Running>(x, scale, base + N, to);
        if (!(scan.size < size_limit)) break;
        const TieSteps moved = scan.tie != 0 ? resolve_ties(scan.odd, scan.tie, std::uint64_t(N & 1), x, scale_value) : TieSteps{};
        const std::int64_t up = std::popcount(moved.up), down = std::popcount(moved.down);
        // Resolving a tie moves the later partial sums by one, so the bounds widen by the moves.
        if ((N + std::int64_t(scan.lowest) - down < grid_low || N + std::int64_t(scan.highest) + up > grid_high) &&
            (up + down == 0 || !partial_sums_fit<L>(x, scale, moved, N))) {
            const std::size_t within = steps_within<Running>(x, scale_value, moved, N, base, to);
            if (within < chunk) {
                done += within;
                break;
            }
            continue;
        }
        if constexpr (Running) {
            if (up + down != 0) {
                Int carry = Int{} + (base + N);
                for (std::size_t v = 0; v < chunk; v += w) {
                    const Int partial = inclusive_prefix(lane_steps<L>(x, scale, moved, v));
                    store(to + v, Float(partial + carry));
                    carry += last_lane(partial, std::make_index_sequence<w>());
                }
            }
        }
        N += std::int64_t(scan.sum) + up - down;
    }
    total = std::bit_cast<double>(base + N);
    return done;
}

// Grid runs wherever the running sum allows, the plain loop elsewhere. A run that stops leaves the
// next 64 elements to the plain loop (the sum has usually just crossed into the next binade), twice
// as many after each run in a row that got less than a chunk done (up to 4096), so data the grid
// does not fit costs little more than the plain loop.
template <class L, bool Running>
inline double accumulate(double total, const double* values, std::size_t count, double* out) {
    std::size_t i = 0, short_runs = 0;
    while (count - i >= chunk) {
        std::size_t plain_count = chunk;
        if (on_grid(total)) {
            const std::size_t done = grid_run<L, Running>(total, values + i, count - i, Running ? out + i : nullptr);
            i += done;
            if (count - i < chunk) break;
            short_runs = done >= chunk ? 0 : std::min<std::size_t>(short_runs + 1, 4);
            plain_count = std::min(chunk << short_runs, count - i);
        }
        total = plain<Running>(total, values + i, plain_count, Running ? out + i : nullptr);
        i += plain_count;
    }
    return plain<Running>(total, values + i, count - i, Running ? out + i : nullptr);
}

template <bool Running>
[[gnu::flatten]] TARVIK_TARGET_AVX2 double accumulate_avx2(double total, const double* values, std::size_t count,
                                                           double* out) {
    return accumulate<Avx2Lanes, Running>(total, values, count, out);
}

// The same kernel at twice the width.
template <bool Running>
[[gnu::flatten]] TARVIK_TARGET_AVX512 double accumulate_avx512(double total, const double* values,
                                                               std::size_t count, double* out) {
    return accumulate<Avx512Lanes, Running>(total, values, count, out);
}

#endif

template <bool Running>
double dispatch(double total, const double* values, std::size_t count, double* out) {
#if defined(__x86_64__)
    switch (widest_isa()) {
    case Isa::avx512: return accumulate_avx512<Running>(total, values, count, out);
    case Isa::avx2: return accumulate_avx2<Running>(total, values, count, out);
    case Isa::portable: break;
    }
#endif
    return plain<Running>(total, values, count, out);
}

}  // namespace

double ordered_sum(const double* values, std::size_t count) { return dispatch<false>(-0.0, values, count, nullptr); }

void running_sums(const double* values, std::size_t count, double* out) { dispatch<true>(0.0, values, count, out); }

}  // namespace tarvik
