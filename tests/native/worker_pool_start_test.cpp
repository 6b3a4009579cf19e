// Starting the pool's workers when the system or the worker's own set-up
// refuses some of them: the pool keeps those that are ready, and a scan with
// none still gives every entry, from the calling thread.
#include "scan/worker_pool.h"

#include <pthread.h>
#include <signal.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "scan/scan_files.h"
#include "scan_test_support.h"
#include "temp_dir.h"

namespace brightloom {
namespace {

using testing::TempDir;

std::atomic<int> start_calls{0};

bool refuse_from_the_third(std::size_t worker) noexcept {
    ++start_calls;
    return worker < 2;
}

bool refuse_all(std::size_t) noexcept {
    ++start_calls;
    return false;
}

TEST(WorkerPoolStart, KeepsTheWorkersReadyBeforeTheFirstRefusal) {
    start_calls = 0;
    WorkerPool pool(5, refuse_from_the_third);
    EXPECT_EQ(pool.size(), 2u);
    EXPECT_EQ(start_calls, 3);  // no thread is tried after a refusal

    std::mutex mutex;
    std::vector<std::size_t> called;
    EXPECT_EQ(pool.run_on_all([&](std::size_t worker) {
        std::lock_guard lock(mutex);
        called.push_back(worker);
    }),
              nullptr);
    std::sort(called.begin(), called.end());
    EXPECT_EQ(called, (std::vector<std::size_t>{0, 1}));
}

TEST(WorkerPoolStart, AScanWithNoReadyWorkerRunsOnTheCaller) {
    TempDir tree;
    std::vector<ScanPath> paths;
    for (int i = 0; i < 20; ++i) {
        const std::string name = std::to_string(10 + i).append(".py");
        tree.write(name, std::string(static_cast<std::size_t>(i), '\n'));
        paths.push_back({name, true});
    }
    start_calls = 0;
    WorkerPool none(4, refuse_all);
    EXPECT_EQ(none.size(), 0u);
    EXPECT_EQ(start_calls, 1);

    const FileDescriptor root = testing::open_root(tree.path());
    const std::vector<ScanEntry> entries = testing::within_seconds(30, [&] {
        return digest_scan_paths(paths, root.get(), &none);
    });
    ASSERT_EQ(entries.size(), paths.size());
    for (std::size_t i = 0; i < entries.size(); ++i) {
        EXPECT_EQ(entries[i].path, paths[i].text);
        EXPECT_EQ(entries[i].total_lines, i == 0 ? 0u : i + 1);
    }
}

bool is_blocked(int signal_number) {
    sigset_t mask;
    pthread_sigmask(SIG_SETMASK, nullptr, &mask);
    return sigismember(&mask, signal_number) == 1;
}

// Signals meant for the process must reach the caller's thread, never a
// worker blocked in a read; the caller's own mask is left as it was.
TEST(WorkerPoolStart, WorkersBlockEverySignalAndTheCallerKeepsItsMask) {
    ASSERT_FALSE(is_blocked(SIGINT));
    WorkerPool pool(2);
    ASSERT_EQ(pool.size(), 2u);
    EXPECT_FALSE(is_blocked(SIGINT));
    std::atomic<int> blocked{0};
    EXPECT_EQ(pool.run_on_all([&](std::size_t) {
        if (is_blocked(SIGINT) && is_blocked(SIGUSR1)) ++blocked;
    }),
              nullptr);
    EXPECT_EQ(blocked, 2);
}

}  // namespace
}  // namespace brightloom
