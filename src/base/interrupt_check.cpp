#include "interrupt_check.h"

#include <pthread.h>

#include <cerrno>
#include <mutex>
#include <type_traits>

namespace brightloom {
namespace {

static_assert(std::is_same_v<pthread_t, unsigned long>, "owner_ stores a pthread_t");

// The live scopes, newest first. A list rather than one slot per thread:
// the module is loaded with dlopen, where a thread_local is allocated on first
// use and glibc aborts the process if that allocation fails. The list is one
// entry long in practice, and is read only when a call was interrupted or
// between chunks of a read.
std::mutex scopes_mutex;
InterruptScope* newest_scope = nullptr;

}  // namespace

InterruptScope::InterruptScope(InterruptCheck check) : check_(check), owner_(pthread_self()) {
    std::lock_guard lock(scopes_mutex);
    older_ = newest_scope;
    newest_scope = this;
}

InterruptScope::~InterruptScope() {
    std::lock_guard lock(scopes_mutex);
    for (InterruptScope** link = &newest_scope; *link != nullptr; link = &(*link)->older_) {
        if (*link == this) {
            *link = older_;
            break;
        }
    }
}

bool InterruptScope::interrupted() const {
    std::lock_guard lock(scopes_mutex);
    return interrupted_;
}

bool is_interrupted() {
    // Callers test errno after this returns; the check may run code that
    // changes it.
    const int saved_errno = errno;
    const pthread_t self = pthread_self();
    InterruptScope* scope = nullptr;
    {
        std::lock_guard lock(scopes_mutex);
        scope = newest_scope;
        while (scope != nullptr && !pthread_equal(scope->owner_, self)) scope = scope->older_;
        if (scope == nullptr) return false;
        if (scope->interrupted_) return true;
    }
    // The check runs unlocked: it may run a Python signal handler, which can
    // start a nested call on this thread. Only this thread touches the
    // scope's flag, and the scope outlives the call that got here.
    const bool stop = scope->check_();
    errno = saved_errno;
    std::lock_guard lock(scopes_mutex);
    scope->interrupted_ = scope->interrupted_ || stop;
    return scope->interrupted_;
}

}  // namespace brightloom
