// Line endings of text that arrives in blocks: counts its line feeds and
// rewrites every CR LF pair and every lone CR as one LF, in place, so that a
// digest of the result does not depend on the file's convention. A CR that
// ends one block still pairs with an LF that starts the next.
//
//   LineEndings endings;
//   std::size_t kept = endings.normalise(block, size);  // block[0, kept) is the result
#pragma once

#include <cstddef>
#include <cstdint>

namespace brightloom {

// Which code does the work. All give the same bytes; tests run each.
enum class LineEndingKernel {
    // AVX-512 (BW and VBMI2) where the processor has it, else `avx2`.
    fastest,
    // AVX2 where the processor has it, else `portable`.
    avx2,
    // Baseline x86-64 (SSE2) or plain C++ elsewhere.
    portable,
};

class LineEndings {
public:
    explicit LineEndings(LineEndingKernel kernel = LineEndingKernel::fastest);

    // Rewrites data[0, size) in place and returns the length of the result,
    // which is never longer. An empty block keeps a pending CR pending.
    std::size_t normalise(char* data, std::size_t size);

    // LF bytes seen so far in the text as it was, before any rewriting.
    std::uint64_t line_feeds() const { return line_feeds_; }

    // Forgets everything fed so far, for the next text.
    void restart() {
        after_cr_ = false;
        line_feeds_ = 0;
    }

private:
    using Kernel = char* (*)(const char* in, const char* end, char* out, std::uint64_t& line_feeds);
    Kernel kernel_;
    bool after_cr_ = false;
    std::uint64_t line_feeds_ = 0;
};

// LF bytes in data[0, size), 16 at a time on SSE2.
std::uint64_t count_line_feeds(const char* data, std::size_t size);

}  // namespace brightloom
