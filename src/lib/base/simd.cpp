#include "base/simd.hpp"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>

namespace tarvik {

bool isa_supported(Isa isa) {
#if defined(__x86_64__)
    // The loader may run this before the constructor that fills the feature bits.
    __builtin_cpu_init();
    switch (isa) {
        case Isa::avx512:
            return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq");
        case Isa::avx2:
            return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
        case Isa::portable:
            return true;
    }
    return false;
#else
    return isa == Isa::portable;
#endif
}

Isa widest_isa() {
    static const Isa widest = [] {
        for (Isa isa : {Isa::avx512, Isa::avx2})
            if (isa_supported(isa)) return isa;
        return Isa::portable;
    }();
    return widest;
}

bool prefetch_pays() {
#if defined(__x86_64__)
    static const bool pays = [] {
        __builtin_cpu_init();
        return !__builtin_cpu_is("amd");
    }();
    return pays;
#else
    return true;
#endif
}

#if defined(__x86_64__)
namespace {

// Nanoseconds for `rounds` runs of eight dependent additions, of doubles or of integers.
template <bool Doubles>
double chain_time(int rounds) {
    const auto start = std::chrono::steady_clock::now();
    if constexpr (Doubles) {
        double sum = 1.0;
        const double zero = 0.0;
        for (int r = 0; r < rounds; ++r)
            asm volatile(
                "addsd %1, %0\n\taddsd %1, %0\n\taddsd %1, %0\n\taddsd %1, %0\n\t"
                "addsd %1, %0\n\taddsd %1, %0\n\taddsd %1, %0\n\taddsd %1, %0"
                : "+x"(sum)
                : "x"(zero));
    } else {
        std::uint64_t sum = 0;
        const std::uint64_t one = 1;
        for (int r = 0; r < rounds; ++r)
            asm volatile(
                "add %1, %0\n\tadd %1, %0\n\tadd %1, %0\n\tadd %1, %0\n\t"
                "add %1, %0\n\tadd %1, %0\n\tadd %1, %0\n\tadd %1, %0"
                : "+r"(sum)
                : "r"(one));
    }
    return std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace
#endif

double addition_cycles() {
#if defined(__x86_64__)
    // The two chains alternate, so that a change of clock speed touches both of a trial's
    // measurements alike; the median trial stands.
    static const double cycles = [] {
        constexpr int trials = 5, rounds = 4096;
        std::array<double, trials> ratios{};
        for (double& ratio : ratios) {
            const double integers = chain_time<false>(rounds);
            ratio = chain_time<true>(rounds) / integers;
        }
        std::nth_element(ratios.begin(), ratios.begin() + trials / 2, ratios.end());
        return ratios[trials / 2];
    }();
    return cycles;
#else
    return 3.0;  // no kernel off x86 asks
#endif
}

}  // namespace tarvik
