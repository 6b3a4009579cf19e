// Fuzzes "outline", "syntax-check" or "symbols" (chosen at build time by
// BRIGHTLOOM_FUZZ_COMMAND) with arbitrary "content" in each grammar language
// the command reads: the first byte picks the language, the rest is the text.
// The reply must be valid UTF-8 and JSON, hold at most 200 symbols or 20
// errors, point only at lines inside the text, and cut signatures and
// snippets at 120 characters; the definitions and references of "symbols"
// must lie inside the text, with scopes that point back to an enclosing
// definition.
//
// A first byte of 0xF0 or more selects the repetition mode: the next byte
// picks a repeat count and the rest (at most 16 bytes) is a unit repeated
// that many times, the shape of text that sends error recovery into
// quadratic work. Either the reply is as above or the parse is refused as
// too costly; and a parse of the same text stays within its limits.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <span>
#include <string_view>
#include <vector>

#include "fuzz_checks.h"
#include "host/reply_writer.h"
#include "host/run_command.h"
#include "languages/language_table.h"
#include "syntax/parse_source.h"

namespace {

using brightloom::fuzzing::check;
using brightloom::fuzzing::count_chars;
using brightloom::fuzzing::count_lines;
using brightloom::fuzzing::line_text;
using simdjson::dom::element;

constexpr std::string_view COMMAND = BRIGHTLOOM_FUZZ_COMMAND;
constexpr std::array<std::string_view, 6> LANGUAGES{"python", "javascript", "typescript",
                                                    "tsx",    "rust",       "json"};
// "symbols" reads these as well.
constexpr std::array<std::string_view, 14> SYMBOLS_LANGUAGES{
    "python", "javascript", "typescript", "tsx", "rust", "json", "c",
    "cpp",    "go",         "java",       "c_sharp", "ruby", "php", "bash"};
constexpr std::span<const std::string_view> COMMAND_LANGUAGES =
    COMMAND == "symbols" ? std::span<const std::string_view>(SYMBOLS_LANGUAGES)
                         : std::span<const std::string_view>(LANGUAGES);

std::uint64_t count_member(element object, const char* key, std::string_view reply) {
    std::uint64_t value = 0;
    check(object[key].get(value) == simdjson::SUCCESS, "member is not an unsigned count", reply);
    return value;
}

std::string_view text_member(element object, const char* key, std::string_view reply) {
    std::string_view value;
    check(object[key].get(value) == simdjson::SUCCESS, "member is not a string", reply);
    return value;
}

void check_outline(element root, std::string_view text, std::string_view reply) {
    simdjson::dom::array symbols;
    check(root["symbols"].get(symbols) == simdjson::SUCCESS, "no symbols array", reply);
    check(symbols.size() <= 200, "more than 200 symbols", reply);
    check(count_member(root, "symbol_count", reply) == symbols.size(), "symbol_count differs", reply);
    const std::size_t lines = count_lines(text);
    for (element symbol : symbols) {
        const std::uint64_t line = count_member(symbol, "line", reply);
        const std::uint64_t end_line = count_member(symbol, "end_line", reply);
        check(line >= 1 && line <= end_line && end_line <= lines, "symbol lines outside the text",
              reply);
        check(count_member(symbol, "depth", reply) <= 1, "symbol deeper than one level", reply);
        const std::string_view signature = text_member(symbol, "signature", reply);
        check(count_chars(signature) <= 120, "signature longer than 120 characters", reply);
        check(signature.find('\n') == std::string_view::npos, "signature spans lines", reply);
        text_member(symbol, "kind", reply);
        text_member(symbol, "name", reply);
    }
}

void check_syntax(element root, std::string_view text, std::string_view reply) {
    simdjson::dom::array errors;
    check(root["errors"].get(errors) == simdjson::SUCCESS, "no errors array", reply);
    check(errors.size() <= 20, "more than 20 errors", reply);
    check(count_member(root, "error_count", reply) == errors.size(), "error_count differs", reply);
    bool valid = false;
    check(root["valid"].get(valid) == simdjson::SUCCESS && valid == (errors.size() == 0),
          "valid disagrees with the errors", reply);
    const std::size_t lines = count_lines(text);
    for (element error : errors) {
        const std::uint64_t line = count_member(error, "line", reply);
        check(line >= 1 && line <= lines, "error line outside the text", reply);
        // A missing node may sit just after the last byte of its row.
        const std::uint64_t column = count_member(error, "column", reply);
        check(column >= 1 && column <= line_text(text, line).size() + 1,
              "error column outside its line", reply);
        const std::string_view snippet = text_member(error, "snippet", reply);
        check(count_chars(snippet) <= 120, "snippet longer than 120 characters", reply);
        check(line_text(text, line).starts_with(snippet), "snippet is not the start of its line",
              reply);
        const std::string_view kind = text_member(error, "kind", reply);
        check(kind == "error" || kind == "missing", "unknown error kind", reply);
    }
}

void check_symbols(element root, std::string_view text, std::string_view reply) {
    simdjson::dom::array definitions;
    simdjson::dom::array references;
    check(root["definitions"].get(definitions) == simdjson::SUCCESS, "no definitions array", reply);
    check(root["references"].get(references) == simdjson::SUCCESS, "no references array", reply);
    const std::size_t lines = count_lines(text);
    std::vector<std::uint64_t> end_lines;
    for (element definition : definitions) {
        const std::uint64_t line = count_member(definition, "line", reply);
        const std::uint64_t end_line = count_member(definition, "end_line", reply);
        check(line >= 1 && line <= end_line && end_line <= lines, "definition lines outside the text", reply);
        const std::uint64_t column = count_member(definition, "column", reply);
        check(column >= 1 && column <= line_text(text, line).size(), "definition column outside its line", reply);
        check(!text_member(definition, "name", reply).empty(), "definition without a name", reply);
        check(count_chars(text_member(definition, "signature", reply)) <= 120, "signature longer than 120", reply);
        std::uint64_t scope = 0;
        if (definition["scope"].get(scope) == simdjson::SUCCESS) {
            check(scope < end_lines.size() && end_lines[scope] >= end_line, "scope is no enclosing definition",
                  reply);
        }
        end_lines.push_back(end_line);
    }
    for (element reference : references) {
        const std::uint64_t line = count_member(reference, "line", reply);
        check(line >= 1 && line <= lines, "reference line outside the text", reply);
        check(!text_member(reference, "name", reply).empty(), "reference without a name", reply);
        std::uint64_t scope = 0;
        if (reference["scope"].get(scope) == simdjson::SUCCESS) {
            check(scope < end_lines.size(), "reference scope out of range", reply);
        }
    }
}

using brightloom::TOO_COSTLY_TO_PARSE_PREFIX;
constexpr std::size_t MAX_UNIT_BYTES = 16;
constexpr std::size_t REPEAT_STEP = 4;  // the count byte times this

// The unit repeated (count byte + 1) * REPEAT_STEP times: up to 16 KiB, and
// one input in sixteen, which keeps the fuzzer's pace under the sanitizers.
std::string repeated_text(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return {};
    const std::size_t repeats = (std::size_t{data[0]} + 1) * REPEAT_STEP;
    const std::string_view unit(reinterpret_cast<const char*>(data) + 1,
                                std::min(size - 1, MAX_UNIT_BYTES));
    std::string text;
    text.reserve(unit.size() * repeats);
    for (std::size_t i = 0; i < repeats; ++i) text += unit;
    return text;
}

// The parse routine's own bound: work and held memory within the limits
// the text's size allows, or refused as too costly.
void check_parse_limits(std::string_view language, std::string_view text) {
    const brightloom::ParseLimits limits = brightloom::parse_limits_for(text.size());
    brightloom::Result<brightloom::ParsedSource> parsed =
        brightloom::parse_source(brightloom::grammar_for(language), text, limits);
    if (!parsed.ok()) {
        check(parsed.error().message.starts_with(TOO_COSTLY_TO_PARSE_PREFIX), "parse failed", parsed.error().message);
        return;
    }
    check(parsed->work_units <= limits.work_units, "parse passed its work limit", text.substr(0, 64));
    check(parsed->lease.usage().peak_held_bytes <= limits.memory_bytes, "parse passed its memory limit",
          text.substr(0, 64));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::string_view language = COMMAND_LANGUAGES[data[0] % COMMAND_LANGUAGES.size()];
    const bool repeating = data[0] >= 0xF0;
    const std::string repeated = repeating ? repeated_text(data + 1, size - 1) : std::string();
    const std::string_view text =
        repeating ? std::string_view(repeated) : std::string_view(reinterpret_cast<const char*>(data) + 1, size - 1);
    // Content arrives from Python as a str, so it is always valid UTF-8.
    if (!brightloom::fuzzing::is_utf8(text)) return 0;
    if (repeating) check_parse_limits(language, text);

    const brightloom::JsonValue payload(brightloom::JsonObject{
        {"content", std::string(text)}, {"language", std::string(language)}});
    brightloom::Result<brightloom::JsonValue> reply = brightloom::execute_command(COMMAND, payload);
    if (!reply.ok()) {
        // The one failure content can cause: a parse abandoned past its limits.
        check(reply.error().message.starts_with(TOO_COSTLY_TO_PARSE_PREFIX), "command failed on content",
              reply.error().message);
        return 0;
    }
    const std::string written = brightloom::write_reply(*reply);
    const brightloom::fuzzing::ReplyDocument document(written);
    element root = document.root();
    check(text_member(root, "language", written) == language, "language not echoed", written);
    if (COMMAND == "symbols") {
        check_symbols(root, text, written);
        const bool shared = std::find(LANGUAGES.begin(), LANGUAGES.end(), language) != LANGUAGES.end();
        element outline = root["outline"];
        element syntax = root["check"];
        bool outlined = false;
        bool checked = false;
        check(outline["checked"].get(outlined) == simdjson::SUCCESS && syntax["checked"].get(checked) == simdjson::SUCCESS,
              "no outline or check part", written);
        check(outlined == (shared && language != "json") && checked == shared, "parts checked the wrong languages",
              written);
        check_outline(outline, text, written);
        check_syntax(syntax, text, written);
        return 0;
    }
    bool checked = false;
    check(root["checked"].get(checked) == simdjson::SUCCESS, "no checked flag", written);
    if (COMMAND == "outline") {
        check(checked == (language != "json"), "outline checked the wrong languages", written);
        check_outline(root, text, written);
    } else {
        check(checked, "syntax-check did not check a grammar language", written);
        check_syntax(root, text, written);
    }
    return 0;
}
