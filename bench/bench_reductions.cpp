// The reductions and activations against the plain loops: the plain sum is one dependent addition
// per element, which the engine's sums (same order, same bits) beat where the running sum stays in
// one binade; an activation does no better than one call of the C library's exp per element. Each pair runs on the same data; compare the medians:
//     build/<dir>/bench_reductions --benchmark_repetitions=9 --benchmark_report_aggregates_only=true
#include <benchmark/benchmark.h>

#include <cmath>
#include <random>

#include "ops/reductions.hpp"

using namespace tarvik;

namespace {

enum Data { uniform_zero_mean, same_sign, normal };

// Zero-mean values, uniform on [-5, 5] (whose coarse grid ties often against the running sum) or
// standard normal, or same-sign values, uniform on [0, 1).
FloatArray random_array(std::int64_t n, std::int64_t kind = uniform_zero_mean) {
    std::mt19937_64 rng(1);
    std::uniform_real_distribution<double> uniform(kind == same_sign ? 0.0 : -5.0, kind == same_sign ? 1.0 : 5.0);
    std::normal_distribution<double> gaussian;
    Buffer<double> data(static_cast<std::size_t>(n));
    for (auto& x : data) x = kind == normal ? gaussian(rng) : uniform(rng);
    return new_array(std::move(data), Shape{static_cast<std::uint64_t>(n)});
}

// Second argument: the kind of data (0 uniform zero-mean, 1 same-sign, 2 normal).
void plain_sum(benchmark::State& state) {
    const FloatArray a = random_array(state.range(0), state.range(1));
    for (auto _ : state) {
        double total = -0.0;
        for (double x : a.data) total += x;
        benchmark::DoNotOptimize(total);
    }
}

void engine_sum(benchmark::State& state) {
    const FloatArray a = random_array(state.range(0), state.range(1));
    for (auto _ : state) benchmark::DoNotOptimize(sum(a));
}

void engine_mean(benchmark::State& state) {
    const FloatArray a = random_array(state.range(0), state.range(1));
    for (auto _ : state) benchmark::DoNotOptimize(mean(a));
}

void plain_cumsum(benchmark::State& state) {
    const FloatArray a = random_array(state.range(0), state.range(1));
    for (auto _ : state) {
        Buffer<double> out = uninitialized_buffer<double>(a.data.size());
        double total = 0.0;
        for (std::size_t i = 0; i < out.size(); ++i) out[i] = total += a.data[i];
        benchmark::DoNotOptimize(out.data());
    }
}

void engine_cumsum(benchmark::State& state) {
    const FloatArray a = random_array(state.range(0), state.range(1));
    for (auto _ : state) benchmark::DoNotOptimize(cumsum(a).data.data());
}

// For the running sums, a copy that adds a constant into a fresh output allocated as theirs is: one
// pass that reads the input and writes an output of its size, page mapping included. Where the
// engine's running sums come near it, the order costs next to nothing.
void stream_cumsum(benchmark::State& state) {
    const FloatArray a = random_array(state.range(0), state.range(1));
    for (auto _ : state) {
        Buffer<double> out = uninitialized_buffer<double>(a.data.size());
        for (std::size_t i = 0; i < out.size(); ++i) out[i] = a.data[i] + 1.0;
        benchmark::DoNotOptimize(out.data());
    }
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

// The sums at 1e3, 1e5 (in the second-level cache), 1e6 and 2e7 elements, on each kind of data.
void sum_sizes(benchmark::internal::Benchmark* b) { b->ArgsProduct({{1000, 100000, 1000000, 20000000}, {0, 1, 2}}); }

}  // namespace

BENCHMARK(plain_sum)->Apply(sum_sizes);
BENCHMARK(engine_sum)->Apply(sum_sizes);
BENCHMARK(engine_mean)->Apply(sum_sizes);
BENCHMARK(stream_cumsum)->Apply(sum_sizes);
BENCHMARK(plain_cumsum)->Apply(sum_sizes);
// Timed by the clock: a worker of the pool writes the sums of large outputs (while another maps
// the pages in) and the calling thread waits, so its processor time says nothing.
BENCHMARK(engine_cumsum)->Apply(sum_sizes)->UseRealTime();
BENCHMARK(plain_sigmoid)->Arg(1 << 10)->Arg(1 << 20);
BENCHMARK(engine_sigmoid)->Arg(1 << 10)->Arg(1 << 20);
BENCHMARK(plain_softmax)->Arg(1 << 10)->Arg(1 << 20);
BENCHMARK(engine_softmax)->Arg(1 << 10)->Arg(1 << 20);

BENCHMARK_MAIN();
