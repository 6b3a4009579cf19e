// Hostile texts for the syntax check: none may crash, hang, overflow the
// stack or produce an item that does not point into the text.
#include "syntax/syntax_errors.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "host/reply_writer.h"
#include "host/run_command.h"
#include "languages/language_table.h"
#include "syntax/parse_source.h"
#include "text/utf8.h"
#include "temp_dir.h"

namespace brightloom {
namespace {

constexpr const char* PARSED_LANGUAGES[] = {"python", "javascript", "typescript",
                                            "tsx",    "rust",       "json"};

JsonValue payload_of(JsonObject fields) { return JsonValue(std::move(fields)); }

const JsonObject& checked(const Result<JsonValue>& reply) {
    static const JsonObject empty;
    if (!reply.ok()) {
        ADD_FAILURE() << reply.error().message;
        return empty;
    }
    return *reply->as_object();
}

std::string errors_of(const char* language, const std::string& text) {
    Result<JsonValue> reply =
        execute_command("syntax-check", payload_of({{"content", text}, {"language", language}}));
    if (!reply.ok()) return "!" + reply.error().message;
    return write_reply(reply->as_object()->at("errors"));
}

// Lines split the simple way, as an independent answer for the snippets.
std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::string current;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n') {
            if (!current.empty() && current.back() == '\r') current.pop_back();
            lines.push_back(current);
            current.clear();
        } else {
            current += text[i];
        }
    }
    if (!current.empty()) lines.push_back(current);
    return lines;
}

std::size_t count_chars(const std::string& text) {
    std::size_t chars = 0;
    for (const char c : text) chars += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    return chars;
}

// Checks every property an item must have whatever the text holds.
void expect_sound_reply(const JsonObject& reply, const std::string& text) {
    const JsonArray& errors = *reply.at("errors").as_array();
    EXPECT_LE(errors.size(), MAX_REPORTED_ERRORS);
    EXPECT_EQ(*reply.at("error_count").as_u64(), errors.size());
    EXPECT_EQ(*reply.at("valid").as_bool(), errors.empty());
    const std::vector<std::string> lines = lines_of(text);
    std::uint64_t previous_line = 0;
    for (const JsonValue& value : errors) {
        const JsonObject& item = *value.as_object();
        ASSERT_EQ(item.size(), 5u);
        const std::uint64_t line = *item.at("line").as_u64();
        const std::string& kind = *item.at("kind").as_string();
        const std::string& message = *item.at("message").as_string();
        const std::string& snippet = *item.at("snippet").as_string();
        EXPECT_GE(line, previous_line);
        previous_line = line;
        EXPECT_GE(*item.at("column").as_u64(), 1u);
        if (kind == "error") {
            EXPECT_EQ(message, "syntax error");
        } else {
            EXPECT_EQ(kind, "missing");
            EXPECT_EQ(message.rfind("missing ", 0), 0u) << message;
        }
        EXPECT_TRUE(is_valid_utf8(snippet));
        EXPECT_LE(count_chars(snippet), SNIPPET_MAX_CHARS);
        ASSERT_GE(line, 1u);
        if (line <= lines.size()) {
            EXPECT_EQ(lines[line - 1].rfind(snippet, 0), 0u) << "snippet is not its line's start";
        } else {
            EXPECT_EQ(line, lines.size() + 1);
            EXPECT_EQ(snippet, "");
        }
    }
}

// Valid UTF-8 that looks like binary: control bytes, NUL, DEL, surrogate
// neighbours, noncharacters, astral characters, stray brackets and quotes.
std::string binary_looking_text(std::uint32_t seed, std::size_t pieces) {
    using namespace std::string_view_literals;
    static constexpr std::string_view PIECES[] = {
        "\0"sv, "\x01", "\x7F", "\x1B[0m", "\r", "\n", "\t",
        "\xED\x9F\xBF", "\xEE\x80\x80", "\xEF\xBF\xBF", "\xF4\x8F\xBF\xBF", "\xF0\x9F\x98\x80",
        "\xC2\x80", "\xE2\x80\xA8", "(", "}", "[", "\"", "'", "`", "/*", "#", "<", ">", "\\"};
    std::string text;
    std::uint32_t state = seed;
    for (std::size_t i = 0; i < pieces; ++i) {
        state = state * 1664525u + 1013904223u;
        const std::size_t index = (state >> 16) % std::size(PIECES);
        text.append(PIECES[index]);
    }
    return text;
}

TEST(SyntaxCheckBadInput, SurvivesBinaryLookingText) {
    for (const char* language : PARSED_LANGUAGES) {
        for (std::uint32_t seed : {1u, 2u, 3u}) {
            SCOPED_TRACE(std::string(language) + " seed " + std::to_string(seed));
            const std::string text = binary_looking_text(seed, 6000);
            ASSERT_TRUE(is_valid_utf8(text));
            Result<JsonValue> reply =
                execute_command("syntax-check", payload_of({{"content", text}, {"language", language}}));
            expect_sound_reply(checked(reply), text);
            EXPECT_EQ(*checked(reply).at("valid").as_bool(), false);
        }
    }
}

TEST(SyntaxCheckBadInput, KeepsNulAndControlBytesInSnippets) {
    EXPECT_EQ(errors_of("json", std::string("\0\x01\x02", 3)),
              R"([{"column":1,"kind":"error","line":1,"message":"syntax error","snippet":"\u0000\u0001\u0002"}])");
    EXPECT_EQ(errors_of("python", std::string("x = 1\0\n", 7)),
              R"([{"column":1,"kind":"error","line":1,"message":"syntax error","snippet":"x = 1\u0000"}])");
}

