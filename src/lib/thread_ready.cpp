#include "thread_ready.h"

#include <cstdlib>
#include <exception>

namespace brightloom {
namespace {

// Far more than the thread-local block and glibc's table of blocks need.
// Small enough that freeing it keeps it in the thread's arena (below the
// trim and mmap thresholds), so the allocation glibc makes next is served
// from it without asking the system.
constexpr std::size_t ROOM_BYTES = 4096;

}  // namespace

bool ready_thread_for_exceptions() noexcept {
    void* room = std::malloc(ROOM_BYTES);
    if (room == nullptr) return false;
    std::free(room);
    // Reads libstdc++'s exception globals of this thread, which allocates
    // them on the thread's first call. The function is declared pure, so an
    // unused result would let the compiler drop the call.
    volatile int uncaught = std::uncaught_exceptions();
    static_cast<void>(uncaught);
    return true;
}

}  // namespace brightloom
