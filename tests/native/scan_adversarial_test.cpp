#include <fcntl.h>
#include <stdio.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <valgrind/valgrind.h>

#include "host/reply_writer.h"
#include "host/run_command.h"
#include "scan/scan_files.h"
#include "scan/scan_walk.h"
#include "scan/worker_pool.h"
#include "reference_digest.h"
#include "scan_test_support.h"
#include "temp_dir.h"

namespace brightloom::testing {
namespace {

using Paths = std::vector<std::string>;
namespace fs = std::filesystem;

TEST(ScanAdversarial, DropsFileNamesThatAreNotUtf8) {
    TempDir tree;
    tree.write("bad\xff.py", "invalid name");
    tree.write("good.py", "x");
    EXPECT_EQ(scan_root(tree.path().string()).paths(), (Paths{"good.py"}));
    // The replacement text of the bad name may name a real file; that file is
    // listed once, with its own content, never with the bad name's.
    tree.write("bad\xef\xbf\xbd.py", "real");
    const ScanReply reply = scan_root(tree.path().string());
    ASSERT_EQ(reply.paths(), (Paths{"bad\xef\xbf\xbd.py", "good.py"}));
    EXPECT_EQ(reply.entries[0].file_hash, reference_hash("real"));
}

TEST(ScanAdversarial, FinishesOnSymbolicLinkLoops) {
    TempDir tree;
    tree.write("a/x.py", "x");
    make_symlink("loop_b", tree.path() / "a" / "loop_a");
    make_symlink("loop_a", tree.path() / "a" / "loop_b");
    make_symlink("self.py", tree.path() / "a" / "self.py");
    make_symlink("..", tree.path() / "a" / "up");
    make_symlink(tree.path().string(), tree.path() / "a" / "top");
    EXPECT_EQ(within_seconds(30, [&] { return scan_root(tree.path().string()).paths(); }),
              (Paths{"a/x.py"}));
    make_symlink("root_loop", tree.path() / "root_loop");
    EXPECT_EQ(scan_root((tree.path() / "root_loop").string()).count, 0u);
}

TEST(ScanAdversarial, WalksFiveHundredNestedFolders) {
    TempDir tree;
    std::string relative;
    Paths expected;
    for (int depth = 0; depth < 500; ++depth) {
        relative += "d/";
        if (depth % 100 == 99) {
            tree.write(relative + "x.py", "x");
            expected.push_back(relative + "x.py");
        }
    }
    tree.write("z.py", "z");  // a sibling listed after the deep subtree
    expected.push_back("z.py");
    std::sort(expected.begin(), expected.end());  // deeper paths first: "d" < "x"
    EXPECT_EQ(scan_root(tree.path().string()).paths(), expected);
}

// Folders nest deeper than the number of listings kept open, and every level
// has more entries after its subfolder, so the walk must resume listings it
// read ahead and closed.
TEST(ScanAdversarial, ResumesListingsThatWereReadAheadAndClosed) {
    TempDir tree;
    Paths expected;
    std::string level;
    for (int depth = 0; depth < 25; ++depth) {
        for (const char* name : {"a.py", "z.py", "q.md"}) {
            tree.write(level + name, "x");
            expected.push_back(level + name);
        }
        tree.write(level + "k/leaf.rs", "x");
        expected.push_back(level + "k/leaf.rs");
        level += "m/";
    }
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(scan_root(tree.path().string()).paths(), expected);
}

std::size_t open_descriptor_count() {
    return static_cast<std::size_t>(std::distance(fs::directory_iterator("/proc/self/fd"),
                                                  fs::directory_iterator()));
}

// With only a few descriptors to spare, a walk that kept a listing open for
// every level of a deep tree would fail to open the deeper folders.
TEST(ScanAdversarial, HoldsAtMostTenListingsOpen) {
    TempDir tree;
    Paths expected;
    std::string level;
    for (int depth = 0; depth < 40; ++depth) {
        tree.write(level + "f.py", "x");
        expected.push_back(level + "f.py");
        level += "d/";
    }
    std::sort(expected.begin(), expected.end());
    static_cast<void>(shared_worker_pool());  // its threads need no descriptors later

    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    // Spare: the listings, one file per worker while digesting, and one for
    // the root's lookup.
    rlimit tight = saved;
    tight.rlim_cur = open_descriptor_count() + MAX_OPEN_LISTINGS + available_processors() + 1;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
    const Paths got = scan_root(tree.path().string()).paths();
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);
    EXPECT_EQ(got, expected);
}

// Running out of descriptors says nothing about the tree: whether it hits
// the root, a folder or a file, the scan either answers in full or fails
// with the system's text, never with a shorter listing.
TEST(ScanAdversarial, RunningOutOfDescriptorsFailsTheScan) {
    TempDir tree;
    tree.write("a.py", "x");
    tree.write("sub/deeper/b.py", "y");
    tree.write("sub/c.py", "z");
    const Paths full{"a.py", "sub/c.py", "sub/deeper/b.py"};
    static_cast<void>(shared_worker_pool());  // its threads need no descriptors later
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    const std::size_t in_use = open_descriptor_count();
    std::size_t failures = 0;
    for (std::size_t spare = 0; spare < 8; ++spare) {
        SCOPED_TRACE(spare);
        rlimit tight = saved;
        tight.rlim_cur = in_use + spare;
        ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
        Result<JsonValue> reply = execute_command("scan", scan_payload(tree.path().string()));
        ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);
        if (reply.ok()) {
            EXPECT_EQ(scan(scan_payload(tree.path().string())).paths(), full);
            EXPECT_EQ(*reply->as_object()->at("count").as_u64(), full.size()) << write_reply(*reply);
        } else {
            ++failures;
            EXPECT_EQ(reply.error().message, "Too many open files (os error 24)");
        }
    }
    // Under valgrind, which keeps descriptors of its own beyond the limit,
    // the tightest limits may still let the scan through.
    if (!RUNNING_ON_VALGRIND) {
        EXPECT_GE(failures, 1u);
    }
}