TEST(SyntaxCheckBadInput, HandlesATenMegabyteLine) {
    // One JSON string of 5 Mi two-byte characters, then a stray number.
    std::string wide;
    for (int i = 0; i < 5 * 1024 * 1024; ++i) wide += "\xC3\xA9";
    const std::string text = "[\"" + wide + "\" 1]";
    Result<JsonValue> reply =
        execute_command("syntax-check", payload_of({{"content", text}, {"language", "json"}}));
    const JsonArray& errors = *checked(reply).at("errors").as_array();
    ASSERT_EQ(errors.size(), 1u);
    const JsonObject& item = *errors[0].as_object();
    // Bracket, quote, 10 MiB, quote and blank come before the "1".
    EXPECT_EQ(*item.at("column").as_u64(), 2u + 10 * 1024 * 1024 + 2 + 1);
    EXPECT_EQ(*item.at("line").as_u64(), 1u);
    EXPECT_EQ(*item.at("snippet").as_string(), "[\"" + wide.substr(0, 2 * 118));
}

// Items of a tree parsed with the limits lifted, as "line:column kind".
std::string walked_errors(const char* language, const std::string& text) {
    Result<ParsedSource> parsed = parse_source(grammar_for(language), text, UNLIMITED_PARSE);
    if (!parsed.ok()) return "!" + parsed.error().message;
    std::string items;
    for (const SyntaxErrorItem& item : collect_syntax_errors(parsed->root(), text)) {
        items += std::to_string(item.line) + ":" + std::to_string(item.column) + " " + std::string(item.kind) + ";";
    }
    return items;
}

TEST(SyntaxCheckBadInput, WalksOneHundredThousandNestedBrackets) {
    // Trees of such nesting take hundreds of bytes a character, within a
    // request's limits; the walk is also proven on trees parsed with the
    // limits lifted.
    constexpr std::size_t DEPTH = 100000;
    const std::string open(DEPTH, '['), close(DEPTH, ']');
    EXPECT_EQ(errors_of("json", open + close), "[]");

    // The fault sits at the bottom, so the walk descends all the way.
    EXPECT_EQ(walked_errors("json", open + "1 2" + close), "1:100001 error;");
    EXPECT_EQ(walked_errors("python", open + "1 2" + close + "\n"), "1:100003 error;");
    for (const char* language : {"typescript", "tsx", "json"}) {
        SCOPED_TRACE(language);
        EXPECT_EQ(walked_errors(language, open + close), "");
    }
    EXPECT_EQ(walked_errors("python", "x = " + std::string(DEPTH, '(') + "1" + std::string(DEPTH, ')') + "\n"), "");
    // Never closed: the whole text is one error.
    EXPECT_EQ(walked_errors("javascript", std::string(DEPTH, '{')), "1:1 error;");

    // Within a request's limits, the reply of a deep fault is whole.
    constexpr std::size_t SHALLOWER = 20000;
    EXPECT_EQ(errors_of("json", std::string(SHALLOWER, '[') + "1 2" + std::string(SHALLOWER, ']')),
              R"([{"column":20001,"kind":"error","line":1,"message":"syntax error","snippet":")" +
                  std::string(SNIPPET_MAX_CHARS, '[') + "\"}]");
}

TEST(SyntaxCheckBadInput, ReportsTwentyOfATextThatIsAllErrors) {
    std::string text;
    for (int i = 0; i < 1000; ++i) text += "[1 2]\n";
    std::string expected = "[";
    for (int line = 1; line <= 20; ++line) {
        if (line > 1) expected += ",";
        expected += R"({"column":2,"kind":"error","line":)" + std::to_string(line) +
                    R"(,"message":"syntax error","snippet":"[1 2]"})";
    }
    EXPECT_EQ(errors_of("json", text), expected + "]");

    for (const char* language : PARSED_LANGUAGES) {
        SCOPED_TRACE(language);
        const std::string closers(5000, ')');
        Result<JsonValue> reply =
            execute_command("syntax-check", payload_of({{"content", closers}, {"language", language}}));
        expect_sound_reply(checked(reply), closers);
        EXPECT_EQ(*checked(reply).at("valid").as_bool(), false);
    }
}

TEST(SyntaxCheckBadInput, AcceptsAnEmptyTextInEveryGrammar) {
    for (const char* language : PARSED_LANGUAGES) {
        SCOPED_TRACE(language);
        EXPECT_EQ(errors_of(language, ""), "[]");
    }
}

TEST(SyntaxCheckBadInput, EchoesOddLanguageNamesByteForByte) {
    const std::string names[] = {
        std::string("py\0thon", 7), "\x01\x02\x1F", "\t\n\r", "pyth\xC3\xB6n", "\xF0\x9F\x90\x8D",
        "\x7F", " python", "PYTHON", std::string(10000, 'x')};
    for (const std::string& name : names) {
        SCOPED_TRACE(::testing::PrintToString(name));
        Result<JsonValue> reply = execute_command("syntax-check",
            payload_of({{"content", "def ("}, {"language", name}, {"path", "a.py"}}));
        const JsonObject& object = checked(reply);
        EXPECT_EQ(*object.at("language").as_string(), name);
        EXPECT_EQ(*object.at("reason").as_string(), "no_parser");
        EXPECT_EQ(*object.at("checked").as_bool(), false);
    }
}

TEST(SyntaxCheckBadInput, RefusesADirectoryAsText) {
    testing::TempDir dir;
    const std::filesystem::path folder = dir.path() / "pkg.py";
    std::filesystem::create_directory(folder);
    for (const char* language : {"python", "toml"}) {
        Result<JsonValue> reply =
            execute_command("syntax-check", payload_of({{"path", folder.string()}, {"language", language}}));
        ASSERT_FALSE(reply.ok());
        EXPECT_EQ(reply.error().message, "Is a directory (os error 21)");
    }
}

}  // namespace
}  // namespace brightloom
