// Per-language cases of "outline" and "syntax-check", kept as data in
// tests/native/cases/<language>.cases and run here through the dispatcher.
//
// A case file holds cases one after the other:
//
//   === outline: what the case shows         (or "=== syntax-check: ...")
//   # comments, only between the header and the source
//   --- source                               ("--- source, no final line break"
//   <the text, every line ending in a line    drops the last line break)
//   break>
//   --- expected
//   <one row per line, fields split by tabs; none for a valid text>
//
// Outline rows are kind, name, line, end line, depth and signature; syntax
// check rows are line, column, kind, message and snippet.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "host/run_command.h"
#include "languages/language_table.h"

namespace brightloom {
namespace {

const std::filesystem::path CASES_DIR = std::filesystem::path(BRIGHTLOOM_SOURCE_DIR) / "tests/native/cases";
constexpr std::string_view SOURCE_HEADER = "--- source";
constexpr std::string_view SOURCE_WITHOUT_FINAL_BREAK = "--- source, no final line break";

struct LanguageCase {
    std::string where;  // file:line of the header, for the failure message
    std::string command;
    std::string language;
    std::string text;
    std::vector<std::vector<std::string>> rows;
};

std::vector<std::string> split_tabs(const std::string& line) {
    std::vector<std::string> fields;
    std::size_t start = 0;
    for (std::size_t tab; (tab = line.find('\t', start)) != std::string::npos; start = tab + 1) {
        fields.push_back(line.substr(start, tab - start));
    }
    fields.push_back(line.substr(start));
    return fields;
}

std::vector<LanguageCase> read_case_file(const std::filesystem::path& path) {
    enum class Section { none, header, source, expected } section = Section::none;
    std::vector<LanguageCase> cases;
    bool drop_final_break = false;
    std::ifstream file(path);
    std::string line;
    for (int number = 1; std::getline(file, line); ++number) {
        const std::string where = path.filename().string() + ":" + std::to_string(number);
        if (line.starts_with("=== ")) {
            const std::size_t colon = line.find(':');
            if (!cases.empty() && drop_final_break && !cases.back().text.empty()) cases.back().text.pop_back();
            cases.push_back({where, line.substr(4, colon - 4), path.stem().string(), {}, {}});
            section = Section::header;
            continue;
        }
        if (section == Section::header && (line == SOURCE_HEADER || line == SOURCE_WITHOUT_FINAL_BREAK)) {
            drop_final_break = line == SOURCE_WITHOUT_FINAL_BREAK;
            section = Section::source;
        } else if (section == Section::source && line == "--- expected") {
            section = Section::expected;
        } else if (section == Section::source) {
            cases.back().text += line + "\n";
        } else if (section == Section::expected && !line.empty()) {
            cases.back().rows.push_back(split_tabs(line));
        } else if (section == Section::header || section == Section::none) {
            if (!line.empty() && !line.starts_with("#")) ADD_FAILURE() << where << ": stray line " << line;
        }
    }
    if (!cases.empty() && drop_final_break && !cases.back().text.empty()) cases.back().text.pop_back();
    return cases;
}

std::vector<LanguageCase> all_cases() {
    std::vector<LanguageCase> cases;
    std::set<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(CASES_DIR)) {
        if (entry.path().extension() == ".cases") files.insert(entry.path());
    }
    for (const std::filesystem::path& file : files) {
        for (LanguageCase& one : read_case_file(file)) cases.push_back(std::move(one));
    }
    return cases;
}

std::string text_field(const JsonObject& object, const char* key) {
    const JsonValue& value = object.at(key);
    if (const std::string* text = value.as_string()) return *text;
    if (const std::uint64_t* count = value.as_u64()) return std::to_string(*count);
    return "<other>";
}

// The reply's records as rows of text fields, after checking the members
// that must agree with them.
std::vector<std::vector<std::string>> reply_rows(const LanguageCase& one) {
    const JsonValue payload = JsonObject{{"content", one.text}, {"language", one.language}};
    Result<JsonValue> reply = execute_command(one.command, payload);
    if (!reply.ok()) {
        ADD_FAILURE() << "failed: " << reply.error().message;
        return {};
    }
    const JsonObject& object = *reply->as_object();
    EXPECT_EQ(object.at("checked"), JsonValue(true));
    EXPECT_EQ(object.at("language"), JsonValue(one.language));
    const bool outline = one.command == "outline";
    const JsonArray& records = *object.at(outline ? "symbols" : "errors").as_array();
    EXPECT_EQ(object.at(outline ? "symbol_count" : "error_count"), JsonValue(std::uint64_t{records.size()}));
    if (!outline) {
        EXPECT_EQ(object.at("valid"), JsonValue(records.empty()));
    }

    static const char* const OUTLINE_FIELDS[] = {"kind", "name", "line", "end_line", "depth", "signature"};
    static const char* const ERROR_FIELDS[] = {"line", "column", "kind", "message", "snippet"};
    std::vector<std::vector<std::string>> rows;
    for (const JsonValue& record : records) {
        std::vector<std::string> row;
        const JsonObject& fields = *record.as_object();
        EXPECT_EQ(fields.size(), outline ? std::size(OUTLINE_FIELDS) : std::size(ERROR_FIELDS));
        if (outline) {
            for (const char* key : OUTLINE_FIELDS) row.push_back(text_field(fields, key));
        } else {
            for (const char* key : ERROR_FIELDS) row.push_back(text_field(fields, key));
        }
        rows.push_back(std::move(row));
    }
    return rows;
}

TEST(LanguageCases, EveryCaseAnswersItsExpectedRows) {
    const std::vector<LanguageCase> cases = all_cases();
    std::map<std::string, std::set<std::string>> covered;  // command -> languages
    for (const LanguageCase& one : cases) {
        SCOPED_TRACE(one.where);
        ASSERT_TRUE(one.command == "outline" || one.command == "syntax-check") << one.command;
        EXPECT_EQ(reply_rows(one), one.rows);
        covered[one.command].insert(one.language);
    }
    // Each language the table parses for a command has cases for it.
    for (const LanguageRow& row : language_table()) {
        if (row.grammar == nullptr) continue;
        const std::string name(row.name);
        if (row.outline_rules != nullptr && row.commands.has(LanguageCommand::outline)) {
            EXPECT_TRUE(covered["outline"].contains(name)) << "no outline case for " << name;
        }
        if (row.commands.has(LanguageCommand::syntax_check)) {
            EXPECT_TRUE(covered["syntax-check"].contains(name)) << "no syntax-check case for " << name;
        }
    }
}

}  // namespace
}  // namespace brightloom
