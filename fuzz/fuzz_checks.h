// Checks shared by the fuzz targets. Each judges the module's output with code
// of its own (simdjson for JSON and UTF-8, plain loops for lines and
// characters), never with the routines under test, and aborts with a
// message on the first broken property so that libFuzzer keeps the input.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include <simdjson.h>

namespace brightloom::fuzzing {

[[noreturn]] inline void fail(std::string_view what, std::string_view detail) {
    std::fprintf(stderr, "fuzz check failed: %.*s\n  %.*s\n", static_cast<int>(what.size()),
                 what.data(), static_cast<int>(detail.size() < 2000 ? detail.size() : 2000),
                 detail.data());
    std::abort();
}

inline void check(bool condition, std::string_view what, std::string_view detail = {}) {
    if (!condition) fail(what, detail);
}

inline bool is_utf8(std::string_view text) {
    return simdjson::validate_utf8(text.data(), text.size());
}

// Unicode scalar values in valid UTF-8: every byte that is not a
// continuation byte starts one.
inline std::size_t count_chars(std::string_view text) {
    std::size_t count = 0;
    for (char c : text) count += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    return count;
}

// Lines as a reader of the text numbers them: one more than its line feeds.
inline std::size_t count_lines(std::string_view text) {
    std::size_t count = 1;
    for (char c : text) count += c == '\n';
    return count;
}

// The bytes of 1-based line `line`, without its line feed; empty past the end.
inline std::string_view line_text(std::string_view text, std::size_t line) {
    std::size_t start = 0;
    for (std::size_t current = 1; current < line; ++current) {
        const std::size_t feed = text.find('\n', start);
        if (feed == std::string_view::npos) return {};
        start = feed + 1;
    }
    const std::size_t end = text.find('\n', start);
    return text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
}

// True when no whitespace byte stands outside the strings of a JSON text.
inline bool is_compact(std::string_view json) {
    bool in_string = false;
    bool escaped = false;
    for (char c : json) {
        if (in_string) {
            if (escaped) escaped = false;
            else if (c == '\\') escaped = true;
            else if (c == '"') in_string = false;
        } else if (c == '"') {
            in_string = true;
        } else if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
            return false;
        }
    }
    return true;
}

// Parses a reply or fails: every reply must be valid UTF-8 and one JSON object.
class ReplyDocument {
public:
    explicit ReplyDocument(std::string_view reply) : text_(reply) {
        check(is_utf8(reply), "reply is not valid UTF-8", reply);
        check(is_compact(reply), "reply holds whitespace outside strings", reply);
        check(parser_.parse(text_).get(root_) == simdjson::SUCCESS, "reply is not JSON", reply);
        check(root_.is_object(), "reply is not an object", reply);
        check(root_["ok"].is_bool() && bool(root_["ok"]), "reply has no \"ok\": true", reply);
    }
    ReplyDocument(const ReplyDocument&) = delete;
    ReplyDocument& operator=(const ReplyDocument&) = delete;

    simdjson::dom::element root() const { return root_; }
    std::string_view text() const { return std::string_view(text_.data(), text_.size()); }

private:
    simdjson::padded_string text_;
    simdjson::dom::parser parser_;
    simdjson::dom::element root_;
};

}  // namespace brightloom::fuzzing
