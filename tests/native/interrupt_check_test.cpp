#include "base/interrupt_check.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <memory>
#include <thread>

namespace brightloom {
namespace {

// A check is a plain function, so the tests count its calls here.
std::atomic<int> check_calls{0};

bool stop_check() {
    ++check_calls;
    errno = ENOMEM;  // a check may run code that changes errno
    return true;
}

bool go_on_check() {
    ++check_calls;
    return false;
}

TEST(InterruptScope, AsksItsCheckUntilItSaysStopThenKeepsTheAnswer) {
    EXPECT_FALSE(is_interrupted());  // no scope installed

    check_calls = 0;
    {
        InterruptScope scope(go_on_check);
        EXPECT_FALSE(is_interrupted());
        EXPECT_FALSE(is_interrupted());
        EXPECT_EQ(check_calls, 2);
        EXPECT_FALSE(scope.interrupted());
    }
    check_calls = 0;
    {
        InterruptScope scope(stop_check);
        EXPECT_FALSE(scope.interrupted());
        errno = EINTR;
        EXPECT_TRUE(is_interrupted());
        EXPECT_EQ(errno, EINTR);  // the caller still sees its system call's error
        EXPECT_TRUE(is_interrupted());
        EXPECT_EQ(check_calls, 1);
        EXPECT_TRUE(scope.interrupted());
    }
    EXPECT_FALSE(is_interrupted());
}

// Scan workers run while the caller's scope is installed; they must never
// run the caller's check (it needs the interpreter lock the caller holds).
TEST(InterruptScope, AppliesOnlyToTheThreadThatInstalledIt) {
    check_calls = 0;
    InterruptScope scope(stop_check);
    bool other_thread_saw = true;
    bool other_scope_saw = false;
    std::thread([&] {
        other_thread_saw = is_interrupted();
        InterruptScope own(go_on_check);
        other_scope_saw = is_interrupted();
    }).join();
    EXPECT_FALSE(other_thread_saw);
    EXPECT_FALSE(other_scope_saw);
    EXPECT_EQ(check_calls, 1);  // the other thread's own check only
    EXPECT_FALSE(scope.interrupted());
    EXPECT_TRUE(is_interrupted());
}

// A Python signal handler may start a nested call, and a handler that lets
// other threads run may let the scopes end out of order.
TEST(InterruptScope, TheNewestScopeAppliesAndScopesMayEndInAnyOrder) {
    auto outer = std::make_unique<InterruptScope>(go_on_check);
    auto inner = std::make_unique<InterruptScope>(stop_check);
    EXPECT_TRUE(is_interrupted());
    EXPECT_TRUE(inner->interrupted());
    EXPECT_FALSE(outer->interrupted());

    outer.reset();
    EXPECT_TRUE(is_interrupted());
    inner.reset();
    EXPECT_FALSE(is_interrupted());

    auto first = std::make_unique<InterruptScope>(stop_check);
    auto second = std::make_unique<InterruptScope>(go_on_check);
    second.reset();
    EXPECT_TRUE(is_interrupted());
    EXPECT_TRUE(first->interrupted());
}

}  // namespace
}  // namespace brightloom
