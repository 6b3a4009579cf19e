#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "outline_test_support.h"

namespace brightloom::testing {
namespace {

TEST(OutlineBadInput, BinaryLookingTextIsParsedWithoutRecords) {
    // Valid UTF-8 made of control characters, NUL bytes and assorted code
    // points. Error recovery may swallow what follows it, so the one real
    // declaration stands before it.
    std::string binary;
    for (int i = 0; i < 500; ++i) {
        binary += static_cast<char>(i % 32);
        binary += "\xc3\xbf\xe2\x82\xac\xf0\x90\x80\x80";
    }
    for (std::string_view language : {"python", "javascript", "typescript", "tsx", "rust"}) {
        SCOPED_TRACE(language);
        EXPECT_TRUE(outline_rows(binary, language).empty());
    }
    const std::vector<SymbolRow> expected{{"struct", "Kept", 1, 1, 0, "struct Kept;"}};
    EXPECT_EQ(outline_rows("struct Kept;\n" + binary, "rust"), expected);
}

TEST(OutlineBadInput, TenMegabyteSingleLine) {
    // One declaration whose only line is ten megabytes long: the signature
    // is still the first 120 characters.
    const std::string text = "def f(): return '" + std::string(10 * 1024 * 1024, 'x') + "'";
    const std::vector<SymbolRow> rows = outline_rows(text, "python");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0],
              (SymbolRow{"function", "f", 1, 1, 0, "def f(): return '" + std::string(103, 'x')}));
}

TEST(OutlineBadInput, DeepNestingDoesNotExhaustTheStack) {
    const std::string nested = std::string(100000, '[') + std::string(100000, ']');
    const std::vector<SymbolRow> python =
        outline_rows("x = " + nested + "\ndef after(): pass\n", "python");
    const std::vector<SymbolRow> python_expected{
        {"function", "after", 2, 2, 0, "def after(): pass"}};
    EXPECT_EQ(python, python_expected);

    const std::vector<SymbolRow> js = outline_rows(nested + ";\nclass After {}\n", "javascript");
    const std::vector<SymbolRow> js_expected{{"class", "After", 2, 2, 0, "class After {}"}};
    EXPECT_EQ(js, js_expected);

    // Every bracket left open: the unfinished function ends up inside an
    // error node, which is not listed.
    EXPECT_TRUE(outline_rows("fn f() { " + std::string(100000, '('), "rust").empty());
}

TEST(OutlineBadInput, FileOfOnlyErrorsGivesACheckedEmptyOutline) {
    std::string text;
    for (int i = 0; i < 5000; ++i) text += ")]}>;:,=";
    for (std::string_view language : {"python", "javascript", "typescript", "tsx", "rust"}) {
        SCOPED_TRACE(language);
        EXPECT_TRUE(outline_rows(text, language).empty());
    }
}

TEST(OutlineBadInput, EmptyTextGivesACheckedEmptyOutline) {
    for (std::string_view language : {"python", "javascript", "typescript", "tsx", "rust"}) {
        SCOPED_TRACE(language);
        EXPECT_TRUE(outline_rows("", language).empty());
    }
}

TEST(OutlineBadInput, OddLanguageNamesAreEchoedByteForByte) {
    const std::string names[] = {
        std::string("py\x01thon\n", 8),
        std::string("\0rust", 5),
        "\xe3\x83\x91\xe3\x82\xa4\xe3\x82\xbd\xe3\x83\xb3",
        "pyth\xc3\xb6n",
        " python",
        "python ",
    };
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        const JsonValue reply = outline_reply(content_payload("def f(): pass\n", name));
        EXPECT_EQ(text_of(find_field(reply, "language")), name);
        EXPECT_EQ(text_of(find_field(reply, "reason")), "no_outline");
        EXPECT_EQ(count_of(find_field(reply, "symbol_count")), 0u);
    }
}

}  // namespace
}  // namespace brightloom::testing
