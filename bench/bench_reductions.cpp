// The reductions and activations against the plain loops: the plain sum is one dependent addition
// per element, which the engine's sums (same order, same bits) beat where the running sum stays in
// one binade; an activation does no better than one call of the C library's exp per element. Each pair runs on the same data; compare the medians:
//     build/<dir>/bench_reductions --benchmark_repetitions=9 --benchmark_report_aggregates_only=true
#include <benchmark/benchmark.h>

#include <cmath>
#include <random>

#include "reductions.hpp"

using namespace tarvik;

namespace {

// Zero-mean values, uniform on [-5, 5], or with `same_sign` uniform on [0, 1).
FloatArray random_array(std::int64_t n, bool same_sign = false) {
    std::mt19937_64 rng(1);
    std::uniform_real_distribution<double> value(same_sign ? 0.0 : -5.0, same_sign ? 1.0 : 5.0);
    Buffer<double> data(static_cast<std::size_t>(n));
    for (auto& x : data) x = value(rng);
    return new_array(std::move(data), Shape{static_cast<std::uint64_t>(n)});
}

// Second argument: 1 for same-sign data, 0 for zero-mean data.
void plain_sum(benchmark::State& state) {
    const FloatArray a = random_array(state.range(0), state.range(1) != 0);
    for (auto _ : state) {
        double total = -0.0;
        for (double x : a.data) total += x;
        benchmark::DoNotOptimize(total);
    }
}

void engine_sum(benchmark::State& state) {
    const FloatArray a = random_array(state.range(0), state.range(1) != 0);
    for (auto _ : state) benchmark::DoNotOptimize(sum(a));
}

void engine_mean(benchmark::State& state) {
    const FloatArray a = random_array(state.range(0), state.range(1) != 0);
    for (auto _ : state) benchmark::DoNotOptimize(mean(a));
}

void plain_cumsum(benchmark::State& state) {
    const FloatArray a = random_array(state.range(0), state.range(1) != 0);
    for (auto _ : state) {
        Buffer<double> out = uninitialized_buffer<double>(a.data.size());
        double total = 0.0;
        for (std::size_t i = 0; i < out.size(); ++i) out[i] = total += a.data[i];
        benchmark::DoNotOptimize(out.data());
    }
}

void engine_cumsum(benchmark::State& state) {
    const FloatArray a = random_array(state.range(0), state.range(1) != 0);
    for (auto _ : state) benchmark::DoNotOptimize(cumsum(a).data.data());
}

// The baselines allocate their output as the engine does, so only the loops differ.
void plain_sigmoid(benchmark::State& state) {
    const FloatArray a = random_array(state.range(0));
    for (auto _ : state) {
        Buffer<double> out = uninitialized_buffer<double>(a.data.size());
        for (std::size_t i = 0; i < out.size(); ++i) out[i] = 1.0 / (::exp(-a.data[i]) + 1.0);
        benchmark::DoNotOptimize(out.data());
    }
}

void engine_sigmoid(benchmark::State& state) {
    const FloatArray a = random_array(state.range(0));
    for (auto _ : state) benchmark::DoNotOptimize(sigmoid(a).data.data());
}

void plain_softmax(benchmark::State& state) {
    const FloatArray a = random_array(state.range(0));
    for (auto _ : state) {
        Buffer<double> out = uninitialized_buffer<double>(a.data.size());
        for (std::size_t i = 0; i < out.size(); ++i) out[i] = ::exp(a.data[i]);
        double total = -0.0;
        for (double e : out) total += e;
        for (double& e : out) e /= total;
        benchmark::DoNotOptimize(out.data());
    }
}

void engine_softmax(benchmark::State& state) {
    const FloatArray a = random_array(state.range(0));
    for (auto _ : state) benchmark::DoNotOptimize(softmax(a).data.data());
}

// The sums at 1e3, 1e6 and 2e7 elements, on zero-mean and on same-sign data.
void sum_sizes(benchmark::internal::Benchmark* b) { b->ArgsProduct({{1000, 1000000, 20000000}, {0, 1}}); }

}  // namespace

BENCHMARK(plain_sum)->Apply(sum_sizes);
BENCHMARK(engine_sum)->Apply(sum_sizes);
BENCHMARK(engine_mean)->Apply(sum_sizes);
BENCHMARK(plain_cumsum)->Apply(sum_sizes);
BENCHMARK(engine_cumsum)->Apply(sum_sizes);
BENCHMARK(plain_sigmoid)->Arg(1 << 10)->Arg(1 << 20);
BENCHMARK(engine_sigmoid)->Arg(1 << 10)->Arg(1 << 20);
BENCHMARK(plain_softmax)->Arg(1 << 10)->Arg(1 << 20);
BENCHMARK(engine_softmax)->Arg(1 << 10)->Arg(1 << 20);

BENCHMARK_MAIN();
