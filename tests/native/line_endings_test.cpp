#include "text/line_endings.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>

#include "reference_digest.h"

namespace brightloom {
namespace {

using testing::reference_normalise;

constexpr LineEndingKernel KERNELS[] = {LineEndingKernel::fastest, LineEndingKernel::avx2,
                                         LineEndingKernel::portable};

std::string random_text(std::mt19937& random, std::size_t length) {
    // Rich in CR and LF so that pairs fall on every position of a 64-byte
    // step, including its last byte and the first of the next.
    static const std::string alphabet = "ab\r\n\r\n\r\xC3\xA9 x";
    std::string text;
    for (std::size_t i = 0; i < length; ++i) text.push_back(alphabet[random() % alphabet.size()]);
    return text;
}

// Feeds `text` in pieces of random sizes, rewritten in place, and returns the
// joined results.
std::string normalise_in_pieces(LineEndings& endings, std::string text, std::mt19937& random,
                                std::size_t max_piece) {
    std::string out;
    std::size_t offset = 0;
    while (offset < text.size()) {
        const std::size_t piece = std::min<std::size_t>(text.size() - offset, random() % (max_piece + 1));
        const std::size_t kept = endings.normalise(text.data() + offset, piece);
        EXPECT_LE(kept, piece);
        out.append(text, offset, kept);
        offset += piece;
    }
    return out;
}

TEST(LineEndings, EveryKernelMatchesTheTwoPassRuleForAnySplit) {
    for (const LineEndingKernel kernel : KERNELS) {
        std::mt19937 random(11);
        for (int round = 0; round < 3000; ++round) {
            const std::string text = random_text(random, random() % 400);
            // Whole, and cut into pieces small and large against the 64-byte step.
            const std::size_t max_piece = round % 3 == 0 ? text.size() : round % 3 == 1 ? 7 : 150;
            LineEndings endings(kernel);
            SCOPED_TRACE(round);
            EXPECT_EQ(normalise_in_pieces(endings, text, random, max_piece), reference_normalise(text));
            EXPECT_EQ(endings.line_feeds(), static_cast<std::uint64_t>(std::count(text.begin(), text.end(), '\n')));
        }
    }
}

TEST(LineEndings, PairsACarriageReturnWithTheNextPieceOnlyUntilRestart) {
    for (const LineEndingKernel kernel : KERNELS) {
        LineEndings endings(kernel);
        std::string first = "a\r";
        std::string empty;
        std::string second = "\nb";
        EXPECT_EQ(endings.normalise(first.data(), first.size()), 2u);
        EXPECT_EQ(first, "a\n");
        EXPECT_EQ(endings.normalise(empty.data(), 0), 0u);  // keeps the CR pending
        EXPECT_EQ(endings.normalise(second.data(), second.size()), 1u);
        EXPECT_EQ(second.substr(0, 1), "b");
        EXPECT_EQ(endings.line_feeds(), 1u);

        endings.restart();
        std::string again = "a\r";
        std::string next = "\nb";
        static_cast<void>(endings.normalise(again.data(), again.size()));
        endings.restart();
        EXPECT_EQ(endings.normalise(next.data(), next.size()), 2u);
        EXPECT_EQ(next, "\nb");
        EXPECT_EQ(endings.line_feeds(), 1u);
    }
}

TEST(LineEndings, LeavesTextWithoutCarriageReturnsUntouched) {
    for (const LineEndingKernel kernel : KERNELS) {
        std::string text;
        for (int i = 0; i < 1000; ++i) text += "line " + std::to_string(i) + "\n";
        const std::string before = text;
        LineEndings endings(kernel);
        EXPECT_EQ(endings.normalise(text.data(), text.size()), before.size());
        EXPECT_EQ(text, before);
        EXPECT_EQ(endings.line_feeds(), 1000u);
    }
}

}  // namespace
}  // namespace brightloom
