#include "text/utf8.h"

#include <gtest/gtest.h>

namespace brightloom {
namespace {

TEST(DecodeUtf8, DecodesEachSequenceLength) {
    struct Case {
        std::string bytes;
        char32_t code_point;
        std::size_t length;
    } cases[] = {
        {"A", U'A', 1},
        {"\xC3\xA9", U'\u00E9', 2},
        {"\xE2\x82\xAC", U'\u20AC', 3},
        {"\xF0\x9F\x98\x80", U'\U0001F600', 4},
        {"\xF4\x8F\xBF\xBF", U'\U0010FFFF', 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bytes);
        const DecodedCodePoint decoded = decode_utf8(c.bytes);
        EXPECT_TRUE(decoded.valid);
        EXPECT_EQ(decoded.code_point, c.code_point);
        EXPECT_EQ(decoded.length, c.length);
    }
}

TEST(DecodeUtf8Invalid, RejectsTruncatedOverlongAndSurrogateSequences) {
    struct Case {
        std::string bytes;
        std::size_t length;  // bytes that one replacement character stands for
    } cases[] = {
        {"\xE2\x82", 2},          // truncated at the end
        {"\xE2\x82x", 2},         // truncated by an ASCII byte
        {"\xC0\x80", 1},          // overlong NUL
        {"\xE0\x80\x80", 1},      // overlong three-byte form
        {"\xED\xA0\x80", 1},      // surrogate U+D800
        {"\xF4\x90\x80\x80", 1},  // past U+10FFFF
        {"\x80", 1},              // lone continuation
        {"\xFF", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.bytes));
        const DecodedCodePoint decoded = decode_utf8(c.bytes);
        EXPECT_FALSE(decoded.valid);
        EXPECT_EQ(decoded.length, c.length);
        EXPECT_FALSE(is_valid_utf8(c.bytes));
    }
}

TEST(CutToChars, CountsScalarValuesNotBytes) {
    EXPECT_EQ(cut_to_chars("abcdef", 3), "abc");
    EXPECT_EQ(cut_to_chars("ab", 5), "ab");
    EXPECT_EQ(cut_to_chars("\xC3\xA9\xC3\xA9\xC3\xA9", 2), "\xC3\xA9\xC3\xA9");
    EXPECT_EQ(cut_to_chars("\xF0\x9F\x98\x80x", 1), "\xF0\x9F\x98\x80");
    EXPECT_EQ(cut_to_chars("", 4), "");
    EXPECT_EQ(cut_to_chars("abc", 0), "");
}

TEST(ToLossyUtf8, ReplacesEachMaximalInvalidPart) {
    EXPECT_EQ(to_lossy_utf8("plain"), "plain");
    EXPECT_EQ(to_lossy_utf8("a\xFF" "b"), "a\xEF\xBF\xBD" "b");
    EXPECT_EQ(to_lossy_utf8("a\xE2\x82" "b"), "a\xEF\xBF\xBD" "b");
    EXPECT_EQ(to_lossy_utf8("\xC0\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD");
}

}  // namespace
}  // namespace brightloom
