// The parse limits against the texts they are for: junk whose every token
// sends the parser into error recovery is refused, dense but valid code of up
// to 1 MiB is not.
#include <gtest/gtest.h>

#include <string>

#include "languages/language_table.h"
#include "syntax/parse_source.h"

namespace brightloom {
namespace {

std::string repeated(std::string_view opening, std::string_view unit, std::string_view closing, std::size_t bytes) {
    std::string text(opening);
    while (text.size() + unit.size() + closing.size() <= bytes) text += unit;
    return text + std::string(closing);
}

TEST(ParseLimits, RefusesTextsThatEnterErrorRecoveryAtEveryUnit) {
    // Few operations and allocations, but each entry into recovery tries
    // every token of the grammar: once 6 to 11 seconds for 1 MiB, some found
    // by bench/parse_cost_bench.py --search.
    struct Case {
        const char* language;
        const char* unit;
    };
    const Case cases[] = {
        {"typescript", ".else:"}, {"tsx", ".in:"}, {"javascript", ".as:"},
        {"rust", ".in:"},         {"python", "|fn !"}, {"typescript", "in )."},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(std::string(row.language) + " " + row.unit);
        const std::string text = repeated("", row.unit, "", 100000);
        ParseCost cost;
        Result<ParsedSource> parsed = parse_source(grammar_for(row.language), text, parse_limits_for(text.size()), &cost);
        ASSERT_FALSE(parsed.ok());
        EXPECT_TRUE(parsed.error().message.ends_with(" units of work")) << parsed.error().message;
        // Stopped by the recoveries, not by what the other currencies add up to.
        EXPECT_GT(cost.recoveries, 0u);
        EXPECT_LT(cost.operations + cost.lexed_bytes + cost.allocated_bytes / 16, cost.work_units / 2);
    }
}

TEST(ParseLimits, AcceptsDenseValidTextsOfOneMebibyte) {
    // The densest valid shapes: the most nodes and memory a byte of text can
    // take in each grammar.
    struct Case {
        const char* language;
        const char* opening;
        const char* unit;
        const char* closing;
    };
    const Case cases[] = {
        {"python", "", "a,b=1,2\n", ""},
        {"javascript", "", "f(x);", ""},
        {"rust", "static A: [u8; 1] = [", "1,", "];\n"},
        {"json", "[", "1,", "1]"},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(std::string(row.language) + " " + row.unit);
        const std::string text = repeated(row.opening, row.unit, row.closing, 1 << 20);
        ParseCost cost;
        Result<ParsedSource> parsed = parse_source(grammar_for(row.language), text, parse_limits_for(text.size()), &cost);
        ASSERT_TRUE(parsed.ok()) << parsed.error().message;
        EXPECT_FALSE(ts_node_has_error(parsed->root()));
        EXPECT_EQ(cost.recoveries, 0u);
        // Room to spare, so that real files a little denser still pass.
        const ParseLimits limits = parse_limits_for(text.size());
        EXPECT_LT(cost.work_units, limits.work_units * 3 / 4);
        EXPECT_LT(cost.peak_bytes, limits.memory_bytes * 9 / 10);
    }
}

TEST(ParseLimits, SameTextSameWork) {
    // Recoveries are sampled, at places drawn from the text: the count, and
    // so the answer, must not change from one parse to the next.
    const std::string text = repeated("x = 1\n", "|fn !", "", 30000);
    ParseCost first;
    ParseCost second;
    (void)parse_source(grammar_for("python"), text, UNLIMITED_PARSE, &first);
    (void)parse_source(grammar_for("python"), text, UNLIMITED_PARSE, &second);
    EXPECT_GT(first.recoveries, 0u);
    EXPECT_EQ(first.work_units, second.work_units);
    EXPECT_EQ(first.recoveries, second.recoveries);
}

}  // namespace
}  // namespace brightloom
