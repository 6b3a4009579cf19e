// Out of memory at every allocation of a parse, one at a time: the Nth
// allocation through the runtime's allocator hook fails as the arena fails
// when the system has no memory left, for N = 1, 2, ... until a command runs
// through. Each failure must leave by std::bad_alloc (never as a reply), and
// the next request on the thread must answer exactly as before.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <new>
#include <optional>
#include <string>

#include <tree_sitter/api.h>

#include "commands/outline_command.h"
#include "commands/syntax_check_command.h"

// The runtime's current hook (the arena's), to forward to.
extern "C" {
extern void* (*ts_current_malloc)(std::size_t);
extern void* (*ts_current_calloc)(std::size_t, std::size_t);
extern void* (*ts_current_realloc)(void*, std::size_t);
extern void (*ts_current_free)(void*);
}

namespace brightloom {
namespace {

// Wraps the installed hook for its lifetime; the allocation numbered
// `fail_at` (from 1) throws std::bad_alloc instead of reaching the arena.
class FailingAllocation {
public:
    explicit FailingAllocation(std::uint64_t fail_at)
        : saved_malloc_(ts_current_malloc), saved_calloc_(ts_current_calloc),
          saved_realloc_(ts_current_realloc), saved_free_(ts_current_free) {
        forward_malloc = saved_malloc_;
        forward_calloc = saved_calloc_;
        forward_realloc = saved_realloc_;
        calls = 0;
        failing_call = fail_at;
        ts_set_allocator(failing_malloc, failing_calloc, failing_realloc, saved_free_);
    }
    ~FailingAllocation() { ts_set_allocator(saved_malloc_, saved_calloc_, saved_realloc_, saved_free_); }
    FailingAllocation(const FailingAllocation&) = delete;
    FailingAllocation& operator=(const FailingAllocation&) = delete;

    bool fired() const { return calls >= failing_call; }

private:
    static void count_or_fail() {
        if (++calls == failing_call) throw std::bad_alloc();
    }
    static void* failing_malloc(std::size_t size) {
        count_or_fail();
        return forward_malloc(size);
    }
    static void* failing_calloc(std::size_t count, std::size_t size) {
        count_or_fail();
        return forward_calloc(count, size);
    }
    // A failed realloc leaves the old block as it was, as the arena does.
    static void* failing_realloc(void* block, std::size_t size) {
        count_or_fail();
        return forward_realloc(block, size);
    }

    static inline void* (*forward_malloc)(std::size_t) = nullptr;
    static inline void* (*forward_calloc)(std::size_t, std::size_t) = nullptr;
    static inline void* (*forward_realloc)(void*, std::size_t) = nullptr;
    static inline std::uint64_t calls = 0;
    static inline std::uint64_t failing_call = 0;

    void* (*saved_malloc_)(std::size_t);
    void* (*saved_calloc_)(std::size_t, std::size_t);
    void* (*saved_realloc_)(void*, std::size_t);
    void (*saved_free_)(void*);
};

struct SourceCase {
    const char* language;
    // Declarations for the outline, a fault for the error walk, and a
    // construct that keeps an external scanner's state.
    const char* text;
};

const SourceCase SOURCE_CASES[] = {
    {"python", "class A:\n    def f(self):\n        return '''x'''\n\ndef g(:\n    pass\n"},
    {"rust", "struct S;\nimpl S {\n    fn f(&self) -> &str { r#\"x\"# }\n}\nfn g( {}\n"},
    {"javascript", "class A { f() { return `a${1}`; } }\nfunction g( {}\n/* open"},
    {"typescript", "interface I { x: number }\nclass A { f(): void {} }\nlet = ;\n"},
    {"tsx", "function C() { return <div>{1}</div>; }\nclass A { m() {} }\nlet = ;\n"},
    {"json", "{\"a\": [1, 2,], \"b\": }"},
};

// Runs `command` with allocation number 1, 2, ... failing until it gets
// through; returns how many failures it drove.
template <typename Run>
std::uint64_t fail_each_allocation(const SourceCase& source, Run run) {
    const SourceRequest request{SourceText::borrowed(source.text), source.language};
    const JsonObject expected = to_json(*run(request));
    for (std::uint64_t fail_at = 1;; ++fail_at) {
        bool threw = false;
        bool fired = false;
        std::optional<JsonObject> reply;
        {
            FailingAllocation failing(fail_at);
            try {
                auto result = run(request);
                if (result.ok()) reply = to_json(*std::move(result));
            } catch (const std::bad_alloc&) {
                threw = true;
            }
            fired = failing.fired();
        }
        EXPECT_EQ(threw, fired) << "allocation " << fail_at << " failed without std::bad_alloc";
        if (!threw) {
            EXPECT_EQ(reply, expected) << "allocation " << fail_at;
            return fail_at - 1;
        }
        // Nothing of the abandoned request is left in the thread's arena.
        auto again = run(request);
        if (!again.ok() || to_json(*std::move(again)) != expected) {
            ADD_FAILURE() << "the request after failing allocation " << fail_at << " answered differently";
            return fail_at;
        }
    }
}

TEST(ParseOutOfMemory, EveryAllocationOfAnOutlineCanFail) {
    for (const SourceCase& source : SOURCE_CASES) {
        SCOPED_TRACE(source.language);
        const std::uint64_t failures = fail_each_allocation(source, run_outline);
        // JSON has no outline rules, so nothing is parsed or allocated.
        if (std::string(source.language) == "json") {
            EXPECT_EQ(failures, 0u);
        } else {
            EXPECT_GT(failures, 10u);
        }
    }
}

TEST(ParseOutOfMemory, EveryAllocationOfASyntaxCheckCanFail) {
    for (const SourceCase& source : SOURCE_CASES) {
        SCOPED_TRACE(source.language);
        EXPECT_GT(fail_each_allocation(source, run_syntax_check), 10u);
    }
}

}  // namespace
}  // namespace brightloom
