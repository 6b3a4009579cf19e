// Lets a blocking open or a long read give up when the caller of the command
// has been interrupted (Ctrl-C in the interpreter). The core knows nothing of
// Python: the caller installs a check for the length of one call, and only
// the thread that installed it consults it, so scan workers never do.
//
//   InterruptScope scope(check);   // check() says whether to abandon the call
//   Result<...> r = run_command(...);
//   if (scope.interrupted()) ...   // the caller's own reason wins over r
#pragma once

namespace brightloom {

// Returns true when the current call should be abandoned. Called on the
// installing thread only, at most until it first returns true.
using InterruptCheck = bool (*)();

// Installs `check` for the current thread while it lives. Scopes may nest
// (a signal handler can start another call); the newest one on a thread
// applies, and they may end in any order.
class InterruptScope {
public:
    explicit InterruptScope(InterruptCheck check);
    ~InterruptScope();
    InterruptScope(const InterruptScope&) = delete;
    InterruptScope& operator=(const InterruptScope&) = delete;

    // Whether the check has said to abandon the call.
    bool interrupted() const;

private:
    friend bool is_interrupted();

    InterruptCheck check_;
    unsigned long owner_;  // pthread_t of the installing thread
    bool interrupted_ = false;
    InterruptScope* older_ = nullptr;
};

// Whether the current thread's call should stop: asks its newest scope's
// check, false on a thread without one. Once true it stays true for that
// scope without asking again. Failures caused by a stop read as EINTR
// ("Interrupted system call (os error 4)").
bool is_interrupted();

}  // namespace brightloom
