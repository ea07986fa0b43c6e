// libFuzzer harness for the parallel map on its own pools: each input decodes one or two calls on short
// inputs with a minimum piece length of 0 to 64 and a pool of 1 to 4 workers, so that short inputs
// split, are stolen and fault as deeply as long ones do under the engine's own minimum. Every result
// is compared with the sequential loop, and a call with faulting elements must report the lowest.
#include <fuzzer/FuzzedDataProvider.h>

#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "parallel/parallel_map.hpp"

namespace {

using tarvik::Buffer;
using tarvik::EngineFault;
using tarvik::WorkerPool;
using U64 = std::uint64_t;

// Started once and kept: starting threads per input would cost more than the calls.
WorkerPool& pool_of(std::size_t threads) {
    static std::unique_ptr<WorkerPool> pools[5];
    if (!pools[threads]) pools[threads] = std::make_unique<WorkerPool>(threads);
    return *pools[threads];
}

[[noreturn]] void report(const char* what, U64 n, U64 min, std::size_t threads, const std::string& detail) {
    std::fprintf(stderr, "%s (n %llu, minimum piece %llu, %zu workers): %s\n", what, (unsigned long long)n,
                 (unsigned long long)min, threads, detail.c_str());
    std::abort();
}

// Element values are their indices shifted by a decoded offset, so an element written to the wrong
// place, or twice, or not at all, shows.
void run_one(FuzzedDataProvider& in) {
    const std::size_t threads = in.ConsumeIntegralInRange<std::size_t>(1, 4);
    const U64 min = in.ConsumeIntegralInRange<U64>(0, 64);
    const U64 n = in.ConsumeIntegralInRange<U64>(0, 400);
    const bool zip = in.ConsumeBool();
    // Elements from `first_bad` on, every `step`-th, fault; past n nothing does.
    const U64 first_bad = in.ConsumeIntegralInRange<U64>(0, n + n / 4 + 1);
    const U64 step = in.ConsumeIntegralInRange<U64>(1, 8);
    const U64 shorter_by = zip ? in.ConsumeIntegralInRange<U64>(0, 3) : 0;
    const double offset = static_cast<double>(in.ConsumeIntegralInRange<int>(-1000, 1000));

    std::vector<double> a(n), b(n + shorter_by);
    for (U64 i = 0; i < n; ++i) a[i] = static_cast<double>(i) + offset;
    for (U64 i = 0; i < b.size(); ++i) b[i] = static_cast<double>(i);
    const auto faults_at = [&](double index) {
        const auto i = static_cast<U64>(index);
        return i >= first_bad && (i - first_bad) % step == 0;
    };
    WorkerPool& pool = pool_of(threads);
    std::string fault = "no fault";
    Buffer<double> out;
    try {
        if (zip) {
            // The longer second input must be cut to the first's length.
            out = tarvik::parallel_zip_map(pool, a, b, [&](double x, double y) {
                if (faults_at(y)) tarvik::fail("bad element {}", {static_cast<U64>(y)});
                return x - y;
            }, min);
        } else {
            out = tarvik::parallel_map(pool, a, [&](double x) {
                if (faults_at(x - offset)) tarvik::fail("bad element {}", {static_cast<U64>(x - offset)});
                return x * 2.0;
            }, min);
        }
    } catch (const EngineFault& e) {
        fault = e.message();
    }
    const std::string want = first_bad < n ? "bad element " + std::to_string(first_bad) : "no fault";
    if (fault != want) report("wrong fault", n, min, threads, "got \"" + fault + "\", want \"" + want + "\"");
    if (fault != "no fault") return;
    if (out.size() != n) report("wrong length", n, min, threads, std::to_string(out.size()));
    for (U64 i = 0; i < n; ++i) {
        const double expected = zip ? offset : (static_cast<double>(i) + offset) * 2.0;
        if (std::bit_cast<U64>(out[i]) != std::bit_cast<U64>(expected))
            report("wrong element", n, min, threads, std::to_string(i) + " = " + std::to_string(out[i]));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider provider(data, size);
    for (int call = 0; call < 2 && provider.remaining_bytes() > 0; ++call) run_one(provider);
    return 0;
}
