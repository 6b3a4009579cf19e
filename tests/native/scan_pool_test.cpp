#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "scan/scan_files.h"
#include "scan/worker_pool.h"
#include "text/content_hash.h"
#include "reference_digest.h"
#include "scan_test_support.h"
#include "temp_dir.h"

namespace brightloom::testing {
namespace {

namespace fs = std::filesystem;

// A tree of nested folders with files of many sizes, line endings and a few
// invalid ones, the same for every run.
void generate_tree(const TempDir& tree) {
    std::mt19937 random(12345);
    const char* folders[] = {"", "src/", "src/core/", "src/core/deep/", "docs/", "node_modules/x/",
                             "Tests/", "a-b/", "a.b/", "target/", "lib/target2/"};
    const char* names[] = {"m.py", "n.rs", "o.md", "p.txt", "q.yml", "R.ts", "s.js", "t.go"};
    for (int i = 0; i < 400; ++i) {
        std::string relative = std::string(folders[random() % std::size(folders)]) + "f" +
                               std::to_string(i) + "_" + names[random() % std::size(names)];
        std::string text;
        const std::size_t lines = random() % 50;
        for (std::size_t line = 0; line < lines; ++line) {
            text += std::string(random() % 90, 'a' + static_cast<char>(random() % 26));
            text += random() % 3 == 0 ? "\r\n" : "\n";
        }
        if (i % 97 == 0) text += "\xe2\x82";  // cut character: not UTF-8
        if (i == 7) text = std::string(3 * 1024 * 1024, 'z') + "\r\nend";  // spans many chunks
        tree.write(relative, text);
    }
}

struct ReferenceEntry {
    std::string path;
    std::string hash;
    std::uint64_t lines;
};

// A simple independent walk: std::filesystem's iterator with the pruning,
// extension filter, sort and UTF-8 check done by hand.
std::vector<ReferenceEntry> reference_scan(const fs::path& root) {
    const std::vector<std::string> listed{"py", "rs", "ts", "tsx", "js", "go", "md", "toml",
                                          "yaml", "yml"};
    const std::vector<std::string> pruned{".git", ".venv", "dist", "node_modules", "target"};
    std::vector<std::string> paths;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator();
         ++it) {
        const std::string name = it->path().filename().string();
        if (it->is_directory() && !it->is_symlink()) {
            if (std::count(pruned.begin(), pruned.end(), name)) it.disable_recursion_pending();
            continue;
        }
        if (!it->is_regular_file() || it->is_symlink()) continue;
        const std::size_t dot = name.rfind('.');
        if (dot == std::string::npos || dot == 0) continue;
        if (std::count(listed.begin(), listed.end(), name.substr(dot + 1))) {
            paths.push_back(fs::relative(it->path(), root).generic_string());
        }
    }
    std::sort(paths.begin(), paths.end());
    std::vector<ReferenceEntry> entries;
    for (const std::string& path : paths) {
        std::ifstream in(root / path, std::ios::binary);
        const std::string text((std::istreambuf_iterator<char>(in)), {});
        const bool cut = text.size() >= 2 && text.ends_with("\xe2\x82");
        if (cut) continue;
        const std::uint64_t lines = text.empty() ? 0 : 1 + std::count(text.begin(), text.end(), '\n');
        entries.push_back({path, reference_hash(text), lines});
    }
    return entries;
}

TEST(ScanPool, MatchesASingleWorkerAndAReferenceWalk) {
    TempDir tree;
    generate_tree(tree);
    const std::vector<ReferenceEntry> expected = reference_scan(tree.path());
    ASSERT_GT(expected.size(), 200u);

    JsonObject all;
    all.emplace("max_files", JsonValue(std::uint64_t{100000}));
    const ScanReply pooled = scan_root(tree.path().string(), all);
    ASSERT_EQ(pooled.count, expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE(expected[i].path);
        EXPECT_EQ(pooled.entries[i].path, expected[i].path);
        EXPECT_EQ(pooled.entries[i].file_hash, expected[i].hash);
        EXPECT_EQ(pooled.entries[i].total_lines, expected[i].lines);
    }

    // The same paths through one worker, through the caller alone and
    // through more workers than processors give identical entries.
    std::vector<ScanPath> paths;
    for (const ScannedFile& entry : pooled.entries) paths.push_back({entry.path, true});
    WorkerPool one(1);
    WorkerPool many(7);
    const FileDescriptor root = open_root(tree.path());
    for (WorkerPool* pool : {static_cast<WorkerPool*>(nullptr), &one, &many}) {
        const std::vector<ScanEntry> entries = digest_scan_paths(paths, root.get(), pool);
        ASSERT_EQ(entries.size(), pooled.entries.size());
        for (std::size_t i = 0; i < entries.size(); ++i) {
            EXPECT_EQ(entries[i].path, pooled.entries[i].path);
            EXPECT_EQ(entries[i].file_hash, pooled.entries[i].file_hash);
            EXPECT_EQ(entries[i].total_lines, pooled.entries[i].total_lines);
        }
    }
}

TEST(ScanPool, IsMadeOnceAndReused) {
    TempDir tree;
    EXPECT_EQ(scan_root(tree.path().string()).count, 0u);
    WorkerPool& first = shared_worker_pool();
    EXPECT_EQ(&shared_worker_pool(), &first);
    EXPECT_EQ(first.size(), available_processors());
}

Result<FileDigest> digest_or_throw(int root_fd, const std::string& relative, TextDigester& digester) {
    if (relative.ends_with("boom.py")) throw std::runtime_error("worker failure");
    return digest_scan_file(root_fd, relative, digester);
}

TEST(ScanPool, AWorkerFailureStillEndsTheScan) {
    TempDir tree;
    std::vector<ScanPath> paths;
    for (int i = 0; i < 50; ++i) {
        const std::string name = "f" + std::to_string(i).append(i == 20 ? "boom.py" : ".py");
        tree.write(name, "x");
        paths.push_back({name, true});
    }
    WorkerPool pool(3);
    const FileDescriptor root = open_root(tree.path());
    const bool threw = within_seconds(30, [&] {
        try {
            static_cast<void>(digest_scan_paths(paths, root.get(), &pool, digest_or_throw));
        } catch (const std::runtime_error& failure) {
            return std::string(failure.what()) == "worker failure";
        }
        return false;
    });
    EXPECT_TRUE(threw);
    // The pool is still usable afterwards.
    paths.erase(paths.begin() + 20);
    EXPECT_EQ(digest_scan_paths(paths, root.get(), &pool).size(), 49u);
}

TEST(WorkerPoolRun, CallsEveryWorkerOnceAndReportsTheFirstFailure) {
    WorkerPool pool(4);
    ASSERT_EQ(pool.size(), 4u);
    std::vector<int> calls(4, 0);
    EXPECT_EQ(pool.run_on_all([&](std::size_t worker) { ++calls[worker]; }), nullptr);
    EXPECT_EQ(calls, (std::vector<int>{1, 1, 1, 1}));

    std::atomic<int> finished{0};
    std::exception_ptr failure = within_seconds(30, [&] {
        return pool.run_on_all([&](std::size_t worker) {
            if (worker == 2) throw std::logic_error("bad worker");
            ++finished;
        });
    });
    ASSERT_NE(failure, nullptr);
    EXPECT_THROW(std::rethrow_exception(failure), std::logic_error);
    EXPECT_EQ(finished.load(), 3);

    WorkerPool empty(0);
    EXPECT_EQ(empty.run_on_all([](std::size_t) { throw std::logic_error("never called"); }), nullptr);
}

// The parent's workers do not exist in a forked child; the child must build
// its own pool instead of waiting on them.
TEST(ScanPool, ScansInAForkedChild) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "ThreadSanitizer cannot start threads after a multi-threaded fork";
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
    GTEST_SKIP() << "ThreadSanitizer cannot start threads after a multi-threaded fork";
#endif
#endif
    TempDir tree;
    tree.write("a.py", "x");
    tree.write("b.py", "y\n");
    tree.write("c/d.md", "z");
    ASSERT_EQ(scan_root(tree.path().string()).count, 3u);  // the pool exists now

    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::alarm(30);  // a hang ends the child, and the parent sees a signal
        Result<JsonValue> reply = execute_command("scan", scan_payload(tree.path().string()));
        const bool good = reply.ok() && *reply->as_object()->at("count").as_u64() == 3;
        std::_Exit(good ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "child ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace brightloom::testing
