#include "worker_pool.h"

#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <new>
#include <system_error>
#include <memory>
#include <utility>

#include "base/thread_ready.h"

namespace brightloom {

namespace {

// Blocks every signal in the calling thread while it lives. Threads started
// meanwhile inherit the mask, so signals meant for the process go to the
// threads that expect them (the interpreter's main thread) and never
// interrupt a worker's reads.
class AllSignalsBlocked {
public:
    AllSignalsBlocked() {
        sigset_t all_signals;
        sigfillset(&all_signals);
        pthread_sigmask(SIG_SETMASK, &all_signals, &previous_);
    }
    ~AllSignalsBlocked() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
    AllSignalsBlocked(const AllSignalsBlocked&) = delete;
    AllSignalsBlocked& operator=(const AllSignalsBlocked&) = delete;

private:
    sigset_t previous_;
};

}  // namespace

bool prepare_worker_thread(std::size_t /*worker*/) noexcept { return ready_thread_for_exceptions(); }

WorkerPool::WorkerPool(std::size_t worker_count, WorkerStart start) {
    const AllSignalsBlocked blocked;
    try {
        threads_.reserve(worker_count);
    } catch (const std::bad_alloc&) {
        return;  // no workers: callers do the work themselves
    }
    for (std::size_t i = 0; i < worker_count; ++i) {
        if (!start_worker(i, start)) break;
    }
}

// Starts worker `index` and waits for it to say whether it is ready, so that
// size() counts only workers that will take tasks.
bool WorkerPool::start_worker(std::size_t index, WorkerStart start) {
    {
        std::lock_guard lock(mutex_);
        start_state_ = StartState::waiting;
    }
    try {
        // Cannot reallocate: the room was reserved.
        threads_.emplace_back([this, index, start] { work(index, start); });
    } catch (const std::system_error&) {
        return false;  // no thread to be had
    } catch (const std::bad_alloc&) {
        return false;  // no memory for the thread's record
    }
    std::unique_lock lock(mutex_);
    start_settled_.wait(lock, [this] { return start_state_ != StartState::waiting; });
    if (start_state_ == StartState::ready) return true;
    lock.unlock();
    threads_.back().join();
    threads_.pop_back();
    return false;
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

void WorkerPool::work(std::size_t index, WorkerStart start) noexcept {
    const bool ready = start(index);
    std::uint64_t seen_generation = 0;
    {
        std::lock_guard lock(mutex_);
        start_state_ = ready ? StartState::ready : StartState::refused;
    }
    start_settled_.notify_one();
    if (!ready) return;
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
        std::unique_ptr<WorkerPool> fresh;
        try {
            fresh = std::make_unique<WorkerPool>(available_processors());
        } catch (const std::bad_alloc&) {
        }
        // A pool without workers is not kept, so that a later call tries
        // again once threads or memory are to be had; callers meanwhile get
        // one that never has any and do the work themselves.
        if (fresh == nullptr || fresh->size() == 0) {
            static WorkerPool no_workers(0);
            return no_workers;
        }
        if (shared_pool != nullptr) abandoned_pools().push_back(shared_pool);
        shared_pool = fresh.release();
        shared_pool_owner = ::getpid();
    }
    return *shared_pool;
}

}  // namespace brightloom
