#include "languages/language_table.h"
#include "syntax/parse_source.h"

#include <gtest/gtest.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace brightloom {
namespace {

// The counts that identify the grammar releases the module is built with: a
// release with the same counts has the same node types and fields.
struct GrammarCounts {
    const char* name;
    std::uint32_t abi_version;
    std::uint32_t symbols;
    std::uint32_t aliases;
    std::uint32_t fields;
    std::uint32_t states;
};

TEST(GrammarRegistry, HoldsThePinnedGrammarReleases) {
    const GrammarCounts expected[] = {
        {"python", 14, 273, 2, 32, 2809},     {"javascript", 14, 259, 4, 36, 1722},
        {"typescript", 14, 376, 7, 40, 5870}, {"tsx", 14, 393, 7, 43, 5986},
        {"rust", 14, 351, 4, 31, 3823},       {"json", 14, 25, 0, 2, 32},
    };
    for (const GrammarCounts& row : expected) {
        SCOPED_TRACE(row.name);
        const TSLanguage* grammar = grammar_for(row.name);
        ASSERT_NE(grammar, nullptr);
        EXPECT_EQ(ts_language_abi_version(grammar), row.abi_version);
        // The runtime counts alias names among the symbols it reports.
        EXPECT_EQ(ts_language_symbol_count(grammar), row.symbols + row.aliases);
        EXPECT_EQ(ts_language_field_count(grammar), row.fields);
        EXPECT_EQ(ts_language_state_count(grammar), row.states);
    }
}

TEST(GrammarRegistry, LooksNamesUpExactly) {
    for (const char* name : {"Python", "TypeScript", "ts", "py", "jsx", "toml", "", "python ",
                             " rust", "JSON"}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(grammar_for(name), nullptr);
    }
    EXPECT_EQ(grammar_for(std::string("json\0", 5)), nullptr);
}

TEST(GrammarRegistry, SelectsOneDistinctGrammarPerName) {
    const TSLanguage* javascript = grammar_for("javascript");
    const TSLanguage* typescript = grammar_for("typescript");
    const TSLanguage* tsx = grammar_for("tsx");
    EXPECT_NE(typescript, tsx);
    EXPECT_NE(javascript, typescript);
    EXPECT_NE(javascript, tsx);
    EXPECT_EQ(grammar_for("tsx"), tsx);
    // JSX node types exist in the javascript and tsx dialects only.
    const auto has_jsx = [](const TSLanguage* grammar) {
        return ts_language_symbol_for_name(grammar, "jsx_element", 11, true) != 0;
    };
    EXPECT_TRUE(has_jsx(javascript));
    EXPECT_TRUE(has_jsx(tsx));
    EXPECT_FALSE(has_jsx(typescript));
}

TEST(ParseSource, CreatesAndReleasesAParser) {
    // Run under ASan, this also proves the owners free parser and tree.
    ParserOwner parser(ts_parser_new());
    ASSERT_NE(parser, nullptr);
    EXPECT_TRUE(ts_parser_set_language(parser.get(), grammar_for("rust")));
    parser.reset();
    EXPECT_EQ(parser, nullptr);
}

TEST(ParseSource, ParsesEachGrammarsText) {
    struct Case {
        const char* language;
        std::string text;
        const char* root_type;
    };
    const Case cases[] = {
        {"python", "def f(x):\n    return x\n", "module"},
        {"javascript", "const a = <div>{x}</div>;\n", "program"},
        {"typescript", "let n: number = 1;\n", "program"},
        {"tsx", "const a = <T,>(x: T) => <b>{x}</b>;\n", "program"},
        {"rust", "fn main() {}\n", "source_file"},
        {"json", "{\"a\": [1, 2]}", "document"},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(row.language);
        Result<ParsedSource> parsed = parse_source(grammar_for(row.language), row.text);
        ASSERT_TRUE(parsed.ok()) << parsed.error().message;
        const TSNode root = parsed->root();
        EXPECT_STREQ(ts_node_type(root), row.root_type);
        EXPECT_FALSE(ts_node_has_error(root));
        // The whole text was read, not only a first chunk.
        EXPECT_EQ(ts_node_end_byte(root), row.text.size());
    }
}

TEST(ParseSource, ReadsTheTextFromEveryRequestedOffset) {
    // The text is not NUL-terminated at its end: a view into a larger buffer.
    const std::string buffer = "x = 1\ny = 2\n!!!garbage that is not part of the text";
    const std::string_view text(buffer.data(), 12);
    Result<ParsedSource> parsed = parse_source(grammar_for("python"), text);
    ASSERT_TRUE(parsed.ok());
    EXPECT_FALSE(ts_node_has_error(parsed->root()));
    EXPECT_EQ(ts_node_end_byte(parsed->root()), 12u);
    EXPECT_EQ(ts_node_child_count(parsed->root()), 2u);
}

TEST(ParseSource, ParsesEmptyAndFaultyTexts) {
    Result<ParsedSource> empty = parse_source(grammar_for("json"), "");
    ASSERT_TRUE(empty.ok());
    EXPECT_EQ(ts_node_end_byte(empty->root()), 0u);

    Result<ParsedSource> faulty = parse_source(grammar_for("rust"), "fn (((( }}} ;;; impl");
    ASSERT_TRUE(faulty.ok());
    EXPECT_TRUE(ts_node_has_error(faulty->root()));
}

TEST(ParseSource, KeepsTheTreeValidAfterTheParserIsGone) {
    Result<ParsedSource> parsed = parse_source(grammar_for("python"), "class A:\n    pass\n");
    ASSERT_TRUE(parsed.ok());
    ParsedSource source = std::move(*parsed);
    source.parser.reset();
    EXPECT_STREQ(ts_node_type(ts_node_child(source.root(), 0)), "class_definition");
}

TEST(ParseSourceFailure, RefusesGrammarsOfAnotherAbiVersion) {
    // A forged grammar record: its version is its first 32-bit field, and a
    // refused grammar is never handed to the parser, so nothing else is read.
    for (const std::uint32_t version : {0u, 12u, 16u, 4294967295u}) {
        SCOPED_TRACE(version);
        alignas(std::max_align_t) std::array<std::uint32_t, 256> forged{};
        forged[0] = version;
        Result<ParsedSource> parsed =
            parse_source(reinterpret_cast<const TSLanguage*>(forged.data()), "x");
        ASSERT_FALSE(parsed.ok());
        EXPECT_EQ(parsed.error().message, "Incompatible language version " +
                                              std::to_string(version) +
                                              ". Expected minimum 13, maximum 15");
    }
}

TEST(ParseSourceFailure, AbandonsTextsPastTheirWorkOrMemoryLimit) {
    // Short units repeated: unterminated comments and strings that every
    // retry lexes to the end, error nodes rebuilt ever longer, and recovery
    // that allocates hundreds of megabytes at once. Each once took seconds
    // to minutes, or gigabytes, for 100 KB.
    struct Case {
        const char* language;
        std::string unit;
        const char* limit;
        const char* opening = "";
        std::size_t bytes = 100000;
    };
    const Case cases[] = {
        {"javascript", "/*\n", "units of work"},   {"typescript", "/*\n", "units of work"},
        {"javascript", "=1", "units of work"},      {"python", ")1", "units of work"},
        {"python", "\\\n", "units of work"},     {"rust", "\"`", "units of work"},
        {"rust", "r#\"", "units of work"},         {"json", "1 1,", "units of work", "["},
        {"javascript", "let=;", "units of work", "", 20000},
        {"typescript", "declare=;", "units of work", "", 20000},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(std::string(row.language) + " " + row.unit);
        std::string text = row.opening;
        while (text.size() < row.bytes) text += row.unit;
        Result<ParsedSource> parsed = parse_source(grammar_for(row.language), text);
        ASSERT_FALSE(parsed.ok());
        EXPECT_TRUE(parsed.error().message.starts_with(std::string(TOO_COSTLY_TO_PARSE_PREFIX) + "after "));
        EXPECT_NE(parsed.error().message.find(row.limit), std::string::npos) << parsed.error().message;
    }
}

TEST(ParseSourceFailure, LimitsScaleWithTheTextAndAreReportedInTheirUnits) {
    const std::string text = "def f(x):\n    return x\n";
    std::uint64_t work = 0;
    {
        // Ended before the next parses: a lease inside another lives by the
        // outer one's limits.
        Result<ParsedSource> parsed = parse_source(grammar_for("python"), text);
        ASSERT_TRUE(parsed.ok());
        work = parsed->work_units;
    }
    EXPECT_GT(work, text.size());  // every byte is lexed at least once
    EXPECT_LT(work, parse_limits_for(text.size()).work_units);
    EXPECT_GT(parse_limits_for(1 << 20).work_units, parse_limits_for(1 << 10).work_units);
    EXPECT_GT(parse_limits_for(1 << 20).memory_bytes, parse_limits_for(1 << 10).memory_bytes);

    Result<ParsedSource> starved = parse_source(grammar_for("python"), text, ParseLimits{work / 2, SIZE_MAX});
    ASSERT_FALSE(starved.ok());
    EXPECT_TRUE(starved.error().message.ends_with(" units of work")) << starved.error().message;
    Result<ParsedSource> cramped = parse_source(grammar_for("python"), text, ParseLimits{UINT64_MAX, 1024});
    ASSERT_FALSE(cramped.ok());
    EXPECT_TRUE(cramped.error().message.ends_with(" MiB of parser memory")) << cramped.error().message;
}

TEST(ParseSourceFailure, RefusesTextsBeyondThirtyTwoBitOffsets) {
    // Only the size is looked at before refusing, so the view may claim more
    // bytes than its buffer holds.
    const char byte = 'x';
    const std::string_view huge(&byte, std::size_t{1} << 32);
    Result<ParsedSource> parsed = parse_source(grammar_for("python"), huge);
    ASSERT_FALSE(parsed.ok());
    EXPECT_EQ(parsed.error().message, "source text is too large to parse (4 GiB or more)");
}

}  // namespace
}  // namespace brightloom
