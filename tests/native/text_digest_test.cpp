#include "text/text_digest.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "reference_digest.h"
#include "temp_dir.h"

namespace brightloom {
namespace {

using testing::reference_hash;
using testing::TempDir;

Result<FileDigest> digest_path(TextDigester& digester, const std::string& path) {
    Result<OpenedFile> file = open_for_reading(path, OpenMode::any_file);
    if (!file.ok()) return std::move(file).error();
    return digester.digest(*file);
}

TEST(DigestTextFile, StreamsLargeFilesAcrossReadAndBlockBoundaries) {
    TempDir dir;
    // A CR ends the first read and its LF starts the second; a two-byte and
    // a four-byte character straddle later reads; a CR LF pair and a
    // three-byte character straddle blocks inside a read.
    std::string text(READ_BYTES - 1, 'a');
    text += "\r\n";
    text.resize(2 * READ_BYTES - 1, 'b');
    text += "\xC3\xA9";
    text.resize(2 * READ_BYTES + BLOCK_BYTES - 1, 'c');
    text += "\r\n";
    text.resize(2 * READ_BYTES + 2 * BLOCK_BYTES - 1, 'd');
    text += "\xE2\x82\xAC";
    text.resize(3 * READ_BYTES - 2, 'e');
    text += "\xF0\x9F\x98\x80 tail\r";
    const std::string path = dir.write("big.txt", text);

    Result<FileDigest> digest = digest_text_file(path, OpenMode::any_file);
    ASSERT_TRUE(digest.ok()) << digest.error().message;
    EXPECT_EQ(digest->hash, reference_hash(text));
    EXPECT_EQ(digest->total_lines, 3u);
}

// Text built from whole characters and line endings, with one that straddles
// every block boundary, at random sizes around a few reads; one digester
// reads every file, as a scan worker does.
TEST(DigestTextFile, RandomTextSplitAnywhereGivesTheOneShotDigest) {
    TempDir dir;
    std::mt19937 random(2024);
    const std::string tokens[] = {"a", "b", " ", "\n", "\r", "\r\n", "\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80"};
    const std::string straddling[] = {"\r\n", "\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80"};
    TextDigester digester;
    for (int round = 0; round < 12; ++round) {
        const std::size_t length = READ_BYTES / 2 + random() % (3 * READ_BYTES);
        std::string text;
        while (text.size() < length) {
            const bool near_boundary = BLOCK_BYTES - text.size() % BLOCK_BYTES <= 3;
            text += near_boundary ? straddling[random() % std::size(straddling)]
                                  : tokens[random() % std::size(tokens)];
        }
        SCOPED_TRACE(round);
        Result<FileDigest> digest = digest_path(digester, dir.write("r.txt", text));
        ASSERT_TRUE(digest.ok()) << digest.error().message;
        EXPECT_EQ(digest->hash, reference_hash(text));
        EXPECT_EQ(digest->total_lines, 1 + static_cast<std::uint64_t>(std::count(text.begin(), text.end(), '\n')));
    }
}

TEST(DigestTextFile, ADigesterCarriesNothingFromOneFileToTheNext) {
    TempDir dir;
    TextDigester digester;
    const std::string ends_with_cr = dir.write("a.txt", "a\r");
    const std::string invalid = dir.write("b.txt", std::string(READ_BYTES + 7, 'x') + "\xFF\r");
    const std::string starts_with_lf = dir.write("c.txt", "\nc");
    const std::string empty = dir.write("d.txt", "");
    ASSERT_TRUE(digest_path(digester, ends_with_cr).ok());
    EXPECT_FALSE(digest_path(digester, invalid).ok());
    Result<FileDigest> after = digest_path(digester, starts_with_lf);
    ASSERT_TRUE(after.ok());
    EXPECT_EQ(after->hash, reference_hash("\nc"));
    EXPECT_EQ(after->total_lines, 2u);
    Result<FileDigest> nothing = digest_path(digester, empty);
    ASSERT_TRUE(nothing.ok());
    EXPECT_EQ(nothing->hash, reference_hash(""));
    EXPECT_EQ(nothing->total_lines, 0u);
}

TEST(DigestTextFile, ReadsFilesThatDoNotReportTheirSize) {
    // /proc files call themselves regular with a size of 0.
    Result<FileDigest> status = digest_text_file("/proc/self/status", OpenMode::any_file);
    ASSERT_TRUE(status.ok()) << status.error().message;
    EXPECT_GT(status->total_lines, 5u);
}

TEST(DigestTextFileFailure, RejectsInvalidUtf8AnywhereInTheStream) {
    TempDir dir;
    std::string late_fault(READ_BYTES + 10, 'a');
    late_fault[READ_BYTES + 5] = '\xFF';
    std::string cut_at_end = "abc\xE2\x82";
    std::string straddling_read(READ_BYTES - 1, 'a');
    straddling_read += "\xE2(x";  // lead byte ends the read, a non-continuation follows
    std::string straddling_block(BLOCK_BYTES - 1, 'a');
    straddling_block += "\xF0\x9F(xy";
    std::string lone_continuations(BLOCK_BYTES - 2, 'a');
    lone_continuations += "\x80\x80\x80\x80\x80";
    for (const std::string& text : {late_fault, cut_at_end, straddling_read, straddling_block,
                                    lone_continuations, std::string("\xC0\x80")}) {
        SCOPED_TRACE(text.size());
        const std::string path = dir.write("bad.txt", text);
        Result<FileDigest> digest = digest_text_file(path, OpenMode::any_file);
        ASSERT_FALSE(digest.ok());
        EXPECT_EQ(digest.error().message, "stream did not contain valid UTF-8");
    }
}

}  // namespace
}  // namespace brightloom
