// Recursive-descent reader for payload texts. The whole contract between the
// read_* functions is the position: a byte offset into the text, stated on
// entry and exit of each. A fault is reported where it is found, through
// fault_at, with the offset of the byte that stopped the reader (the size of
// the text when the text ended too early).
#include "payload_reader.h"

#include <algorithm>
#include <cassert>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "host/json_number.h"
#include "text/utf8.h"

namespace brightloom {
namespace {

// Fault descriptions, kept together so they can be checked against each other.
constexpr std::string_view EOF_IN_LIST = "EOF while parsing a list";
constexpr std::string_view EOF_IN_OBJECT = "EOF while parsing an object";
constexpr std::string_view EOF_IN_STRING = "EOF while parsing a string";
constexpr std::string_view EOF_IN_VALUE = "EOF while parsing a value";
constexpr std::string_view EXPECTED_COLON = "expected `:`";
constexpr std::string_view EXPECTED_LIST_COMMA = "expected `,` or `]`";
constexpr std::string_view EXPECTED_OBJECT_COMMA = "expected `,` or `}`";
constexpr std::string_view EXPECTED_IDENT = "expected ident";
constexpr std::string_view EXPECTED_VALUE = "expected value";
constexpr std::string_view INVALID_ESCAPE = "invalid escape";
constexpr std::string_view INVALID_NUMBER = "invalid number";
constexpr std::string_view NUMBER_OUT_OF_RANGE = "number out of range";
constexpr std::string_view CONTROL_IN_STRING =
    "control character (\\u0000-\\u001F) found while parsing a string";
constexpr std::string_view KEY_NOT_STRING = "key must be a string";
constexpr std::string_view LONE_SURROGATE = "lone leading surrogate in hex escape";
constexpr std::string_view TRAILING_COMMA = "trailing comma";
constexpr std::string_view TRAILING_CHARACTERS = "trailing characters";
constexpr std::string_view HEX_ESCAPE_CUT = "unexpected end of hex escape";
constexpr std::string_view RECURSION_LIMIT = "recursion limit exceeded";

// Bytes that end a clean run inside a string: the closing quote, the start of
// an escape, and raw control bytes (which are faults).
constexpr std::array<bool, 256> ENDS_STRING_RUN = [] {
    std::array<bool, 256> table{};
    for (int byte = 0; byte < 0x20; ++byte) table[byte] = true;
    table['"'] = true;
    table['\\'] = true;
    return table;
}();

bool is_digit(unsigned char byte) { return byte >= '0' && byte <= '9'; }
bool is_whitespace(unsigned char byte) {
    return byte == ' ' || byte == '\t' || byte == '\n' || byte == '\r';
}
bool is_leading_surrogate(char32_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool is_trailing_surrogate(char32_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

int hex_digit_value(unsigned char byte) {
    if (byte >= '0' && byte <= '9') return byte - '0';
    if (byte >= 'a' && byte <= 'f') return byte - 'a' + 10;
    if (byte >= 'A' && byte <= 'F') return byte - 'A' + 10;
    return -1;
}

class PayloadReader {
public:
    explicit PayloadReader(std::string_view text) : text_(text) {}

    // The whole text: one value with only whitespace around it.
    Result<JsonValue> read_document() {
        skip_whitespace();
        Result<JsonValue> value = read_value();
        if (!value.ok()) return value;
        skip_whitespace();
        if (!at_end()) return fault_at(TRAILING_CHARACTERS, pos_);
        return value;
    }

private:
    bool at_end() const { return pos_ == text_.size(); }
    unsigned char peek() const {
        assert(!at_end());
        return static_cast<unsigned char>(text_[pos_]);
    }

    void skip_whitespace() {
        while (!at_end() && is_whitespace(peek())) ++pos_;
    }

    // The line counts from 1 and goes up after every line feed. The column
    // counts the bytes of that line up to and including the byte at `pos`; at
    // the end of the text it counts the bytes of the last line.
    CommandError fault_at(std::string_view description, std::size_t pos) const {
        std::string_view before = text_.substr(0, pos);
        auto feeds = std::count(before.begin(), before.end(), '\n');
        std::size_t line = 1 + static_cast<std::size_t>(feeds);
        std::size_t last_feed = before.rfind('\n');
        std::size_t line_start = last_feed == std::string_view::npos ? 0 : last_feed + 1;
        std::size_t column = pos - line_start + (pos < text_.size() ? 1 : 0);
        std::string message(description);
        message += " at line ";
        message += std::to_string(line);
        message += " column ";
        message += std::to_string(column);
        return CommandError{std::move(message)};
    }

    // Entry: at the first byte of a value (whitespace skipped) or at the end.
    // Exit: just past the value.
    Result<JsonValue> read_value() {
        if (at_end()) return fault_at(EOF_IN_VALUE, pos_);
        unsigned char byte = peek();
        switch (byte) {
            case '{': return read_object();
            case '[': return read_array();
            case '"': {
                Result<std::string> text = read_string();
                if (!text.ok()) return std::move(text).error();
                return JsonValue(std::move(*text));
            }
            case 't': return read_literal("true", JsonValue(true));
            case 'f': return read_literal("false", JsonValue(false));
            case 'n': return read_literal("null", JsonValue(nullptr));
            default:
                if (byte == '-' || is_digit(byte)) return read_number();
                return fault_at(EXPECTED_VALUE, pos_);
        }
    }

    // Entry: at the '{'. Exit: just past the matching '}'.
    Result<JsonValue> read_object() {
        if (--depth_budget_ == 0) return fault_at(RECURSION_LIMIT, pos_);
        ++pos_;
        JsonObject object;
        skip_whitespace();
        if (at_end()) return fault_at(EOF_IN_OBJECT, pos_);
        if (peek() == '}') {
            ++pos_;
            ++depth_budget_;
            return JsonValue(std::move(object));
        }
        for (;;) {
            // Here pos_ is at the first byte of a key, whitespace skipped.
            if (peek() != '"') return fault_at(KEY_NOT_STRING, pos_);
            Result<std::string> key = read_string();
            if (!key.ok()) return std::move(key).error();
            skip_whitespace();
            if (at_end()) return fault_at(EOF_IN_OBJECT, pos_);
            if (peek() != ':') return fault_at(EXPECTED_COLON, pos_);
            ++pos_;
            skip_whitespace();
            Result<JsonValue> value = read_value();
            if (!value.ok()) return value;
            // A repeated key keeps the value read last.
            object.insert_or_assign(std::move(*key), std::move(*value));
            skip_whitespace();
            if (at_end()) return fault_at(EOF_IN_OBJECT, pos_);
            if (peek() == '}') break;
            if (peek() != ',') return fault_at(EXPECTED_OBJECT_COMMA, pos_);
            ++pos_;
            skip_whitespace();
            if (at_end()) return fault_at(EOF_IN_OBJECT, pos_);
            if (peek() == '}') return fault_at(TRAILING_COMMA, pos_);
        }
        ++pos_;
        ++depth_budget_;
        return JsonValue(std::move(object));
    }

    // Entry: at the '['. Exit: just past the matching ']'.
    Result<JsonValue> read_array() {
        if (--depth_budget_ == 0) return fault_at(RECURSION_LIMIT, pos_);
        ++pos_;
        JsonArray array;
        skip_whitespace();
        if (at_end()) return fault_at(EOF_IN_LIST, pos_);
        if (peek() == ']') {
            ++pos_;
            ++depth_budget_;
            return JsonValue(std::move(array));
        }
        for (;;) {
            // Here pos_ is at the first byte of an element, whitespace skipped.
            Result<JsonValue> element = read_value();
            if (!element.ok()) return element;
            array.push_back(std::move(*element));
            skip_whitespace();
            if (at_end()) return fault_at(EOF_IN_LIST, pos_);
            if (peek() == ']') break;
            if (peek() != ',') return fault_at(EXPECTED_LIST_COMMA, pos_);
            ++pos_;
            skip_whitespace();
            // After a comma an element must follow; the end of the text here
            // is reported by read_value as a missing value.
            if (!at_end() && peek() == ']') return fault_at(TRAILING_COMMA, pos_);
        }
        ++pos_;
        ++depth_budget_;
        return JsonValue(std::move(array));
    }

    // Entry: at the opening '"'. Exit: just past the closing '"'.
    Result<std::string> read_string() {
        ++pos_;
        std::string text;
        for (;;) {
            std::size_t run_start = pos_;
            while (!at_end() && !ENDS_STRING_RUN[peek()]) ++pos_;
            // Bytes of 0x80 and above are copied as they stand, even when they
            // do not form UTF-8: the text from Python is valid UTF-8 already,
            // and a second check would only slow the common case.
            text.append(text_, run_start, pos_ - run_start);
            if (at_end()) return fault_at(EOF_IN_STRING, pos_);
            unsigned char byte = peek();
            if (byte == '"') break;
            if (byte != '\\') return fault_at(CONTROL_IN_STRING, pos_);
            Result<char32_t> unescaped = read_escape();
            if (!unescaped.ok()) return std::move(unescaped).error();
            if (*unescaped < 0x80) {
                text.push_back(static_cast<char>(*unescaped));
            } else {
                append_utf8(text, *unescaped);
            }
        }
        ++pos_;
        return text;
    }

    // Entry: at the backslash. Exit: just past the escape, and past its
    // partner when it is the first half of a surrogate pair.
    Result<char32_t> read_escape() {
        ++pos_;
        if (at_end()) return fault_at(EOF_IN_STRING, pos_);
        unsigned char kind = peek();
        ++pos_;
        switch (kind) {
            case '"': return char32_t{'"'};
            case '\\': return char32_t{'\\'};
            case '/': return char32_t{'/'};
            case 'b': return char32_t{'\b'};
            case 'f': return char32_t{'\f'};
            case 'n': return char32_t{'\n'};
            case 'r': return char32_t{'\r'};
            case 't': return char32_t{'\t'};
            case 'u': break;
            default: return fault_at(INVALID_ESCAPE, pos_ - 1);
        }
        Result<char32_t> unit = read_hex_unit();
        if (!unit.ok()) return unit;
        // A surrogate half is reported at the byte that shows its partner is
        // missing: its own last digit for a trailing half, the byte after it
        // (or the last digit of the next escape) for a leading half.
        if (is_trailing_surrogate(*unit)) return fault_at(LONE_SURROGATE, pos_ - 1);
        if (!is_leading_surrogate(*unit)) return unit;
        if (at_end()) return fault_at(EOF_IN_STRING, pos_);
        if (peek() != '\\') return fault_at(LONE_SURROGATE, pos_);
        ++pos_;
        if (at_end()) return fault_at(EOF_IN_STRING, pos_);
        if (peek() != 'u') return fault_at(LONE_SURROGATE, pos_);
        ++pos_;
        Result<char32_t> partner = read_hex_unit();
        if (!partner.ok()) return partner;
        if (!is_trailing_surrogate(*partner)) return fault_at(LONE_SURROGATE, pos_ - 1);
        return 0x10000 + ((*unit - 0xD800) << 10) + (*partner - 0xDC00);
    }

    // Entry: at the first of the four hex digits after "\u". Exit: past them.
    Result<char32_t> read_hex_unit() {
        char32_t unit = 0;
        for (int digit = 0; digit < 4; ++digit) {
            if (at_end()) return fault_at(EOF_IN_STRING, pos_);
            int value = hex_digit_value(peek());
            if (value < 0) return fault_at(HEX_ESCAPE_CUT, pos_);
            unit = unit * 16 + static_cast<char32_t>(value);
            ++pos_;
        }
        return unit;
    }

    // Entry: at the first letter of `word`, which has matched. Exit: past the
    // word. A word cut short by the end of the text is misspelt too.
    Result<JsonValue> read_literal(std::string_view word, JsonValue value) {
        for (char expected : word) {
            if (at_end() || text_[pos_] != expected) return fault_at(EXPECTED_IDENT, pos_);
            ++pos_;
        }
        return value;
    }

    // Entry: at the '-' or first digit. Exit: past the last byte of the
    // number. A malformed number is reported at the byte that breaks the
    // grammar (or the end of the text); one beyond the range of a double at
    // its last byte.
    Result<JsonValue> read_number() {
        std::size_t start = pos_;
        bool negative = peek() == '-';
        if (negative) ++pos_;
        if (at_end() || !is_digit(peek())) return fault_at(INVALID_NUMBER, pos_);
        if (peek() == '0') {
            ++pos_;
            if (!at_end() && is_digit(peek())) return fault_at(INVALID_NUMBER, pos_);
        } else {
            while (!at_end() && is_digit(peek())) ++pos_;
        }
        if (!at_end() && peek() == '.') {
            ++pos_;
            if (at_end() || !is_digit(peek())) return fault_at(INVALID_NUMBER, pos_);
            while (!at_end() && is_digit(peek())) ++pos_;
        }
        if (!at_end() && (peek() == 'e' || peek() == 'E')) {
            ++pos_;
            if (!at_end() && (peek() == '+' || peek() == '-')) ++pos_;
            if (at_end() || !is_digit(peek())) return fault_at(INVALID_NUMBER, pos_);
            while (!at_end() && is_digit(peek())) ++pos_;
        }
        std::optional<JsonValue> number = convert_json_number(text_.substr(start, pos_ - start));
        if (!number) return fault_at(NUMBER_OUT_OF_RANGE, pos_ - 1);
        return std::move(*number);
    }

    std::string_view text_;
    std::size_t pos_ = 0;
    // Levels of arrays and objects still allowed; one is taken on entry to
    // each and given back on its exit.
    int depth_budget_ = PAYLOAD_NESTING_BUDGET;
};

}  // namespace

Result<JsonValue> read_payload(std::string_view text) {
    return PayloadReader(text).read_document();
}

}  // namespace brightloom
