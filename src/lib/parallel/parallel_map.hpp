// Order-preserving parallel map and collect over 64-bit floats, on the worker pool.
//
// The index range is halved recursively into pieces. Each piece writes straight into its own
// window of one output buffer, allocated once at its final size; results are stitched back in
// order by checking that each left piece's writes end where its right neighbour's window begins.
//
// Splitting adapts to the load through a split budget: a piece may halve while its budget lasts
// (halving the budget each time), and a piece that moved to another thread gets a fresh budget of
// at least the thread count, so stealing breaks the work up only where workers are idle.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>
#include <utility>

#include "base/buffer.hpp"
#include "base/fault.hpp"
#include "base/simd.hpp"
#include "parallel/worker_pool.hpp"

namespace tarvik {

// Pieces shorter than this are never split off, and inputs shorter than twice this run on the
// calling thread alone (the pool is still started). Chosen by measurement (bench/
// bench_parallel_map on a 2-processor machine): handing a job to a worker and collecting it costs
// about 8-15 microseconds when the workers are still spinning and 20-50 when they must be woken,
// while the AVX2 element loop runs at about 0.2-0.3 ns per element on cache-resident data (1-2 ns
// once it streams from memory). A piece given away should run for several hand-offs: 131072
// elements take 30-40 microseconds at the fastest. Smaller pieces lost: with 32768 a 262144-element
// add took 72 us against 61 us on the calling thread alone, and on a loaded machine every split
// below this size cost about 10 us without gaining anything.
inline constexpr std::uint64_t default_min_piece_length = 131072;

// Where a piece's writes began and how many it made.
struct PieceResult {
    std::uint64_t start;
    std::uint64_t count;
};

namespace map_detail {

// Runs `loop`, a whole element loop, compiled for 256-bit vectors when the processor has them (the
// module itself targets every x86-64). The element rule is inlined either way; without fused
// multiply-add contraction both builds give the same bits.
template <class Loop>
TARVIK_TARGET_AVX2 void run_avx2(const Loop& loop) {
    loop();
}

template <class Loop>
void run_vectorised(const Loop& loop) {
    if (widest_isa() != Isa::portable)
        run_avx2(loop);
    else
        loop();
}

// The output window [start, start + length) of a piece.
struct OutputWindow {
    double* data;  // the whole output
    std::uint64_t start;
    std::uint64_t length;

    std::pair<OutputWindow, OutputWindow> split_at(std::uint64_t index) const {
        if (index > length) fail_internal("assertion failed: index <= len");
        return {{data, start, index}, {data, start + index, length - index}};
    }
};

// One input, read element by element.
struct OneInput {
    const double* data;
    std::uint64_t length;

    std::pair<OneInput, OneInput> split_at(std::uint64_t mid) const {
        if (mid > length) fail_internal("mid > len");
        return {{data, mid}, {data + mid, length - mid}};
    }
    template <class F>
    void map_into(double* out, const F& f) const {
        run_vectorised([out, in = data, n = length, &f]() __attribute__((always_inline)) {
            double* __restrict o = out;
            const double* __restrict x = in;
            for (std::uint64_t i = 0; i < n; ++i) o[i] = f(x[i]);
        });
    }
};

// Two inputs, read pairwise.
struct TwoInputs {
    const double* a;
    const double* b;
    std::uint64_t length;

    std::pair<TwoInputs, TwoInputs> split_at(std::uint64_t mid) const {
        if (mid > length) fail_internal("mid > len");
        return {{a, b, mid}, {a + mid, b + mid, length - mid}};
    }
    template <class F>
    void map_into(double* out, const F& f) const {
        run_vectorised([out, a = a, b = b, n = length, &f]() __attribute__((always_inline)) {
            double* __restrict o = out;
            const double* __restrict x = a;
            const double* __restrict y = b;
            for (std::uint64_t i = 0; i < n; ++i) o[i] = f(x[i], y[i]);
        });
    }
};

inline PieceResult combine(PieceResult left, PieceResult right) {
    if (left.start + left.count == right.start) return {left.start, left.count + right.count};
    return left;
}

template <class Input, class F>
struct Mapper {
    WorkerPool& pool;
    const F& f;
    std::uint64_t threads;
    std::uint64_t min_piece_length;

