// Readies a thread for C++ exceptions while a failure can still be reported.
//
// This module is loaded with dlopen, and libstdc++ with it, so glibc gives
// libstdc++'s thread-local data (the exception globals) to each thread on
// first use, and ends the whole process ("cannot allocate memory for
// thread-local data") if it cannot allocate it. The first throw on a thread,
// std::bad_alloc included, is such a first use.
//
//   if (!ready_thread_for_exceptions()) return;  // out of memory: bow out
#pragma once

namespace brightloom {

// Makes sure the calling thread's malloc arena has room, then takes the
// thread's libstdc++ data while that room is free. False when there was no
// room; nothing was touched then. Cheap after the first call on a thread.
bool ready_thread_for_exceptions() noexcept;

}  // namespace brightloom
