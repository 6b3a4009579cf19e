// The symbols rules: every language's rules compile against its grammar, a
// run counts its work on top of the parse, and large error regions are
// planned around.
#include "symbols/query_ranges.h"
#include "symbols/symbol_query.h"

#include <gtest/gtest.h>

#include <string>

#include "languages/language_table.h"

namespace brightloom {
namespace {

TEST(SymbolQuery, EveryLanguageWithAGrammarHasRulesThatCompile) {
    for (const LanguageRow& row : language_table()) {
        if (!row.commands.has(LanguageCommand::symbols) || row.grammar == nullptr) continue;
        Result<const SymbolQuery*> query = symbol_query_for(row.name);
        ASSERT_TRUE(query.ok()) << query.error().message;
        // JSON defines nothing; every other grammar has rules.
        EXPECT_EQ(*query == nullptr, row.name == "json") << row.name;
        // Compiled once: the same rules come back.
        EXPECT_EQ(*symbol_query_for(row.name), *query);
    }
    EXPECT_EQ(*symbol_query_for("toml"), nullptr);
}

TEST(SymbolQuery, TheRunAddsItsWorkToTheParse) {
    const std::string text = "def f():\n    return g(1)\n";
    const SymbolQuery* query = *symbol_query_for("python");
    Result<ParsedSource> parsed = parse_source(grammar_for("python"), text);
    ASSERT_TRUE(parsed.ok());
    Result<SymbolQueryRun> run = run_symbol_query(*query, *parsed, text);
    ASSERT_TRUE(run.ok());
    EXPECT_GT(run->work_units, parsed->work_units);
    EXPECT_FALSE(run->hits.empty());
}

TEST(QueryPlan, CleanTextIsOneRange) {
    const std::string text = "fn main() {}\n";
    Result<ParsedSource> parsed = parse_source(grammar_for("rust"), text);
    ASSERT_TRUE(parsed.ok());
    const QueryPlan plan = plan_symbol_query(parsed->root(), static_cast<std::uint32_t>(text.size()));
    ASSERT_EQ(plan.ranges.size(), 1u);
    EXPECT_EQ(plan.ranges[0].start, 0u);
    EXPECT_EQ(plan.ranges[0].end, text.size());
    EXPECT_TRUE(plan.large_errors.empty());
}

TEST(QueryPlan, LargeErrorsAreLeftOutOfTheRangesAndSmallOnesAreNot) {
    const std::string small = "x = [\n";
    Result<ParsedSource> small_parse = parse_source(grammar_for("python"), small);
    ASSERT_TRUE(small_parse.ok());
    EXPECT_TRUE(plan_symbol_query(small_parse->root(), static_cast<std::uint32_t>(small.size())).large_errors.empty());

    const std::string large = "x = " + std::string(5000, '[');
    Result<ParsedSource> large_parse = parse_source(grammar_for("python"), large);
    ASSERT_TRUE(large_parse.ok());
    const QueryPlan plan = plan_symbol_query(large_parse->root(), static_cast<std::uint32_t>(large.size()));
    ASSERT_EQ(plan.large_errors.size(), 1u);
    const std::uint32_t error_start = ts_node_start_byte(plan.large_errors[0]);
    const std::uint32_t error_end = ts_node_end_byte(plan.large_errors[0]);
    EXPECT_GE(error_end - error_start, LARGE_ERROR_BYTES);
    for (const ByteRange& range : plan.ranges) {
        EXPECT_LT(range.start, range.end);
        EXPECT_TRUE(range.end <= error_start || range.start >= error_end);
    }
}

}  // namespace
}  // namespace brightloom
