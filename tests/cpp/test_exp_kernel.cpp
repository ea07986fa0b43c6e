#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "kernels/exp_kernel.hpp"
#include "ops/reductions.hpp"
#include "test_support.hpp"

using namespace tarvik;
using test_support::make;
using test_support::same_bits;

namespace {

double from_bits(std::uint64_t bits) {
    double value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

// `x` moved by `steps` units in the last place (toward larger magnitude for positive steps).
double ulps_away(double x, int steps) {
    std::uint64_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    return from_bits(bits + static_cast<std::uint64_t>(static_cast<std::int64_t>(steps)));
}

// One block of inputs from each family in turn: wide and narrow uniform ranges, raw bit patterns,
// log-uniform magnitudes, neighbourhoods of the points half-way between reduction steps (where the
// rounding of k is decided), of the overflow and underflow thresholds and of the fast path's edges,
// and the specials.
std::vector<double> family_block(std::mt19937_64& rng, int family, std::size_t count) {
    std::vector<double> out(count);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::uniform_int_distribution<int> ulps(-64, 64);
    const double edges[] = {709.78, -708.40, -744.44, -745.13, 512.0, -512.0, 0x1p-54, -0x1p-54};
    const double specials[] = {0.0, -0.0, HUGE_VAL, -HUGE_VAL, NAN, -NAN, DBL_MAX, -DBL_MAX, DBL_MIN, 0x1p-1074};
    for (double& x : out) {
        switch (family) {
            case 0:
                x = -746.0 + 1456.0 * unit(rng);
                break;
            case 1:
                x = -1.0 + 2.0 * unit(rng);
                break;
            case 2:
                x = from_bits(rng());
                break;
            case 3:
                x = std::ldexp(1.0 + unit(rng), std::uniform_int_distribution<int>(-60, 9)(rng)) * (rng() & 1 ? 1 : -1);
                break;
            case 4: {
                const double k = std::floor(-95000.0 + 185000.0 * unit(rng));
                x = ulps_away((k + 0.5) * (0x1.62e42fefa39efp-1 / 128), ulps(rng));
                break;
            }
            case 5:
                x = ulps_away(edges[rng() % 8], ulps(rng) * 1024 + ulps(rng));
                break;
            default:
                x = specials[rng() % 10];
        }
    }
    return out;
}

std::size_t identity_input_count() {
    // The hardening run asks for more through the environment.
    const char* asked = std::getenv("TARVIK_EXP_IDENTITY_INPUTS");
    return asked != nullptr ? std::strtoull(asked, nullptr, 10) : 10'000'000;
}

// Whatever form the library of this process uses (the tests also run under GLIBC_TUNABLES that
// make it pick its unfused build), the chosen exponential, sigmoid and softmax give its bits.
TEST(ExpKernel, IsTheLibrarysExpOnEveryFamily) {
    std::mt19937_64 rng(41);
    const ExpChoice choice = exp_choice();
    std::vector<ExpChoice> choices = {choice};
    if (choice.isa == Isa::avx512) choices.push_back({choice.form, Isa::avx2});
    const std::size_t total = identity_input_count(), block = 1 << 16;
    std::vector<double> got(block), want(block);
    for (std::size_t done = 0, family = 0; done < total; done += block, family = (family + 1) % 7) {
        const std::vector<double> x = family_block(rng, static_cast<int>(family), block);
        for (std::size_t i = 0; i < block; ++i) want[i] = std::exp(x[i]);
        // The narrower lanes of the chosen form are checked too, on processors that have both.
        for (const ExpChoice lanes : choices) {
            exp_elements(lanes, x.data(), got.data(), block);
            for (std::size_t i = 0; i < block; ++i)
                ASSERT_TRUE(same_bits(want[i], got[i])) << "exp(" << std::hexfloat << x[i] << ")";
        }
        if (family % 2 == 0) {
            Buffer<double> data(x.begin(), x.end());
            const FloatArray s = sigmoid(make(std::move(data), Shape{block}));
            for (std::size_t i = 0; i < block; ++i)
                ASSERT_TRUE(same_bits(1.0 / (std::exp(-x[i]) + 1.0), s.data[i])) << std::hexfloat << x[i];
        }
    }
}

// The probe set tells the library's two forms apart, so the self-check cannot settle on the wrong one.
TEST(ExpKernel, SelfCheckRejectsTheOtherForm) {
    const ExpChoice chosen = exp_choice();
    if (chosen.form == ExpForm::scalar) GTEST_SKIP() << "no vector form on this processor";
    EXPECT_TRUE(agrees_with_library(chosen));
    // Told to leave out AVX2, the library runs its unfused build, and so must the module.
    const char* tunables = std::getenv("GLIBC_TUNABLES");
    if (tunables != nullptr && std::string(tunables).find("-AVX2") != std::string::npos) {
        EXPECT_EQ(ExpForm::unfused, chosen.form);
    }
    const ExpForm other = chosen.form == ExpForm::fused ? ExpForm::unfused : ExpForm::fused;
    EXPECT_FALSE(agrees_with_library({other, chosen.isa}));
    EXPECT_TRUE(agrees_with_library({ExpForm::scalar, Isa::portable}));
}

}  // namespace
