#include "parallel/worker_pool.hpp"

#include <cstring>
#include <string>

#include <sched.h>

#include "base/fault.hpp"
#include "parallel/pool_sizing.hpp"

namespace tarvik {

namespace {

// Pieces recurse about log2(n) deep and a waiting worker may run a few jobs on top of its own, so
// a small stack is plenty; keeping it small keeps a large pool's address space modest.
constexpr std::size_t worker_stack_bytes = std::size_t{1} << 20;

// Rounds of looking for work before an idle worker sleeps. A sleeping worker takes tens of
// microseconds to wake (futex wake plus rescheduling on a busy machine), while the next piece of
// a fork-join or the next call from a loop usually arrives within a few. Each round yields the
// processor, so spinning never starves the thread that is about to hand work in.
constexpr int idle_rounds_before_sleep = 64;

}  // namespace

WorkerPool::WorkerPool(std::size_t thread_count) {
    if (thread_count == 0) thread_count = 1;
    workers_.reserve(thread_count);
    for (std::size_t i = 0; i < thread_count; ++i) workers_.push_back(std::make_unique<Worker>(*this, i));

    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstacksize(&attributes, worker_stack_bytes);
    for (std::size_t i = 0; i < thread_count; ++i) {
        const int error = pthread_create(&workers_[i]->thread, &attributes, &WorkerPool::worker_main, workers_[i].get());
        if (error != 0) {
            pthread_attr_destroy(&attributes);
            stop_workers(i);
            fail("failed to start worker thread {} of {}: {}", {i + 1, thread_count, std::strerror(error)});
        }
    }
    pthread_attr_destroy(&attributes);
}

WorkerPool::~WorkerPool() { stop_workers(workers_.size()); }

void WorkerPool::stop_workers(std::size_t started) {
    terminating_.store(true, std::memory_order_release);
    announce(true);
    for (std::size_t i = 0; i < started; ++i) pthread_join(workers_[i]->thread, nullptr);
}

void* WorkerPool::worker_main(void* argument) {
    auto& me = *static_cast<Worker*>(argument);
    const std::string name = "tarvik-" + std::to_string(me.index);
    pthread_setname_np(pthread_self(), name.substr(0, 15).c_str());
    me.pool.work_until(me, me.pool.terminating_);
    return nullptr;
}

void WorkerPool::push_local(Worker& me, Job* job) {
    me.deque.push(job);
    announce(false);
}

void WorkerPool::inject(Job* job) {
    {
        std::lock_guard lock(injected_mutex_);
        injected_.push_back(job);
        // Relaxed: the lock orders it with the queue; pollers re-check under the lock.
        injected_count_.fetch_add(1, std::memory_order_relaxed);
    }
    announce(false);
}

WorkerPool::Job* WorkerPool::find_work(Worker& me) {
    Job* job = nullptr;
    if (me.deque.pop(job)) return job;

    // Relaxed: a stale zero only delays pickup until the announcement wakes this worker again.
    if (injected_count_.load(std::memory_order_relaxed) > 0) {
        std::lock_guard lock(injected_mutex_);
        if (!injected_.empty()) {
            job = injected_.front();
            injected_.pop_front();
            injected_count_.fetch_sub(1, std::memory_order_relaxed);
            return job;
        }
    }

    const std::size_t count = workers_.size();
    bool retry = true;
    while (retry) {
        retry = false;
        for (std::size_t k = 0; k < count; ++k) {
            const std::size_t victim = (me.next_victim + k) % count;
            if (victim == me.index) continue;
            auto stolen = workers_[victim]->deque.steal();
            if (stolen.outcome == WorkStealingDeque<Job*>::StealOutcome::taken) {
                me.next_victim = victim;
                return stolen.item;
            }
            if (stolen.outcome == WorkStealingDeque<Job*>::StealOutcome::lost_race) retry = true;
        }
    }
    return nullptr;
}

void WorkerPool::work_until(Worker& me, const std::atomic<bool>& done) {
    int idle_rounds = 0;
    // Acquire pairs with the release in `finish`, so the half's result is visible once done.
    while (!done.load(std::memory_order_acquire)) {
        // seq_cst: read before looking for work, so that work announced after this read is
        // either found below or prevents the sleep (see `sleep`).
        const std::uint64_t seen_events = events_.load(std::memory_order_seq_cst);
        if (Job* job = find_work(me)) {
            job->run(*job, me);
            idle_rounds = 0;
            continue;
        }
        if (idle_rounds < idle_rounds_before_sleep) {
            ++idle_rounds;
            sched_yield();
            continue;
        }
        sleep(done, seen_events);
        idle_rounds = 0;
    }
}

void WorkerPool::sleep(const std::atomic<bool>& done, std::uint64_t seen_events) {
    std::unique_lock lock(sleep_mutex_);
    // seq_cst (with the seq_cst event bump and sleeper read in `announce`): either the announcer
    // sees this registration and notifies, or this thread sees the announcer's event and stays up.
    sleepers_.fetch_add(1, std::memory_order_seq_cst);
    // Relaxed `done` inside the wait: a missed flag is caught by the acquire load in work_until.
    wake_.wait(lock, [&] {
        return events_.load(std::memory_order_seq_cst) != seen_events || done.load(std::memory_order_relaxed);
    });
    // Relaxed: only announcers read it, and a stale non-zero merely costs one spare notify.
    sleepers_.fetch_sub(1, std::memory_order_relaxed);
}

void WorkerPool::announce(bool wake_all) {
    // seq_cst: the other half of the handshake in `sleep`.
    events_.fetch_add(1, std::memory_order_seq_cst);
    if (sleepers_.load(std::memory_order_seq_cst) == 0) return;
    // Taking the lock waits out a sleeper that registered but has not started waiting yet.
    { std::lock_guard lock(sleep_mutex_); }
    if (wake_all)
        wake_.notify_all();
    else
        wake_.notify_one();
}

void WorkerPool::finish(std::atomic<bool>& done) {
    // Release: publishes the half's result (or fault) to the joining worker's acquire load.
    done.store(true, std::memory_order_release);
    announce(true);
}

// ---- The process-wide pool ----

namespace {

struct GlobalPoolState {
    std::mutex creation;
    std::atomic<WorkerPool*> pool{nullptr};
    // The fault message of a failed creation, repeated by every later call.
    std::optional<std::string> failure;
};

GlobalPoolState& global_state() {
    // Never destroyed: the pool's threads outlive static destruction.
    static GlobalPoolState* state = new GlobalPoolState;
    return *state;
}

// A child forked after the pool started has none of its threads. Forgetting the inherited pool
// (its memory is simply left behind) makes the child's first call create one of its own. Holding
// the creation lock across fork keeps the child from inheriting it half-taken.
void before_fork() { global_state().creation.lock(); }
void after_fork_in_parent() { global_state().creation.unlock(); }
void after_fork_in_child() {
    GlobalPoolState& state = global_state();
    // Relaxed: the child has a single thread at this point.
    state.pool.store(nullptr, std::memory_order_relaxed);
    state.failure.reset();
    state.creation.unlock();
}

// Done during static initialisation, while the process is still single-threaded: a fork that
// lands while another thread creates the pool then always finds the handlers in place and the
// state's own initialisation finished, instead of leaving the child stuck on either.
[[maybe_unused]] const bool fork_handlers_installed = [] {
    global_state();
    return pthread_atfork(&before_fork, &after_fork_in_parent, &after_fork_in_child) == 0;
}();

WorkerPool& create_global_pool() {
    GlobalPoolState& state = global_state();
    std::lock_guard lock(state.creation);
    // Relaxed: the lock orders this with the store below made by another creator.
    if (WorkerPool* pool = state.pool.load(std::memory_order_relaxed)) return *pool;
    if (state.failure) throw EngineFault(*state.failure);
    try {
        auto* pool = new WorkerPool(thread_count_from_environment());
        // Release: a caller that loads the pointer with acquire sees a fully built pool.
        state.pool.store(pool, std::memory_order_release);
        return *pool;
    } catch (const std::exception& cause) {
        state.failure = std::string("The global thread pool has not been initialized.: ") + cause.what();
    }
    throw EngineFault(*state.failure);
}

}  // namespace

WorkerPool& global_worker_pool() {
    // Acquire pairs with the release store in create_global_pool.
    if (WorkerPool* pool = global_state().pool.load(std::memory_order_acquire)) return *pool;
    return create_global_pool();
}

std::size_t thread_count() { return global_worker_pool().thread_count(); }

}  // namespace tarvik
