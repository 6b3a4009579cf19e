#include "parse_arena.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <new>

#include <sys/mman.h>
#include <utility>

#include <tree_sitter/api.h>

#if defined(__SANITIZE_ADDRESS__)
#define BRIGHTLOOM_ARENA_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define BRIGHTLOOM_ARENA_ASAN 1
#endif
#endif

#ifdef BRIGHTLOOM_ARENA_ASAN
#include <sanitizer/asan_interface.h>
#define ARENA_POISON(address, size) ASAN_POISON_MEMORY_REGION(address, size)
#define ARENA_UNPOISON(address, size) ASAN_UNPOISON_MEMORY_REGION(address, size)
#else
#define ARENA_POISON(address, size) ((void)(address), (void)(size))
#define ARENA_UNPOISON(address, size) ((void)(address), (void)(size))
#endif

namespace brightloom {
namespace arena_detail {
namespace {

// Where a block came from, kept in the header in front of it. The odd values
// make a stray pointer less likely to pass for a block.
enum class BlockKind : std::uint32_t {
    small = 0x5ba11u,  // carved from a chunk, recycled through a free list
    large = 0x1a96eu,  // its own malloc block, listed for the reset
    system = 0x5e5e5u,  // malloc block handed out outside any lease
};

// Sits right in front of every block the hook hands out; 16 bytes keep the
// block as aligned as malloc's.
struct alignas(16) BlockHeader {
    BlockKind kind;
    std::uint32_t size_class;  // small blocks only
    BlockHeader* next_free;    // small blocks on a free list only
};
static_assert(sizeof(BlockHeader) == 16);

// In front of the header of a large block: the links of the arena's list.
struct alignas(16) LargeLinks {
    LargeLinks* previous;
    LargeLinks* next;
    std::size_t total_bytes;  // links, header and payload
};
static_assert(sizeof(LargeLinks) % 16 == 0);

// A chunk's first bytes; small blocks follow.
struct alignas(16) Chunk {
    Chunk* next;
    std::size_t bytes;  // the whole chunk, this record included
};

// Small size classes: every multiple of 16 up to 1 KiB (the runtime's nodes
// and short arrays), then powers of two up to 16 KiB. Anything bigger is a
// large block. A block keeps its class for life, so a free list holds blocks
// of one size.
constexpr std::size_t FINE_STEP = 16;
constexpr std::size_t FINE_LIMIT = 1024;
constexpr std::size_t FINE_CLASSES = FINE_LIMIT / FINE_STEP;
constexpr std::size_t COARSE_CLASSES = 4;  // 2, 4, 8, 16 KiB
constexpr std::size_t CLASS_COUNT = FINE_CLASSES + COARSE_CLASSES;
constexpr std::size_t SMALL_LIMIT = FINE_LIMIT << COARSE_CLASSES;

constexpr std::size_t class_size(std::size_t size_class) {
    return size_class < FINE_CLASSES ? (size_class + 1) * FINE_STEP
                                     : FINE_LIMIT << (size_class - FINE_CLASSES + 1);
}

constexpr std::size_t class_of(std::size_t size) {
    if (size <= FINE_LIMIT) return size == 0 ? 0 : (size - 1) / FINE_STEP;
    std::size_t size_class = FINE_CLASSES;
    while (class_size(size_class) < size) ++size_class;
    return size_class;
}
static_assert(class_of(1) == 0 && class_of(16) == 0 && class_of(17) == 1);
static_assert(class_size(class_of(1025)) == 2048 && class_size(CLASS_COUNT - 1) == SMALL_LIMIT);

// The first chunks of a request are 256 KiB: they hold at least sixteen of
// the largest small blocks, so the tail a chunk wastes when the next block
// does not fit stays small. A request that keeps asking gets ever larger
// chunks, up to 4 MiB on huge-page boundaries, so a big file's tree costs
// few allocations and few page faults. Up to 8 MiB of chunks stay with the
// thread after a request: enough for the files most requests parse, without
// holding a big file's memory for ever.
constexpr std::size_t FIRST_CHUNK_BYTES = 256 * 1024;
constexpr std::size_t LARGEST_CHUNK_BYTES = 4 * 1024 * 1024;
constexpr std::size_t HUGE_PAGE_BYTES = 2 * 1024 * 1024;
constexpr std::size_t CHUNKS_PER_DOUBLING = 4;
constexpr std::size_t RETAINED_BYTES = 8 * 1024 * 1024;

Chunk* new_chunk(std::size_t bytes) {
    void* memory = nullptr;
    if (bytes >= HUGE_PAGE_BYTES) {
        memory = std::aligned_alloc(HUGE_PAGE_BYTES, bytes);
        if (memory != nullptr) madvise(memory, bytes, MADV_HUGEPAGE);  // a hint only
    } else {
        memory = std::malloc(bytes);
    }
    if (memory == nullptr) throw std::bad_alloc();
    auto* chunk = static_cast<Chunk*>(memory);
    chunk->bytes = bytes;
    return chunk;
}

BlockHeader* header_of(void* block) {
    return reinterpret_cast<BlockHeader*>(static_cast<char*>(block) - sizeof(BlockHeader));
}
void* payload_of(BlockHeader* header) { return reinterpret_cast<char*>(header) + sizeof(BlockHeader); }
LargeLinks* links_of(BlockHeader* header) {
    return reinterpret_cast<LargeLinks*>(reinterpret_cast<char*>(header) - sizeof(LargeLinks));
}
BlockHeader* header_after(LargeLinks* links) {
    return reinterpret_cast<BlockHeader*>(reinterpret_cast<char*>(links) + sizeof(LargeLinks));
}

// The runtime never checks for null, so failure has to leave by exception.
void* checked_malloc(std::size_t size) {
    void* memory = std::malloc(size);
    if (memory == nullptr) throw std::bad_alloc();
    return memory;
}

bool add_overflows(std::size_t a, std::size_t b) { return a > SIZE_MAX - b; }

}  // namespace

class ThreadArena {
public:
    ThreadArena() = default;
    ~ThreadArena() {
        reset();
        while (spare_ != nullptr) std::free(std::exchange(spare_, spare_->next));
    }
    ThreadArena(const ThreadArena&) = delete;
    ThreadArena& operator=(const ThreadArena&) = delete;

