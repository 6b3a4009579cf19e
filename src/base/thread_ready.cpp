#include "thread_ready.h"

#include <pthread.h>

#include <cstdlib>
#include <exception>

namespace brightloom {
namespace {

// Far more than the thread-local block and glibc's table of blocks need.
// Small enough that freeing it keeps it in the thread's arena (below the
// trim and mmap thresholds), so the allocation glibc makes next is served
// from it without asking the system.
constexpr std::size_t ROOM_BYTES = 4096;

// Marks threads already readied. A pthread key, not a thread_local: that
// would be the very kind of data whose lazy allocation can end the process.
pthread_key_t readied_key;

}  // namespace

bool ready_thread_for_exceptions() noexcept {
    static const bool has_key = pthread_key_create(&readied_key, nullptr) == 0;
    if (has_key && pthread_getspecific(readied_key) != nullptr) return true;

    void* room = std::malloc(ROOM_BYTES);
    if (room == nullptr) return false;
    std::free(room);
    // Reads libstdc++'s exception globals of this thread, which allocates
    // them on the thread's first call. The function is declared pure, so an
    // unused result would let the compiler drop the call.
    volatile int uncaught = std::uncaught_exceptions();
    static_cast<void>(uncaught);
    // Should the mark fail to stick, the next call just does this again.
    if (has_key) static_cast<void>(pthread_setspecific(readied_key, &readied_key));
    return true;
}

}  // namespace brightloom
