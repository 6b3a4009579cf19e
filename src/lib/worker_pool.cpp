#include "worker_pool.h"

#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <utility>

namespace brightloom {

WorkerPool::WorkerPool(std::size_t worker_count) {
    // Workers block every signal, so that signals meant for the process are
    // delivered to the threads that expect them (the interpreter's main
    // thread) and never interrupt a worker's reads.
    sigset_t all_signals;
    sigset_t previous;
    sigfillset(&all_signals);
    pthread_sigmask(SIG_SETMASK, &all_signals, &previous);
    threads_.reserve(worker_count);
    for (std::size_t i = 0; i < worker_count; ++i) {
        try {
            threads_.emplace_back([this, i] { work(i); });
        } catch (const std::system_error&) {
            break;  // out of threads: run with those that started
        }
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

WorkerPool::~WorkerPool() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    task_posted_.notify_all();
    for (std::thread& thread : threads_) thread.join();
}

std::exception_ptr WorkerPool::run_on_all(const std::function<void(std::size_t)>& task) {
    std::lock_guard run_lock(run_mutex_);
    std::unique_lock lock(mutex_);
    if (threads_.empty()) return nullptr;
    task_ = &task;
    unfinished_ = threads_.size();
    first_failure_ = nullptr;
    ++generation_;
    task_posted_.notify_all();
    task_finished_.wait(lock, [this] { return unfinished_ == 0; });
    task_ = nullptr;
    return std::exchange(first_failure_, nullptr);
}

void WorkerPool::work(std::size_t index) noexcept {
    std::uint64_t seen_generation = 0;
    for (;;) {
        const std::function<void(std::size_t)>* task;
        {
            std::unique_lock lock(mutex_);
            task_posted_.wait(lock, [&] { return stopping_ || generation_ != seen_generation; });
            if (stopping_) return;
            seen_generation = generation_;
            task = task_;
        }
        // Nothing leaves this thread: a failure is handed to the caller as a
        // value and the call still counts as finished, so the caller's wait
        // ends whatever the task did.
        std::exception_ptr failure;
        try {
            (*task)(index);
        } catch (...) {
            failure = std::current_exception();
        }
        std::lock_guard lock(mutex_);
        // This thread's reference goes while the lock is held: the caller may
        // destroy the exception as soon as it wakes, and the reference count
        // lives in uninstrumented libstdc++, where ThreadSanitizer cannot see
        // that it orders the two threads.
        if (failure && !first_failure_) first_failure_ = std::move(failure);
        failure = nullptr;
        if (--unfinished_ == 0) task_finished_.notify_all();
    }
}

std::size_t available_processors() {
    // The set may be larger than cpu_set_t on big machines; grow until the
    // kernel's mask fits.
    for (int slots = CPU_SETSIZE; slots <= (1 << 16); slots *= 2) {
        cpu_set_t* set = CPU_ALLOC(slots);
        if (set == nullptr) break;
        const std::size_t bytes = CPU_ALLOC_SIZE(slots);
        const bool got = sched_getaffinity(0, bytes, set) == 0;
        const int count = got ? CPU_COUNT_S(bytes, set) : 0;
        CPU_FREE(set);
        if (got) return count > 0 ? static_cast<std::size_t>(count) : 1;
        if (errno != EINVAL) break;
    }
    const unsigned fallback = std::thread::hardware_concurrency();
    return fallback > 0 ? fallback : 1;
}

namespace {

// The registry: the pool pointer is replaced (and the old pool leaked) in a
// forked child. The mutex is held across fork() by the atfork handlers, so a
// child never inherits it locked by a thread that does not exist there.
std::mutex registry_mutex;
WorkerPool* shared_pool = nullptr;
pid_t shared_pool_owner = 0;  // the process that started its workers

void lock_registry() { registry_mutex.lock(); }
void unlock_registry() { registry_mutex.unlock(); }
// Pools abandoned by forks, kept reachable so that a leak checker in a child
// reports nothing: each is a few hundred bytes, once per fork. The list is
// never destroyed, or the pools would become unreachable at exit.
std::vector<WorkerPool*>& abandoned_pools() {
    static auto* pools = new std::vector<WorkerPool*>;
    return *pools;
}

void forget_pool_in_child() {
    // Its threads did not survive the fork; destroying it would wait for
    // them forever. It is set aside (by shared_worker_pool, not here, so that
    // nothing allocates inside the fork handler).
    shared_pool_owner = 0;
    registry_mutex.unlock();
}

}  // namespace

WorkerPool& shared_worker_pool() {
    static const bool fork_handlers_installed = [] {
        return pthread_atfork(lock_registry, unlock_registry, forget_pool_in_child) == 0;
    }();
    static_cast<void>(fork_handlers_installed);
    std::lock_guard lock(registry_mutex);
    // The process id check backs up the fork handler, should registering it
    // have failed: a pool made by another process is never used.
    if (shared_pool == nullptr || shared_pool_owner != ::getpid()) {
        if (shared_pool != nullptr) abandoned_pools().push_back(shared_pool);
        shared_pool = new WorkerPool(available_processors());
        shared_pool_owner = ::getpid();
    }
    return *shared_pool;
}

}  // namespace brightloom
