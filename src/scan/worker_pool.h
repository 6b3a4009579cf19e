// A fixed set of threads that run one task at a time, each worker calling it
// once with its own index, while the caller blocks. The scan keeps one pool
// for the whole process (shared_worker_pool), made on first use.
//
//   std::exception_ptr failure = pool.run_on_all([&](std::size_t worker) { ... });
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace brightloom {

// Readies a new worker thread before it takes any task; false refuses the
// thread, which then ends at once. Tests substitute their own.
using WorkerStart = bool (*)(std::size_t worker) noexcept;
// The default: ready_thread_for_exceptions, so no exception on a worker can
// end the process for want of its thread-local data.
bool prepare_worker_thread(std::size_t worker) noexcept;

class WorkerPool {
public:
    // Starts up to `worker_count` threads, one at a time, each readied by
    // `start`. At the first thread the system refuses (no thread, no memory)
    // or `start` refuses, the pool stops and keeps those it got, possibly
    // none (size() tells); a caller with none does the work itself.
    explicit WorkerPool(std::size_t worker_count, WorkerStart start = prepare_worker_thread);
    // Stops the workers between tasks and joins them.
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    std::size_t size() const { return threads_.size(); }

    // Calls task(i) once on worker i for every worker and returns when all
    // calls have returned. An exception thrown by the task stays on its
    // worker, which still counts its call as finished; the first one is
    // returned (null when none). Tasks from several callers run one after
    // another. With no workers nothing runs.
    std::exception_ptr run_on_all(const std::function<void(std::size_t)>& task);

private:
    enum class StartState { waiting, ready, refused };

    bool start_worker(std::size_t index, WorkerStart start);
    void work(std::size_t index, WorkerStart start) noexcept;

    std::mutex run_mutex_;  // held by the caller for a whole task
    std::mutex mutex_;      // guards the fields below
    std::condition_variable task_posted_;
    std::condition_variable task_finished_;
    const std::function<void(std::size_t)>* task_ = nullptr;
    std::uint64_t generation_ = 0;  // counts posted tasks; workers wait for a new one
    std::size_t unfinished_ = 0;
    bool stopping_ = false;
    StartState start_state_ = StartState::waiting;  // of the thread being started
    std::condition_variable start_settled_;
    std::exception_ptr first_failure_;
    std::vector<std::thread> threads_;
};

// Processors this process may run on (sched_getaffinity), at least 1.
std::size_t available_processors();

// The process-wide pool with one worker per available processor, created on
// the first call and never released. In a child made by fork() the parent's
// workers do not exist, so the first call there builds a new pool and
// abandons the old one without waiting on it. While no worker at all can be
// started, an empty pool is returned and the next call tries again.
WorkerPool& shared_worker_pool();

}  // namespace brightloom
