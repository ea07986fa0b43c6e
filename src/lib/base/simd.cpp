#include "base/simd.hpp"

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

}  // namespace tarvik
