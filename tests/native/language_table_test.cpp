// The one language table: its rows agree with each other, with the commands
// that read them, and with the two copies kept outside C++ (the Python
// package's contract and the CMake list of compiled grammars).
#include "languages/language_table.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>

namespace brightloom {
namespace {

constexpr LanguageCommand SOURCE_COMMANDS[] = {LanguageCommand::outline, LanguageCommand::syntax_check};

std::string read_source_file(const std::string& relative) {
    std::ifstream file(std::string(BRIGHTLOOM_SOURCE_DIR) + "/" + relative);
    EXPECT_TRUE(file.good()) << relative;
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

// The quoted strings of the Python statement `name = ...` up to its closing
// bracket at the start of a line or the end of its own line.
std::vector<std::string> python_strings_of(const std::string& source, const std::string& name) {
    const std::size_t start = source.find("\n" + name);
    EXPECT_NE(start, std::string::npos) << name;
    if (start == std::string::npos) return {};
    const std::size_t line_end = source.find('\n', start + 1);
    const bool one_line = source.compare(line_end - 1, 1, "{") != 0;
    const std::size_t end = one_line ? line_end : source.find("\n}", start);
    const std::string body = source.substr(start, end - start);
    std::vector<std::string> strings;
    const std::regex quoted("\"([^\"]*)\"");
    for (auto it = std::sregex_iterator(body.begin(), body.end(), quoted); it != std::sregex_iterator(); ++it) {
        strings.push_back((*it)[1]);
    }
    return strings;
}

TEST(LanguageTable, RowsAreSortedAndConsistent) {
    const auto table = language_table();
    ASSERT_FALSE(table.empty());
    EXPECT_TRUE(std::is_sorted(table.begin(), table.end(),
                               [](const LanguageRow& a, const LanguageRow& b) { return a.name < b.name; }));
    std::set<std::string_view> names;
    std::set<std::string_view> extensions;
    for (const LanguageRow& row : table) {
        SCOPED_TRACE(std::string(row.name));
        EXPECT_TRUE(names.insert(row.name).second) << "name listed twice";
        EXPECT_NE(row.commands.bits, 0u) << "a row no command answers for";
        EXPECT_EQ(row.grammar != nullptr, !row.grammar_source.empty());
        EXPECT_TRUE(row.outline_rules == nullptr || row.grammar != nullptr) << "outline rules without a grammar";
        EXPECT_FALSE(row.extensions.empty());
        for (std::string_view extension : row.extensions) {
            EXPECT_TRUE(extensions.insert(extension).second) << extension << " names two languages";
            EXPECT_FALSE(extension.empty());
            EXPECT_TRUE(std::none_of(extension.begin(), extension.end(),
                                     [](char c) { return c == '.' || (c >= 'A' && c <= 'Z'); }))
                << extension;
        }
    }
}

TEST(LanguageTable, CommandsFindEachRowByNameAndExtension) {
    for (const LanguageRow& row : language_table()) {
        SCOPED_TRACE(std::string(row.name));
        EXPECT_EQ(find_language(row.name), &row);
        EXPECT_EQ(outline_rules_for(row.name), row.outline_rules);
        EXPECT_EQ(grammar_for(row.name), row.grammar != nullptr ? row.grammar() : nullptr);
        for (LanguageCommand command : SOURCE_COMMANDS) {
            const bool served = row.commands.has(command);
            EXPECT_EQ(language_serving(row.name, command), served ? &row : nullptr);
            for (std::string_view extension : row.extensions) {
                const std::string path = "dir/file." + std::string(extension);
                EXPECT_EQ(language_from_path(path, command).value_or(""), served ? row.name : "") << path;
            }
        }
    }
    EXPECT_EQ(find_language("Python"), nullptr);
    EXPECT_EQ(find_language(""), nullptr);
}

TEST(LanguageTable, MatchesThePythonContract) {
    const std::string contract = read_source_file("python/brightloom_index/contract.py");
    // GRAMMAR_LANGUAGES: extension -> language, for every language the index
    // parses (checked by syntax-check with a grammar).
    const std::vector<std::string> pairs = python_strings_of(contract, "GRAMMAR_LANGUAGES");
    ASSERT_EQ(pairs.size() % 2, 0u);
    std::map<std::string, std::string> contract_grammars;
    for (std::size_t i = 0; i < pairs.size(); i += 2) contract_grammars[pairs[i]] = pairs[i + 1];
    const std::vector<std::string> outlined = python_strings_of(contract, "OUTLINED_LANGUAGES");

    std::map<std::string, std::string> table_grammars;
    std::set<std::string> table_outlined;
    for (const LanguageRow& row : language_table()) {
        if (row.grammar != nullptr && row.commands.has(LanguageCommand::syntax_check)) {
            for (std::string_view extension : row.extensions) table_grammars[std::string(extension)] = row.name;
        }
        if (row.grammar != nullptr && row.outline_rules != nullptr &&
            row.commands.has(LanguageCommand::outline)) {
            table_outlined.insert(std::string(row.name));
        }
    }
    EXPECT_EQ(contract_grammars, table_grammars);
    EXPECT_EQ(std::set<std::string>(outlined.begin(), outlined.end()), table_outlined);

    // SYMBOLS_ONLY_LANGUAGES: the other languages the index parses, with "symbols" alone.
    const std::vector<std::string> symbols_pairs = python_strings_of(contract, "SYMBOLS_ONLY_LANGUAGES");
    ASSERT_EQ(symbols_pairs.size() % 2, 0u);
    std::map<std::string, std::string> contract_symbols_only;
    for (std::size_t i = 0; i < symbols_pairs.size(); i += 2) {
        contract_symbols_only[symbols_pairs[i]] = symbols_pairs[i + 1];
    }
    std::map<std::string, std::string> table_symbols_only;
    for (const LanguageRow& row : language_table()) {
        if (row.grammar != nullptr && row.commands.has(LanguageCommand::symbols) &&
            !row.commands.has(LanguageCommand::syntax_check)) {
            for (std::string_view extension : row.extensions) table_symbols_only[std::string(extension)] = row.name;
        }
    }
    EXPECT_EQ(contract_symbols_only, table_symbols_only);
}

TEST(LanguageTable, MatchesTheGrammarsCMakeCompiles) {
    const std::string cmake = read_source_file("cmake/TreeSitter.cmake");
    std::set<std::string> compiled;
    const std::regex parser_source(R"(\$\{TS_NODE_MODULES\}/(\S+)/parser\.c)");
    for (auto it = std::sregex_iterator(cmake.begin(), cmake.end(), parser_source); it != std::sregex_iterator();
         ++it) {
        compiled.insert((*it)[1]);
    }
    std::set<std::string> table_sources;
    for (const LanguageRow& row : language_table()) {
        if (!row.grammar_source.empty()) table_sources.insert(std::string(row.grammar_source));
    }
    EXPECT_EQ(compiled, table_sources);
}

}  // namespace
}  // namespace brightloom