TEST(ScanAdversarial, NeverBlocksOnFifos) {
    TempDir tree;
    make_fifo(tree.path() / "pipe.py");
    make_fifo(tree.path() / "root_fifo");
    tree.write("a.py", "x");
    EXPECT_EQ(within_seconds(30, [&] { return scan_root(tree.path().string()).paths(); }),
              (Paths{"a.py"}));
    EXPECT_EQ(within_seconds(30, [&] { return scan_root((tree.path() / "root_fifo").string()).count; }),
              0u);
}

// A path that the walk saw as a regular file may be a FIFO by the time it is
// read; opening it for reading would wait for a writer forever.
TEST(ScanAdversarial, DropsAFileThatBecameAFifoAfterTheWalk) {
    TempDir tree;
    tree.write("a.py", "x");
    make_fifo(tree.path() / "b.py");
    tree.write("c.py", "x\n");
    const std::vector<ScanPath> paths{{"a.py", true}, {"b.py", true}, {"c.py", true}};
    WorkerPool pool(2);
    const FileDescriptor root = open_root(tree.path());
    for (WorkerPool* used : {static_cast<WorkerPool*>(nullptr), &pool}) {
        const std::vector<ScanEntry> entries =
            within_seconds(30, [&] { return digest_scan_paths(paths, root.get(), used); });
        ASSERT_EQ(entries.size(), 2u);
        EXPECT_EQ(entries[0].path, "a.py");
        EXPECT_EQ(entries[1].path, "c.py");
        EXPECT_EQ(entries[1].total_lines, 2u);
    }
}

// Between the walk and the read, names in the tree keep turning into links
// to the outside and back: files by rename over them, a folder by exchange
// with a link to an outside folder. No scan may report what lies outside.
TEST(ScanAdversarial, NeverReadsThroughALinkSwappedInAfterTheWalk) {
    TempDir tree;
    const fs::path root = tree.path() / "root";
    for (int i = 0; i < 100; ++i) tree.write("root/a" + std::to_string(i) + ".py", "x = 1\n");
    for (int i = 0; i < 10; ++i) tree.write("root/t" + std::to_string(i) + ".py", "x = 1\n");
    tree.write("root/sub/g.py", "x = 1\n");
    tree.write("outside/g.py", "secret = 2\n");
    make_symlink((tree.path() / "outside").string(), root / "sub_link");
    const std::string secret = (tree.path() / "outside" / "g.py").string();
    const fs::path scratch = tree.path() / "scratch";
    std::vector<fs::path> targets;
    for (const char* name : {"t0.py", "t1.py", "t2.py", "t3.py", "t4.py", "t5.py", "t6.py", "t7.py",
                             "t8.py", "t9.py"}) {
        targets.push_back(root / name);
    }

    std::atomic<bool> stop{false};
    std::atomic<int> swaps{0};
    std::thread swapper([&] {
        for (int step = 0; !stop.load(); ++step) {
            const fs::path& target = targets[static_cast<std::size_t>(step % 10)];
            if ((step / 10) % 2 == 0) {
                static_cast<void>(::symlink(secret.c_str(), scratch.c_str()));
            } else {
                tree.write("scratch", "x = 1\n");
            }
            if (::rename(scratch.c_str(), target.c_str()) == 0) ++swaps;
            static_cast<void>(::renameat2(AT_FDCWD, (root / "sub").c_str(), AT_FDCWD,
                                          (root / "sub_link").c_str(), RENAME_EXCHANGE));
        }
    });
    const std::string inside = reference_hash("x = 1\n");
    JsonObject all;
    all.emplace("max_files", JsonValue(std::uint64_t{1000}));
    int scans = 0;
    std::size_t outside_entries = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (std::chrono::steady_clock::now() < deadline || scans < 20) {
        for (const ScannedFile& entry : scan_root(root.string(), all).entries) {
            if (entry.file_hash != inside) ++outside_entries;
        }
        ++scans;
    }
    stop = true;
    swapper.join();
    EXPECT_EQ(outside_entries, 0u);
    EXPECT_GT(swaps.load(), 100);
}

TEST(ScanAdversarial, FinishesOnProcSelf) {
    JsonObject extra;
    extra.emplace("extensions", string_array({"", "py", "status"}));
    const ScanReply reply = within_seconds(120, [&] { return scan_root("/proc/self", extra); });
    EXPECT_EQ(reply.count, reply.entries.size());
}

TEST(ScanAdversarial, SkipsUnreadableFolders) {
    if (running_as_root()) GTEST_SKIP() << "root enters folders without permission";
    TempDir tree;
    tree.write("locked/a.py", "x");
    tree.write("open/b.py", "x");
    ::chmod((tree.path() / "locked").c_str(), 0);
    EXPECT_EQ(scan_root(tree.path().string()).paths(), (Paths{"open/b.py"}));
    // An unreadable root lists nothing and raises nothing.
    EXPECT_EQ(scan_root((tree.path() / "locked").string()).count, 0u);
}

TEST(ScanAdversarial, ListsNothingForARootWithANulByte) {
    TempDir tree;
    tree.write("a.py", "x");
    EXPECT_EQ(scan_root(tree.path().string() + std::string("\0/x", 3)).count, 0u);
}

}  // namespace
}  // namespace brightloom::testing
