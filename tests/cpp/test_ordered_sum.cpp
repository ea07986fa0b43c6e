#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "kernels/ordered_sum.hpp"
#include "test_support.hpp"

using namespace tarvik;
using tarvik::test_support::isa_name;

namespace {

// The next value of a family, given its position and the plain running sum before it (the families
// that aim at the running sum's grid need it).
using Draw = std::function<double(std::mt19937_64&, std::size_t, double)>;

double uniform(std::mt19937_64& rng, double low, double high) {
    return std::uniform_real_distribution<double>(low, high)(rng);
}

int integer(std::mt19937_64& rng, int low, int high) { return std::uniform_int_distribution<int>(low, high)(rng); }

double signed_one(std::mt19937_64& rng) { return integer(rng, 0, 1) ? 1.0 : -1.0; }

// Half-integer multiples of the spacing of the doubles next to `running`, so every addition is an
// exact tie; small values when there is no such spacing.
double tie_for(std::mt19937_64& rng, double running) {
    if (running == 0.0 || !std::isfinite(running) || std::fabs(running) < 0x1p-900) return uniform(rng, 0.5, 1.0);
    const double unit = std::ldexp(1.0, std::ilogb(running) - 52);
    return (integer(rng, -2000, 2000) + 0.5) * unit;
}

const std::vector<std::pair<std::string, Draw>>& families() {
    constexpr double inf = std::numeric_limits<double>::infinity();
    static const std::vector<std::pair<std::string, Draw>> all = {
        {"uniform [0, 1)", [](auto& rng, auto, double) { return uniform(rng, 0.0, 1.0); }},
        {"uniform [-5, 5]", [](auto& rng, auto, double) { return uniform(rng, -5.0, 5.0); }},
        {"normal", [](auto& rng, auto, double) { return std::normal_distribution<double>()(rng); }},
        {"rising", [](auto&, std::size_t i, double) { return static_cast<double>(i) * 1e-7; }},
        {"log-uniform", [](auto& rng, auto, double) { return signed_one(rng) * std::ldexp(uniform(rng, 0.5, 1.0), integer(rng, -60, 60)); }},
        {"1e16 / 1 / -1e16", [](auto& rng, std::size_t i, double) { return i % 3 == 0 ? 1e16 : i % 3 == 1 ? uniform(rng, 0.0, 2.0) : -1e16; }},
        {"ties", [](auto& rng, auto, double running) { return tie_for(rng, running); }},
        {"integers across 2^53", [](auto& rng, std::size_t i, double) { return i == 0 ? 0x1p53 - 4096.0 : integer(rng, -3, 9); }},
        {"cancellation and signed zeros",
         [](auto& rng, std::size_t i, double running) {
             const int kind = integer(rng, 0, 3);
             if (kind == 0) return signed_one(rng) * 0.0;
             if (kind == 1) return -running;
             return uniform(rng, -1.0, 1.0) * (i % 7 == 0 ? 1e300 : 1.0);
         }},
        // Steps a little over half the binade, too large for the rounding the grid relies on,
        // alternately up and down, one in every 256 between small ones: the sum stays inside [1, 2).
        {"half-binade steps",
         [](auto& rng, std::size_t i, double) {
             if (i == 0) return 1.25;
             if (i % 256 == 7) return i % 512 == 7 ? 0.55 : -0.55;
             return uniform(rng, -1e-6, 1e-6);
         }},
        // A vector's length of steps up, then as many about as large down, from just below 2 (four
        // or eight lanes, drawn for each array): the sum pokes across the binade's edge for the
        // length of a vector and comes back, which only bounds taken at every vector see; the
        // steps' low bits make the roundings above 2 differ from the grid's.
        {"sawtooth across 2",
         [](auto& rng, std::size_t i, double) {
             static std::size_t width = 4;
             if (i == 0) {
                 width = integer(rng, 0, 1) == 0 ? 4 : 8;
                 return 2.0 - 0x1p-18;
             }
             const double height = static_cast<double>((i / (2 * width)) % 5 + 1);
             const double x = height * 0x1p-21 + integer(rng, 0, 1023) * 0x1p-52;
             return i % (2 * width) < width ? x : -x;
         }},
        // Down from 1 + 2^-40 by a fraction of a unit more than whole units, then a jump back up:
        // the sum often lands on exactly N = 2^52 (the value 1) from inside the binade, where the
        // exact sum lies below 1 and rounds on the finer grid there.
        {"down onto 1",
         [](auto& rng, std::size_t i, double running) {
             if (i == 0 || running < 1.0) return 1.0 + 0x1p-40 - running;
             return -(integer(rng, 0, 3) + 0.3) * 0x1p-52;
         }},
        // Ties against the running sum's grid, all upwards, from 20,000 units below 2: the span
        // that crosses 2 fails as a whole while its first chunks, ties and all, stay below it.
        {"ties up to 2",
         [](auto& rng, std::size_t i, double running) {
             if (i == 0) return 2.0 - 20000 * 0x1p-52;
             return (integer(rng, 0, 40) + 0.5) * std::ldexp(1.0, std::ilogb(running) - 52);
         }},
        {"dyadic k/8", [](auto& rng, auto, double) { return integer(rng, -12, 16) / 8.0; }},
        {"subnormal and tiny", [](auto& rng, auto, double) { return signed_one(rng) * std::ldexp(uniform(rng, 0.0, 1.0), integer(rng, -1080, -960)); }},
        {"NaN and inf at random positions",
         [](auto& rng, auto, double) {
             if (integer(rng, 0, 300000) != 0) return uniform(rng, -1.0, 3.0);
             const int kind = integer(rng, 0, 2);
             return kind == 0 ? inf : kind == 1 ? -inf : std::nan("");
         }},
        // From 1.5 * 2^1023, zeros while the plain loop starts, then steps of -1, 0 or 1 times 2^45
        // units, mostly up: the sum lands on exactly 2^1024, which is infinity, and must stay there
        // as the steps turn down.
        {"onto infinity",
         [](auto& rng, std::size_t i, double running) {
             if (i == 0) return 0x1.8p1023;
             if (i < 2200) return 0.0;
             return std::isinf(running) ? -0x1p1016 : std::min(integer(rng, -1, 2), 1) * 0x1p1016;
         }},
        {"near overflow", [](auto& rng, auto, double) { return signed_one(rng) * std::ldexp(uniform(rng, 0.5, 1.0), integer(rng, 1015, 1023)) * (integer(rng, 0, 9) ? 1.0 : 1e-300); }},
    };
    return all;
}

std::vector<double> draw(const Draw& family, std::mt19937_64& rng, std::size_t length) {
    std::vector<double> values(length);
    double running = 0.0;
    for (std::size_t i = 0; i < length; ++i) running += values[i] = family(rng, i, running);
    return values;
}

double plain_sum(const std::vector<double>& values) {
    double total = -0.0;
    for (const double x : values) total += x;
    return total;
}

std::vector<double> plain_running(const std::vector<double>& values) {
    std::vector<double> out(values.size());
    double total = 0.0;
    for (std::size_t i = 0; i < values.size(); ++i) out[i] = total += values[i];
    return out;
}

// The same bits, or both NaN: which NaN an addition of two NaNs gives (its sign and payload) is the
// one the processor takes from the first operand, and the compiler may put either operand first.
bool same_sum(double expected, double fast) {
    return std::memcmp(&expected, &fast, sizeof fast) == 0 || (std::isnan(expected) && std::isnan(fast));
}

// Returns the elements checked.
std::size_t check_against_plain(Isa isa, const std::vector<double>& values, const std::string& what) {
    const double expected = plain_sum(values);
    const double fast = ordered_sum(isa, values.data(), values.size());
    EXPECT_TRUE(same_sum(expected, fast)) << what << ": " << expected << " vs " << fast;
    const std::vector<double> running = plain_running(values);
    std::vector<double> out(values.size());
    running_sums(isa, values.data(), values.size(), out.data());
    EXPECT_TRUE(std::equal(running.begin(), running.end(), out.begin(), same_sum)) << what;
    return values.size();
}

// The grid path against the plain loops, bit for bit, over every family at every length up to 100
// and at random lengths up to 2e6 (more than 1e8 elements in all; TARVIK_SUM_ELEMENTS sets another
// total), on each instruction set's lanes.
class OrderedSum : public ::testing::TestWithParam<Isa> {};

TEST_P(OrderedSum, MatchesThePlainLoopsBitForBit) {
    if (!isa_supported(GetParam())) GTEST_SKIP() << "processor lacks this instruction set";
    const char* wanted = std::getenv("TARVIK_SUM_ELEMENTS");
    const double total = wanted != nullptr ? std::atof(wanted) : 1.05e8;
    const double per_family = total / static_cast<double>(families().size());
    std::mt19937_64 rng(20261209);
    for (const auto& [name, family] : families()) {
        std::size_t done = 0;
        for (std::size_t length = 0; length <= 100; ++length)
            done += check_against_plain(GetParam(), draw(family, rng, length), name + " at length " + std::to_string(length));
        while (static_cast<double>(done) < per_family) {
            const std::size_t length = std::uniform_int_distribution<std::size_t>(1, 2000000)(rng);
            done += check_against_plain(GetParam(), draw(family, rng, length), name + " at length " + std::to_string(length));
            if (::testing::Test::HasFailure()) return;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Lanes, OrderedSum, ::testing::Values(Isa::avx2, Isa::avx512),
                         [](const auto& info) { return isa_name(info.param); });

}  // namespace
