// The pool of worker threads behind the parallel map service.
//
// Each worker owns a work-stealing deque of pending jobs; work handed in from outside the pool
// goes to one shared queue. Idle workers spin briefly, then sleep until work or a finished job is
// announced. Fork-join (`join`) pushes the right half where idle workers can steal it, runs the
// left half, then keeps running pending jobs (its own or stolen ones) until the right half is
// done, so nested fork-joins never leave a worker blocked while work is waiting.
//
// One process-wide instance serves the engine (`global_worker_pool`); tests build their own with
// an explicit thread count.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <pthread.h>
#include <type_traits>
#include <utility>
#include <vector>

#include "parallel/work_stealing_deque.hpp"

namespace tarvik {

class WorkerPool {
public:
    class Worker;

    // Starts all `thread_count` workers (at least one). If a thread cannot be started, the ones
    // already running are stopped and the constructor raises EngineFault naming the cause.
    explicit WorkerPool(std::size_t thread_count);
    // Stops and joins the workers; no job may be pending.
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    std::size_t thread_count() const noexcept { return workers_.size(); }

    // Runs `body(worker)` on one of the workers from a thread outside the pool and blocks on a
    // lock and condition variable until it has finished; a fault it raised is raised again here.
    template <class Body>
    std::invoke_result_t<Body&, Worker&> run_outside(Body&& body);

    // Fork-join on worker `me`: runs left(worker, moved) and right(worker, moved), possibly in
    // parallel, and returns both results. `moved` is true when the half runs on a worker other
    // than `me`, or when `injected` is set (the first split of work handed in from outside). If
    // either half faults, the other is still awaited; the left fault wins.
    template <class Left, class Right>
    auto join(Worker& me, Left&& left, Right&& right, bool injected)
        -> std::pair<std::invoke_result_t<Left&, Worker&, bool>, std::invoke_result_t<Right&, Worker&, bool>>;

private:
    // A type-erased unit of work. Its owner keeps it alive until it is done.
    struct Job {
        void (*run)(Job& job, Worker& executor);
    };

    template <class Body, class Result>
    struct JoinHalf;
    template <class Body, class Result>
    struct OutsideJob;

    static void* worker_main(void* worker);
    void stop_workers(std::size_t started);

    void push_local(Worker& me, Job* job);
    void inject(Job* job);
    Job* find_work(Worker& me);
    // Runs pending jobs on `me` until `done` is set, sleeping when there is nothing to do.
    void work_until(Worker& me, const std::atomic<bool>& done);
    // Sleeps until an event newer than `seen_events` is announced or `done` is set.
    void sleep(const std::atomic<bool>& done, std::uint64_t seen_events);
    // Announces new work (wake one sleeper) or a finished half (wake all, as its owner may sleep).
    void announce(bool wake_all);
    // Marks a stolen half done and wakes its owner if it sleeps; touches nothing of the half after.
    void finish(std::atomic<bool>& done);

    std::vector<std::unique_ptr<Worker>> workers_;

    // Work handed in from outside the pool. Its length is mirrored in an atomic so that idle
    // workers can poll it without taking the lock.
    alignas(cache_line_size) std::mutex injected_mutex_;
    std::deque<Job*> injected_;
    std::atomic<std::size_t> injected_count_{0};

    // Sleep and wake: every announcement bumps `events_`; a worker about to sleep registers in
    // `sleepers_` and sleeps only if no event happened since it last looked for work.
    alignas(cache_line_size) std::atomic<std::uint64_t> events_{0};
    std::atomic<std::size_t> sleepers_{0};
    std::mutex sleep_mutex_;
    std::condition_variable wake_;
    std::atomic<bool> terminating_{false};
};

class WorkerPool::Worker {
public:
    Worker(WorkerPool& pool_, std::size_t index_) : pool(pool_), index(index_), next_victim(index_ + 1) {}

    WorkerPool& pool;
    const std::size_t index;

private:
    friend class WorkerPool;
    WorkStealingDeque<Job*> deque;
    std::size_t next_victim;
    pthread_t thread{};
};

// A stolen-or-not half of a fork-join, living on the joining worker's stack.
template <class Body, class Result>
struct WorkerPool::JoinHalf : Job {
    JoinHalf(Body& body_, std::size_t creator_, bool injected_)
        : Job{&JoinHalf::execute}, body(body_), creator(creator_), injected(injected_) {}

    static void execute(Job& job, Worker& executor) {
        auto& self = static_cast<JoinHalf&>(job);
        const bool moved = self.injected || executor.index != self.creator;
        try {
            self.result.emplace(self.body(executor, moved));
        } catch (...) {
            self.fault = std::current_exception();
        }
        executor.pool.finish(self.done);
    }

    Body& body;
    std::size_t creator;
    bool injected;
    std::optional<Result> result;
    std::exception_ptr fault;
    std::atomic<bool> done{false};
};

// Work handed in from outside, living on the caller's stack while the caller waits.
template <class Body, class Result>
struct WorkerPool::OutsideJob : Job {
    explicit OutsideJob(Body& body_) : Job{&OutsideJob::execute}, body(body_) {}

    static void execute(Job& job, Worker& executor) {
        auto& self = static_cast<OutsideJob&>(job);
        try {
            self.result.emplace(self.body(executor));
        } catch (...) {
            self.fault = std::current_exception();
        }
        // Flag and notify under the lock: once the caller can see `finished` it may destroy the
        // job, so nothing of it is touched after the unlock.
        std::lock_guard lock(self.mutex);
        self.finished = true;
        self.finished_signal.notify_one();
    }

    Body& body;
    std::optional<Result> result;
    std::exception_ptr fault;
    std::mutex mutex;
    std::condition_variable finished_signal;
    bool finished = false;
};

template <class Body>
std::invoke_result_t<Body&, WorkerPool::Worker&> WorkerPool::run_outside(Body&& body) {
    using Result = std::invoke_result_t<Body&, Worker&>;
    OutsideJob<std::remove_reference_t<Body>, Result> job(body);
    inject(&job);
    {
        std::unique_lock lock(job.mutex);
        job.finished_signal.wait(lock, [&] { return job.finished; });
    }
    if (job.fault) std::rethrow_exception(job.fault);
    return std::move(*job.result);
}

template <class Left, class Right>
auto WorkerPool::join(Worker& me, Left&& left, Right&& right, bool injected)
    -> std::pair<std::invoke_result_t<Left&, Worker&, bool>, std::invoke_result_t<Right&, Worker&, bool>> {
    using LeftResult = std::invoke_result_t<Left&, Worker&, bool>;
    using RightResult = std::invoke_result_t<Right&, Worker&, bool>;
    JoinHalf<std::remove_reference_t<Right>, RightResult> right_half(right, me.index, injected);
    push_local(me, &right_half);

    std::optional<LeftResult> left_result;
    std::exception_ptr left_fault;
    try {
        left_result.emplace(left(me, injected));
    } catch (...) {
        left_fault = std::current_exception();
    }
    // Either pops the right half back and runs it here, or runs other work while a thief does.
    work_until(me, right_half.done);

    if (left_fault) std::rethrow_exception(left_fault);
    if (right_half.fault) std::rethrow_exception(right_half.fault);
    return {std::move(*left_result), std::move(*right_half.result)};
}

// The process-wide pool, created with the environment's thread count at the first call. Creation
// is attempted once per process (a child forked after it counts as a new process); if it failed,
// this and every later call raise the same "The global thread pool has not been initialized."
// fault.
WorkerPool& global_worker_pool();

// The process-wide pool's thread count, starting the pool if it is not running yet.
std::size_t thread_count();

}  // namespace tarvik
