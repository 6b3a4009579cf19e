// Instrumented builds keep the assertions of the library on: a broken
// precondition stops the process there instead of reading past a buffer.
#include <gtest/gtest.h>

#include <vector>

#include "host/json_number.h"
#include "languages/language_table.h"
#include "outline/collect_symbols.h"
#include "syntax/parse_source.h"

namespace brightloom {
namespace {

#ifdef BRIGHTLOOM_ASSERTIONS_CHECKED
TEST(AssertionsDeathTest, BrokenPreconditionsStopTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH((void)convert_json_number(""), "token");
    EXPECT_DEATH((void)convert_json_number("x"), "token");

    Result<ParsedSource> parsed = parse_source(grammar_for("python"), "def f(): pass\n");
    ASSERT_TRUE(parsed.ok());
    std::vector<OutlineSymbol> symbols;
    EXPECT_DEATH(collect_symbols(parsed->root(), "def f(): pass\n", *outline_rules_for("python"), 2, symbols),
                 "depth");
}
#endif

}  // namespace
}  // namespace brightloom