    // `me` is null on the calling thread, which is never one of the pool's workers.
    PieceResult run(WorkerPool::Worker* me, Input input, OutputWindow out, std::uint64_t budget, bool moved) const {
        const std::uint64_t mid = input.length / 2;
        bool split = false;
        if (mid >= min_piece_length) {
            if (moved) {
                split = true;
                budget = std::max(threads, budget / 2);
            } else if (budget > 0) {
                split = true;
                budget /= 2;
            }
        }
        if (!split) return run_sequential(input, out);

        const auto [left_input, right_input] = input.split_at(mid);
        const auto [left_out, right_out] = out.split_at(mid);
        auto left = [&, left_input = left_input, left_out = left_out](WorkerPool::Worker& w, bool m) {
            return run(&w, left_input, left_out, budget, m);
        };
        auto right = [&, right_input = right_input, right_out = right_out](WorkerPool::Worker& w, bool m) {
            return run(&w, right_input, right_out, budget, m);
        };
        std::pair<PieceResult, PieceResult> halves;
        if (me != nullptr) {
            halves = pool.join(*me, left, right, false);
        } else {
            // The first split of an outside call travels to the pool as one job; both its halves
            // count as moved.
            halves = pool.run_outside([&](WorkerPool::Worker& w) { return pool.join(w, left, right, true); });
        }
        return combine(halves.first, halves.second);
    }

    PieceResult run_sequential(Input input, OutputWindow out) const {
        if (input.length > out.length) fail_internal("too many values pushed to consumer");
        input.map_into(out.data + out.start, f);
        return {out.start, input.length};
    }
};

template <class Input, class F>
Buffer<double> map_and_collect(WorkerPool& pool, Input input, const F& f, std::uint64_t min_piece_length) {
    const std::uint64_t threads = pool.thread_count();
    const std::uint64_t n = input.length;
    Buffer<double> output;
    reserve_exact(output, n);
    if (output.capacity() < n) fail_internal("assertion failed: vec.capacity() - start >= len");
    // Default-initialising: no page of the output is touched here, so each piece faults in the
    // pages of its own window on the thread that writes them.
    output.resize(n);

    const Mapper<Input, F> mapper{pool, f, threads, std::max<std::uint64_t>(min_piece_length, 1)};
    const PieceResult written = mapper.run(nullptr, input, {output.data(), 0, n}, threads, false);
    if (written.count != n) fail_internal("expected {} total writes, but got {}", {n, written.count});
    return output;
}

}  // namespace map_detail

// Element i of the result is f(input[i]). Runs on `pool`; inputs shorter than twice
// `min_piece_length` are mapped on the calling thread.
template <class F>
Buffer<double> parallel_map(WorkerPool& pool, std::span<const double> input, const F& f,
                            std::uint64_t min_piece_length = default_min_piece_length) {
    return map_detail::map_and_collect(pool, map_detail::OneInput{input.data(), input.size()}, f, min_piece_length);
}

// Element i of the result is f(a[i], b[i]), for i below the shorter length.
template <class F>
Buffer<double> parallel_zip_map(WorkerPool& pool, std::span<const double> a, std::span<const double> b, const F& f,
                                std::uint64_t min_piece_length = default_min_piece_length) {
    const std::uint64_t n = std::min(a.size(), b.size());
    return map_detail::map_and_collect(pool, map_detail::TwoInputs{a.data(), b.data(), n}, f, min_piece_length);
}

// The same on the process-wide pool, which the first call starts.
template <class F>
Buffer<double> parallel_map(std::span<const double> input, const F& f) {
    return parallel_map(global_worker_pool(), input, f);
}

template <class F>
Buffer<double> parallel_zip_map(std::span<const double> a, std::span<const double> b, const F& f) {
    return parallel_zip_map(global_worker_pool(), a, b, f);
}

}  // namespace tarvik
