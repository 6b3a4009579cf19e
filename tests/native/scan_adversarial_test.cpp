#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "lib/content_hash.h"
#include "lib/scan_files.h"
#include "lib/scan_walk.h"
#include "lib/worker_pool.h"
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
    EXPECT_EQ(reply.entries[0].file_hash, content_hash("real"));
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
    for (WorkerPool* used : {static_cast<WorkerPool*>(nullptr), &pool}) {
        const std::vector<ScanEntry> entries = within_seconds(
            30, [&] { return digest_scan_paths(paths, tree.path().string(), used); });
        ASSERT_EQ(entries.size(), 2u);
        EXPECT_EQ(entries[0].path, "a.py");
        EXPECT_EQ(entries[1].path, "c.py");
        EXPECT_EQ(entries[1].total_lines, 2u);
    }
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