    void begin(std::size_t byte_limit) {
        if (depth_++ > 0) return;
        limit_ = byte_limit;
        handed_out_ = 0;
        peak_held_ = held_;
        over_limit_ = false;
        hard_limit_ = SIZE_MAX;
    }
    // True when the outermost lease ended and the memory went back.
    bool end() {
        if (--depth_ > 0) return false;
        reset();
        return true;
    }

    void set_hard_limit(std::size_t bytes) { hard_limit_ = bytes; }
    ArenaUsage usage() const { return ArenaUsage{held_, peak_held_, handed_out_, over_limit_}; }

    void* allocate(std::size_t size) {
        if (size > SMALL_LIMIT) return allocate_large(size);
        const std::size_t size_class = class_of(size);
        handed_out_ += class_size(size_class);
        if (BlockHeader* header = free_lists_[size_class]) {
            free_lists_[size_class] = header->next_free;
            ARENA_UNPOISON(payload_of(header), class_size(size_class));
            return payload_of(header);
        }
        const std::size_t needed = sizeof(BlockHeader) + class_size(size_class);
        if (static_cast<std::size_t>(bump_end_ - bump_) < needed) start_chunk();
        auto* header = reinterpret_cast<BlockHeader*>(bump_);
        bump_ += needed;
        ARENA_UNPOISON(header, needed);
        header->kind = BlockKind::small;
        header->size_class = static_cast<std::uint32_t>(size_class);
        header->next_free = nullptr;
        return payload_of(header);
    }

    void* reallocate(BlockHeader* header, std::size_t size) {
        if (header->kind == BlockKind::large) return reallocate_large(header, size);
        const std::size_t old_size = class_size(header->size_class);
        if (size <= old_size) return payload_of(header);
        // A growing array is often the last block carved: widen it in place.
        char* block_end = static_cast<char*>(payload_of(header)) + old_size;
        if (size <= SMALL_LIMIT && block_end == bump_) {
            const std::size_t size_class = class_of(size);
            const std::size_t growth = class_size(size_class) - old_size;
            if (static_cast<std::size_t>(bump_end_ - bump_) >= growth) {
                ARENA_UNPOISON(bump_, growth);
                bump_ += growth;
                handed_out_ += growth;
                header->size_class = static_cast<std::uint32_t>(size_class);
                return payload_of(header);
            }
        }
        void* moved = allocate(size);
        std::memcpy(moved, payload_of(header), old_size);
        release(header);
        return moved;
    }

