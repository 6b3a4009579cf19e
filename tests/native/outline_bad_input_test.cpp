#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/run_command.h"
#include "outline/collect_symbols.h"
#include "outline_test_support.h"
#include "languages/language_table.h"
#include "syntax/parse_source.h"

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

// The outline of a tree parsed with the limits lifted, as "name@line;".
std::string walked_names(const std::string& text, const char* language) {
    Result<ParsedSource> parsed = parse_source(grammar_for(language), text, UNLIMITED_PARSE);
    if (!parsed.ok()) return "!" + parsed.error().message;
    std::vector<OutlineSymbol> symbols;
    collect_symbols(parsed->root(), text, *outline_rules_for(language), 0, symbols);
    std::string names;
    for (const OutlineSymbol& symbol : symbols) names += symbol.name + "@" + std::to_string(symbol.line) + ";";
    return names;
}

TEST(OutlineBadInput, DeepNestingDoesNotExhaustTheStack) {
    // Deep but valid nesting is within a request's limits, and the outline
    // around it is whole; the walker is also proven on trees parsed with the
    // limits lifted.
    const std::string nested = std::string(100000, '[') + std::string(100000, ']');
    const std::string python = "x = " + nested + "\ndef after(): pass\n";
    const std::vector<SymbolRow> expected{{"function", "after", 2, 2, 0, "def after(): pass"}};
    EXPECT_EQ(outline_rows(python, "python"), expected);

    EXPECT_EQ(walked_names(python, "python"), "after@2;");
    EXPECT_EQ(walked_names(nested + ";\nclass After {}\n", "javascript"), "After@2;");
    // Every bracket left open: the unfinished function ends up inside an
    // error node, which is not listed.
    EXPECT_EQ(walked_names("fn f() { " + std::string(100000, '('), "rust"), "");
}

TEST(OutlineBadInput, FileOfOnlyErrorsGivesACheckedEmptyOutline) {
    // Every token an error costs the parser an error recovery: 16 KB of them
    // stay within a request's limits (40 KB would not in JavaScript).
    std::string text;
    for (int i = 0; i < 2000; ++i) text += ")]}>;:,=";
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
