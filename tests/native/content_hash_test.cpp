#include "text/content_hash.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "reference_digest.h"

namespace brightloom {
namespace {

using testing::reference_hash;

TEST(ContentHash, MatchesPublishedVectors) {
    EXPECT_EQ(content_hash(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(content_hash("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST(ContentHash, EveryLineEndingConventionGivesOneDigest) {
    const std::string lf = "7e18f737311b2dc3b2f269dd78396b0351f14fb66efa879f768cb23181883c78";
    EXPECT_EQ(content_hash("a\r\nb"), lf);
    EXPECT_EQ(content_hash("a\nb"), lf);
    EXPECT_EQ(content_hash("a\rb"), lf);
}

TEST(ContentHash, MixedEndingsBecomeOneLineFeedEach) {
    const std::string two_lf = "38022fd2b8dbc5cb3d2cee74e083edbf59e3d4e13d067ebcb5db633d4cff4d8c";
    EXPECT_EQ(content_hash("a\r\r\nb"), two_lf);  // CR then CR LF
    EXPECT_EQ(content_hash("a\n\rb"), two_lf);    // LF then CR
    EXPECT_EQ(content_hash("a\r\rb"), two_lf);
}

TEST(ContentHash, KeepsByteOrderMarkAndFinalLineBreak) {
    EXPECT_EQ(content_hash("\xEF\xBB\xBF" "a\nb"), "312eaf073847a5f4d40be348b83d1eab0da5c9bebbf796905c24ce4eee59a219");
    EXPECT_EQ(content_hash("a\r\nb\r\n"), "911169ddaaf146aff539f58c26c489af3b892dff0fe283c1c264c65ae5aa59a2");
}

TEST(ContentHasher, PiecesSplitAnywhereGiveTheOneShotDigest) {
    // Random text rich in CR and LF, cut at every kind of boundary, including
    // between the CR and the LF of a pair.
    std::mt19937 random(7);
    const std::string alphabet = "ab\r\n\r\n\xC3\xA9 ";
    for (int round = 0; round < 200; ++round) {
        std::string text;
        const int length = static_cast<int>(random() % 300);
        for (int i = 0; i < length; ++i) text.push_back(alphabet[random() % alphabet.size()]);
        ContentHasher hasher;
        std::size_t offset = 0;
        while (offset < text.size()) {
            const std::size_t piece = std::min<std::size_t>(text.size() - offset, random() % 7);
            hasher.update(std::string_view(text).substr(offset, piece));
            offset += piece;
        }
        SCOPED_TRACE(round);
        EXPECT_EQ(hasher.total_lines(), count_total_lines(text));
        EXPECT_EQ(hasher.finish(), reference_hash(text));
    }
}

TEST(ContentHasher, LongCarriageReturnTextDigestsCorrectly) {
    // Exercises the gathering buffer across its flush boundary.
    std::string text;
    for (int i = 0; i < 20000; ++i) text += "line " + std::to_string(i) + "\r\n";
    text += std::string(100000, 'x') + "\r";
    EXPECT_EQ(content_hash(text), reference_hash(text));
}

TEST(CountTotalLines, CountsLineFeedsPlusOne) {
    EXPECT_EQ(count_total_lines(""), 0u);
    EXPECT_EQ(count_total_lines("a"), 1u);
    EXPECT_EQ(count_total_lines("a\nb\n"), 3u);
    EXPECT_EQ(count_total_lines("a\rb\r"), 1u);
    EXPECT_EQ(count_total_lines("\n"), 2u);
}

}  // namespace
}  // namespace brightloom
