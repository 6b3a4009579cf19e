// Memory for the tree-sitter runtime: one arena per thread, reset per request.
//
// Every allocation of the runtime and the grammars' scanners goes through the
// allocator hook installed here. While an ArenaLease lives on a thread, those
// allocations come from the thread's arena: small blocks are bumped out of
// large chunks and recycled through free lists by size, big ones come from
// malloc and are listed. When the outermost lease ends, everything is
// released at once, so a tree needs no node-by-node teardown. A few chunks
// stay with the thread for its next request, so small requests make no system
// calls at all.
//
// Outside a lease the hook hands out plain malloc blocks. Running out of
// memory throws std::bad_alloc rather than returning null, which the runtime
// would not check.
//
//   ArenaLease lease(byte_limit);
//   ... parse, walk the tree ...
//   if (lease.usage().over_limit) ...   // held bytes passed the limit
//   // the lease ends: the tree and parser memory are gone.
#pragma once

#include <cstddef>
#include <cstdint>

namespace brightloom {

namespace arena_detail {
class ThreadArena;
}

// What the current request has cost so far.
struct ArenaUsage {
    // Bytes the arena holds from the system now (chunks and big blocks).
    std::size_t held_bytes = 0;
    // The most held at any moment since the lease began.
    std::size_t peak_held_bytes = 0;
    // Bytes handed to the runtime since the lease began, freed or not: a
    // deterministic measure of how hard the parse is working.
    std::uint64_t handed_out_bytes = 0;
    // held_bytes went past the lease's limit at some point.
    bool over_limit = false;
};

// Thrown by the allocator past a lease's hard limit.
struct ArenaLimitExceeded {};

// Makes the calling thread's arena serve tree-sitter until the lease ends.
// Leases nest on one thread; the outermost one sets the limit and its end
// releases the memory. A lease belongs to the thread that created it.
class ArenaLease {
public:
    explicit ArenaLease(std::size_t byte_limit);
    ~ArenaLease();
    ArenaLease(ArenaLease&& other) noexcept;
    ArenaLease& operator=(ArenaLease&&) = delete;
    ArenaLease(const ArenaLease&) = delete;
    ArenaLease& operator=(const ArenaLease&) = delete;

    ArenaUsage usage() const;

    // Past `bytes` held, allocation throws ArenaLimitExceeded instead of
    // only raising over_limit: for work that can leave by exception (a
    // parse) and might otherwise allocate a great deal before it next looks
    // at its usage. SIZE_MAX switches it off.
    void set_hard_limit(std::size_t bytes);

private:
    arena_detail::ThreadArena* arena_;
};

// Routes the runtime's allocations through the arena hook. Runs once, before
// main or at module load; calling it again does nothing.
void install_parse_allocator();

}  // namespace brightloom
