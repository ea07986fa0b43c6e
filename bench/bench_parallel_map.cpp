// The parallel map service against a plain loop over the same data, and the costs that choose its
// minimum piece length: a hand-off to the pool, and the first touch of a fresh output.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <thread>
#include <vector>

#include "parallel/parallel_map.hpp"

using namespace tarvik;

namespace {

WorkerPool& pool_of(std::size_t threads) {
    static std::unique_ptr<WorkerPool> pools[3];
    if (!pools[threads]) pools[threads] = std::make_unique<WorkerPool>(threads);
    return *pools[threads];
}

std::vector<double> ramp(std::size_t n, double step) {
    std::vector<double> values(n);
    for (std::size_t i = 0; i < n; ++i) values[i] = static_cast<double>(i) * step;
    return values;
}

const auto sum = [](double x, double y) { return x + y; };

// The sequential baseline: one fresh output, one loop.
void plain_loop(benchmark::State& state) {
    const auto n = static_cast<std::size_t>(state.range(0));
    const auto a = ramp(n, 0.5), b = ramp(n, 0.25);
    for (auto _ : state) {
        Buffer<double> out = uninitialized_buffer<double>(n);
        for (std::size_t i = 0; i < n; ++i) out[i] = sum(a[i], b[i]);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * n * 3 * sizeof(double)));
}

// args: n, threads, minimum piece length (0 = the default).
void service(benchmark::State& state) {
    const auto n = static_cast<std::size_t>(state.range(0));
    WorkerPool& pool = pool_of(static_cast<std::size_t>(state.range(1)));
    const auto min_piece = state.range(2) == 0 ? default_min_piece_length : static_cast<std::uint64_t>(state.range(2));
    const auto a = ramp(n, 0.5), b = ramp(n, 0.25);
    for (auto _ : state) {
        Buffer<double> out = parallel_zip_map(pool, a, b, sum, min_piece);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * n * 3 * sizeof(double)));
}

// One job handed in from outside and run by a worker; args: threads, microseconds idle between
// calls (0 = back to back, so the workers are still spinning; longer gaps let them fall asleep).
void hand_off(benchmark::State& state) {
    WorkerPool& pool = pool_of(static_cast<std::size_t>(state.range(0)));
    const auto gap = std::chrono::microseconds(state.range(1));
    for (auto _ : state) {
        if (gap.count() > 0) {
            state.PauseTiming();
            std::this_thread::sleep_for(gap);
            state.ResumeTiming();
        }
        benchmark::DoNotOptimize(pool.run_outside([](WorkerPool::Worker& w) { return w.index; }));
    }
}

// A fork-join from outside whose halves are trivial: the hand-off plus a possible steal.
void hand_off_with_join(benchmark::State& state) {
    WorkerPool& pool = pool_of(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        auto halves = pool.run_outside([&](WorkerPool::Worker& w) {
            return pool.join(w, [](WorkerPool::Worker&, bool) { return 1; }, [](WorkerPool::Worker&, bool) { return 2; },
                             true);
        });
        benchmark::DoNotOptimize(halves);
    }
}

// Writing a whole output: args n, then 0 = into a reused buffer, 1 = into a fresh one from
// allocate_bytes (huge-page advice), 2 = into a fresh one with small pages only.
void first_touch(benchmark::State& state) {
    const auto n = static_cast<std::size_t>(state.range(0));
    const auto kind = state.range(1);
    void* reused = allocate_bytes(n * sizeof(double));
    for (auto _ : state) {
        void* fresh = kind == 1 ? allocate_bytes(n * sizeof(double)) : kind == 2 ? std::aligned_alloc(64, n * sizeof(double)) : reused;
        auto* target = static_cast<double*>(fresh);
        for (std::size_t i = 0; i < n; ++i) target[i] = static_cast<double>(i);
        benchmark::DoNotOptimize(target);
        if (fresh != reused) std::free(fresh);
    }
    release_bytes(reused);
}

}  // namespace

BENCHMARK(plain_loop)->Arg(10)->Arg(10000)->Arg(100000)->Arg(1000000)->Arg(20000000)->UseRealTime();
BENCHMARK(service)
    ->ArgsProduct({{10, 10000, 100000, 1000000, 20000000}, {1, 2}, {0}})
    ->UseRealTime();
// Sweep of the minimum piece length at sizes where the choice matters.
BENCHMARK(service)
    ->ArgsProduct({{65536, 262144, 1000000}, {2}, {4096, 16384, 32768, 131072, 1 << 30}})
    ->UseRealTime();
BENCHMARK(hand_off)->ArgsProduct({{1, 2}, {0, 1000}})->UseRealTime();
BENCHMARK(hand_off_with_join)->Arg(1)->Arg(2)->UseRealTime();
BENCHMARK(first_touch)->ArgsProduct({{1000000, 20000000}, {0, 1, 2}})->UseRealTime();

BENCHMARK_MAIN();
