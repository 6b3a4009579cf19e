#include "lib/content_hash.h"

#include <openssl/sha.h>

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "temp_dir.h"

namespace brightloom {
namespace {

using testing::TempDir;

// Written here independently of the production code: the two-pass rule
// (CR LF pairs first, then lone CRs) and a one-shot digest.
std::string reference_hash(std::string_view text) {
    std::string pass_one;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
            pass_one.push_back('\n');
            ++i;
        } else {
            pass_one.push_back(text[i]);
        }
    }
    for (char& c : pass_one) {
        if (c == '\r') c = '\n';
    }
    unsigned char digest[SHA256_DIGEST_LENGTH];
    SHA256(reinterpret_cast<const unsigned char*>(pass_one.data()), pass_one.size(), digest);
    std::string hex;
    for (unsigned char byte : digest) {
        static const char* digits = "0123456789abcdef";
        hex.push_back(digits[byte >> 4]);
        hex.push_back(digits[byte & 15]);
    }
    return hex;
}

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

TEST(DigestTextFile, StreamsLargeFilesAcrossChunkBoundaries) {
    TempDir dir;
    // A CR ends the first chunk and its LF starts the second; a two-byte and
    // a four-byte character straddle later boundaries.
    std::string text(STREAM_CHUNK_BYTES - 1, 'a');
    text += "\r\n";
    text.resize(2 * STREAM_CHUNK_BYTES - 1, 'b');
    text += "\xC3\xA9";
    text.resize(3 * STREAM_CHUNK_BYTES - 2, 'c');
    text += "\xF0\x9F\x98\x80 tail\r";
    const std::string path = dir.write("big.txt", text);

    Result<FileDigest> digest = digest_text_file(path, OpenMode::any_file);
    ASSERT_TRUE(digest.ok()) << digest.error().message;
    EXPECT_EQ(digest->hash, reference_hash(text));
    EXPECT_EQ(digest->total_lines, 2u);
}

TEST(DigestTextFile, RejectsInvalidUtf8AnywhereInTheStream) {
    TempDir dir;
    std::string late_fault(STREAM_CHUNK_BYTES + 10, 'a');
    late_fault[STREAM_CHUNK_BYTES + 5] = '\xFF';
    std::string cut_at_end = "abc\xE2\x82";
    std::string straddling_bad(STREAM_CHUNK_BYTES - 1, 'a');
    straddling_bad += "\xE2(x";  // lead byte ends the chunk, a non-continuation follows
    for (const std::string& text : {late_fault, cut_at_end, straddling_bad, std::string("\xC0\x80")}) {
        const std::string path = dir.write("bad.txt", text);
        Result<FileDigest> digest = digest_text_file(path, OpenMode::any_file);
        ASSERT_FALSE(digest.ok());
        EXPECT_EQ(digest.error().message, "stream did not contain valid UTF-8");
    }
}

}  // namespace
}  // namespace brightloom