    void release(BlockHeader* header) {
        if (header->kind == BlockKind::large) {
            release_large(links_of(header));
            return;
        }
        const std::size_t size_class = header->size_class;
        header->next_free = free_lists_[size_class];
        free_lists_[size_class] = header;
        ARENA_POISON(payload_of(header), class_size(size_class));
    }

private:
    void start_chunk() {
        Chunk* chunk = spare_;
        if (chunk != nullptr) {
            spare_ = chunk->next;
            spare_bytes_ -= chunk->bytes;
        } else {
            const std::size_t doublings = std::min<std::size_t>(chunk_count_ / CHUNKS_PER_DOUBLING, 4);
            chunk = new_chunk(std::min(FIRST_CHUNK_BYTES << doublings, LARGEST_CHUNK_BYTES));
        }
        ++chunk_count_;
        chunk->next = chunks_;
        chunks_ = chunk;
        bump_ = reinterpret_cast<char*>(chunk) + sizeof(Chunk);
        bump_end_ = reinterpret_cast<char*>(chunk) + chunk->bytes;
        ARENA_POISON(bump_, bump_end_ - bump_);
        hold(chunk->bytes);
    }

    void* allocate_large(std::size_t size) {
        if (add_overflows(size, sizeof(LargeLinks) + sizeof(BlockHeader))) throw std::bad_alloc();
        const std::size_t total = sizeof(LargeLinks) + sizeof(BlockHeader) + size;
        auto* links = static_cast<LargeLinks*>(checked_malloc(total));
        links->total_bytes = total;
        link_large(links);
        handed_out_ += size;
        hold(total);
        BlockHeader* header = header_after(links);
        header->kind = BlockKind::large;
        header->size_class = 0;
        header->next_free = nullptr;
        return payload_of(header);
    }

    void* reallocate_large(BlockHeader* header, std::size_t size) {
        LargeLinks* links = links_of(header);
        const std::size_t capacity = links->total_bytes - sizeof(LargeLinks) - sizeof(BlockHeader);
        if (size <= capacity) return payload_of(header);
        if (add_overflows(size, sizeof(LargeLinks) + sizeof(BlockHeader))) throw std::bad_alloc();
        const std::size_t total = sizeof(LargeLinks) + sizeof(BlockHeader) + size;
        // Unlinked first: realloc may move the block, and the neighbours'
        // pointers must follow it. On failure the old block stays listed.
        unlink_large(links);
        auto* moved = static_cast<LargeLinks*>(std::realloc(links, total));
        if (moved == nullptr) {
            link_large(links);
            throw std::bad_alloc();
        }
        held_ -= moved->total_bytes;
        moved->total_bytes = total;
        link_large(moved);
        handed_out_ += size - capacity;
        hold(total);
        return payload_of(header_after(moved));
    }

    void release_large(LargeLinks* links) {
        unlink_large(links);
        held_ -= links->total_bytes;
        std::free(links);
    }

    void link_large(LargeLinks* links) {
        links->previous = nullptr;
        links->next = large_;
        if (large_ != nullptr) large_->previous = links;
        large_ = links;
    }
    void unlink_large(LargeLinks* links) {
        if (links->previous != nullptr) links->previous->next = links->next;
        else large_ = links->next;
        if (links->next != nullptr) links->next->previous = links->previous;
    }

    void hold(std::size_t bytes) {
        held_ += bytes;
        if (held_ > peak_held_) peak_held_ = held_;
        if (held_ > limit_) over_limit_ = true;
        if (held_ > hard_limit_) throw ArenaLimitExceeded{};
    }

    // Gives back every block at once. Chunks up to RETAINED_CHUNKS are kept,
    // poisoned, for the next request; the rest and all large blocks go back
    // to the system.
    void reset() {
        while (large_ != nullptr) std::free(std::exchange(large_, large_->next));
        while (chunks_ != nullptr) {
            Chunk* chunk = std::exchange(chunks_, chunks_->next);
            if (spare_bytes_ + chunk->bytes <= RETAINED_BYTES) {
                ARENA_POISON(reinterpret_cast<char*>(chunk) + sizeof(Chunk), chunk->bytes - sizeof(Chunk));
                chunk->next = spare_;
                spare_ = chunk;
                spare_bytes_ += chunk->bytes;
            } else {
                std::free(chunk);
            }
        }
        chunk_count_ = 0;
        free_lists_.fill(nullptr);
        bump_ = bump_end_ = nullptr;
        held_ = 0;
    }

