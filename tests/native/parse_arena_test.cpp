// The arena behind the tree-sitter runtime: blocks handed out through the
// runtime's allocator hook keep their contents, a lease's end gives all of
// its memory back, and the limits are accounted.
#include "syntax/parse_arena.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <thread>
#include <vector>

#include <tree_sitter/api.h>

#include "languages/language_table.h"
#include "syntax/parse_source.h"

// The runtime's current allocator functions, which the hook replaced.
extern "C" {
extern void* (*ts_current_malloc)(size_t);
extern void* (*ts_current_calloc)(size_t, size_t);
extern void* (*ts_current_realloc)(void*, size_t);
extern void (*ts_current_free)(void*);
}

namespace brightloom {
namespace {

constexpr std::size_t NO_LIMIT = SIZE_MAX;

void fill(void* block, std::size_t size, unsigned char seed) {
    auto* bytes = static_cast<unsigned char*>(block);
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<unsigned char>(seed + i);
}
bool holds(const void* block, std::size_t size, unsigned char seed) {
    const auto* bytes = static_cast<const unsigned char*>(block);
    for (std::size_t i = 0; i < size; ++i) {
        if (bytes[i] != static_cast<unsigned char>(seed + i)) return false;
    }
    return true;
}

TEST(ParseArena, BlocksOfEverySizeKeepTheirContentsAndAlignment) {
    ArenaLease lease(NO_LIMIT);
    // Sizes across the small classes, the coarse ones and large blocks.
    const std::size_t sizes[] = {1, 15, 16, 17, 100, 1024, 1025, 4000, 16384, 16385, 1 << 20};
    std::vector<void*> blocks;
    for (std::size_t i = 0; i < std::size(sizes); ++i) {
        void* block = ts_current_malloc(sizes[i]);
        ASSERT_NE(block, nullptr);
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(block) % 16, 0u);
        fill(block, sizes[i], static_cast<unsigned char>(i));
        blocks.push_back(block);
    }
    for (std::size_t i = 0; i < std::size(sizes); ++i) {
        EXPECT_TRUE(holds(blocks[i], sizes[i], static_cast<unsigned char>(i))) << sizes[i];
    }
    for (void* block : blocks) ts_current_free(block);
}

TEST(ParseArena, ReallocKeepsThePrefixAcrossEveryKindOfMove) {
    ArenaLease lease(NO_LIMIT);
    // Grows through small classes (in place while last, then moved), into a
    // large block, then as a large block; shrinking keeps the block.
    void* block = ts_current_malloc(8);
    fill(block, 8, 7);
    std::size_t filled = 8;
    for (std::size_t size : {24u, 200u, 3000u, 20000u, 300000u, 5000000u}) {
        void* other = ts_current_malloc(32);  // so the block is no longer last
        block = ts_current_realloc(block, size);
        ASSERT_TRUE(holds(block, filled, 7)) << size;
        fill(block, size, 7);
        filled = size;
        ts_current_free(other);
    }
    EXPECT_EQ(ts_current_realloc(block, 10), block);
    EXPECT_TRUE(holds(block, 10, 7));
    ts_current_free(block);
    void* fresh = ts_current_realloc(nullptr, 40);  // realloc of null allocates
    ASSERT_NE(fresh, nullptr);
    ts_current_free(fresh);
}

TEST(ParseArena, CallocZeroesRecycledBlocks) {
    ArenaLease lease(NO_LIMIT);
    void* dirty = ts_current_malloc(64);
    std::memset(dirty, 0xAB, 64);
    ts_current_free(dirty);
    auto* clean = static_cast<unsigned char*>(ts_current_calloc(4, 16));
    for (int i = 0; i < 64; ++i) ASSERT_EQ(clean[i], 0) << i;
    ts_current_free(clean);
}

TEST(ParseArena, AccountsHeldAndHandedOutBytesAndTheLimit) {
    ArenaLease lease(16 << 20);
    EXPECT_EQ(lease.usage().handed_out_bytes, 0u);
    void* small = ts_current_malloc(100);
    EXPECT_GE(lease.usage().handed_out_bytes, 100u);
    EXPECT_FALSE(lease.usage().over_limit);
    // Freed bytes still count as work handed out; held bytes follow frees
    // of large blocks only.
    void* large = ts_current_malloc(32 << 20);
    const ArenaUsage with_large = lease.usage();
    EXPECT_TRUE(with_large.over_limit);
    EXPECT_GE(with_large.held_bytes, std::size_t{32} << 20);
    ts_current_free(large);
    const ArenaUsage after = lease.usage();
    EXPECT_LT(after.held_bytes, with_large.held_bytes);
    EXPECT_EQ(after.peak_held_bytes, with_large.held_bytes);
    EXPECT_GE(after.handed_out_bytes, std::uint64_t{32} << 20);
    EXPECT_TRUE(after.over_limit);  // it stays raised for the request
    ts_current_free(small);
}

TEST(ParseArena, HardLimitThrowsAndTheLeaseStillReleasesEverything) {
    ArenaLease lease(NO_LIMIT);
    lease.set_hard_limit(4 << 20);
    void* kept = ts_current_malloc(1 << 20);
    EXPECT_THROW(ts_current_malloc(8 << 20), ArenaLimitExceeded);
    lease.set_hard_limit(NO_LIMIT);
    EXPECT_NE(ts_current_malloc(8 << 20), nullptr);  // released with the lease
    ts_current_free(kept);
}

TEST(ParseArena, OutsideALeaseBlocksComeFromTheSystemAndMixSafely) {
    void* outside = ts_current_malloc(48);
    fill(outside, 48, 3);
    {
        ArenaLease lease(NO_LIMIT);
        // A block from before the lease is grown and freed as a system block.
        outside = ts_current_realloc(outside, 100000);
        EXPECT_TRUE(holds(outside, 48, 3));
        EXPECT_EQ(lease.usage().held_bytes, 0u);
    }
    ts_current_free(outside);
}

TEST(ParseArena, NestedLeasesReleaseAtTheOutermostEnd) {
    ArenaLease outer(NO_LIMIT);
    void* block = nullptr;
    {
        ArenaLease inner(NO_LIMIT);
        block = ts_current_malloc(64);
        fill(block, 64, 9);
    }
    // Still the outer lease's memory: readable until it ends.
    EXPECT_TRUE(holds(block, 64, 9));
    ArenaLease moved(std::move(outer));
    EXPECT_TRUE(holds(block, 64, 9));
}

TEST(ParseArena, ThreadsParseInTheirOwnArenas) {
    // Each thread's parses live in its own arena; under ThreadSanitizer this
    // also shows that no arena state is shared.
    const std::string text = "def f(x):\n    return [x for x in range(10)]\n" + std::string(2000, '#');
    auto parse_many = [&text](int* failures) {
        for (int i = 0; i < 50; ++i) {
            Result<ParsedSource> parsed = parse_source(grammar_for("python"), text);
            if (!parsed.ok() || ts_node_has_error(parsed->root()) ||
                ts_node_end_byte(parsed->root()) != text.size()) {
                ++*failures;
            }
        }
    };
    int failures[3] = {0, 0, 0};
    std::thread first(parse_many, &failures[0]);
    std::thread second(parse_many, &failures[1]);
    parse_many(&failures[2]);
    first.join();
    second.join();
    EXPECT_EQ(failures[0] + failures[1] + failures[2], 0);
}

}  // namespace
}  // namespace brightloom