    std::size_t depth_ = 0;
    std::size_t limit_ = SIZE_MAX;
    std::size_t hard_limit_ = SIZE_MAX;
    std::size_t held_ = 0;
    std::size_t peak_held_ = 0;
    std::uint64_t handed_out_ = 0;
    bool over_limit_ = false;

    Chunk* chunks_ = nullptr;  // in use, newest first; bump_ points into the first
    char* bump_ = nullptr;
    char* bump_end_ = nullptr;
    std::size_t chunk_count_ = 0;  // taken in this request
    Chunk* spare_ = nullptr;
    std::size_t spare_bytes_ = 0;
    LargeLinks* large_ = nullptr;
    std::array<BlockHeader*, CLASS_COUNT> free_lists_{};
};

namespace {

// The arena serving tree-sitter on this thread, or null outside a lease. A
// plain pointer: reading it costs no initialisation check on the hot path.
thread_local ThreadArena* current_arena = nullptr;

ThreadArena& this_thread_arena() {
    thread_local ThreadArena arena;
    return arena;
}

// Outside a lease: malloc blocks with the same header, so a block can be
// told apart from an arena's when it comes back.
void* system_allocate(std::size_t size) {
    if (add_overflows(size, sizeof(BlockHeader))) throw std::bad_alloc();
    auto* header = static_cast<BlockHeader*>(checked_malloc(sizeof(BlockHeader) + size));
    header->kind = BlockKind::system;
    header->size_class = 0;
    header->next_free = nullptr;
    return payload_of(header);
}

void* hook_malloc(std::size_t size) {
    if (ThreadArena* arena = current_arena) return arena->allocate(size);
    return system_allocate(size);
}

void* hook_calloc(std::size_t count, std::size_t size) {
    if (size != 0 && count > SIZE_MAX / size) throw std::bad_alloc();
    void* block = hook_malloc(count * size);
    std::memset(block, 0, count * size);
    return block;
}

void* hook_realloc(void* block, std::size_t size) {
    if (block == nullptr) return hook_malloc(size);
    BlockHeader* header = header_of(block);
    if (header->kind != BlockKind::system) return current_arena->reallocate(header, size);
    if (add_overflows(size, sizeof(BlockHeader))) throw std::bad_alloc();
    void* moved = std::realloc(header, sizeof(BlockHeader) + size);
    if (moved == nullptr) throw std::bad_alloc();
    return payload_of(static_cast<BlockHeader*>(moved));
}

void hook_free(void* block) {
    if (block == nullptr) return;
    BlockHeader* header = header_of(block);
    if (header->kind == BlockKind::system) {
        std::free(header);
    } else if (ThreadArena* arena = current_arena) {
        arena->release(header);
    }
    // An arena block freed after its lease ended went back with the arena.
}

}  // namespace
}  // namespace arena_detail

ArenaLease::ArenaLease(std::size_t byte_limit) : arena_(&arena_detail::this_thread_arena()) {
    install_parse_allocator();
    arena_->begin(byte_limit);
    arena_detail::current_arena = arena_;
}

ArenaLease::~ArenaLease() {
    if (arena_ != nullptr && arena_->end()) arena_detail::current_arena = nullptr;
}

ArenaLease::ArenaLease(ArenaLease&& other) noexcept : arena_(std::exchange(other.arena_, nullptr)) {}

void ArenaLease::set_hard_limit(std::size_t bytes) {
    if (arena_ != nullptr) arena_->set_hard_limit(bytes);
}

ArenaUsage ArenaLease::usage() const { return arena_ != nullptr ? arena_->usage() : ArenaUsage{}; }

void install_parse_allocator() {
    static const bool installed = [] {
        ts_set_allocator(arena_detail::hook_malloc, arena_detail::hook_calloc,
                         arena_detail::hook_realloc, arena_detail::hook_free);
        return true;
    }();
    (void)installed;
}

namespace {
// Installed while the library loads, before anything can allocate through
// the runtime's default functions and hand the block to ours.
[[maybe_unused]] const bool allocator_installed_at_load = (install_parse_allocator(), true);
}  // namespace

}  // namespace brightloom
