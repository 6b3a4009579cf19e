#include "reply_writer.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <string_view>
#include <variant>

#include "base/hex_digits.h"

namespace brightloom {
namespace {

constexpr std::size_t INITIAL_REPLY_CAPACITY = 128;

bool needs_escape(char c) {
    return c == '"' || c == '\\' || static_cast<unsigned char>(c) < 0x20;
}

// Appends the escape of one byte that needs one: the short forms JSON has,
// else \u00 and two lower-case hex digits.
void append_escape(std::string& out, char c) {
    switch (c) {
        case '\b': out += "\\b"; return;
        case '\t': out += "\\t"; return;
        case '\n': out += "\\n"; return;
        case '\f': out += "\\f"; return;
        case '\r': out += "\\r"; return;
        case '"': out += "\\\""; return;
        case '\\': out += "\\\\"; return;
        default: break;
    }
    auto byte = static_cast<unsigned char>(c);
    out += "\\u00";
    out.push_back(HEX_DIGITS[byte >> 4]);
    out.push_back(HEX_DIGITS[byte & 0x0F]);
}

// One call per value kind, all appending to the same output.
struct ValueWriter {
    std::string& out;

    void operator()(std::nullptr_t) const { out += "null"; }
    void operator()(bool b) const { out += b ? "true" : "false"; }
    void operator()(std::uint64_t n) const { append_integer(n); }
    void operator()(std::int64_t n) const {
        // A signed zero can only have been read from "-0"; written as "0" it
        // would read back unsigned, so the sign is kept.
        if (n == 0) out += '-';
        append_integer(n);
    }

    void operator()(double d) const {
        // JSON has no spelling for these; values read from a payload are
        // always finite, so only a command's own arithmetic could get here.
        if (!std::isfinite(d)) {
            out += "null";
            return;
        }
        char buffer[32];
        auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, d);
        std::string_view digits(buffer, static_cast<std::size_t>(end - buffer));
        out += digits;
        // Shortest form may look like an integer ("1" for 1.0); keep it a
        // double when read back.
        if (digits.find_first_of(".e") == std::string_view::npos) out += ".0";
    }

    void operator()(const std::string& s) const { append_string(s); }

    void operator()(const JsonArray& items) const {
        out.push_back('[');
        bool first = true;
        for (const JsonValue& item : items) {
            if (!first) out.push_back(',');
            first = false;
            std::visit(*this, item.data());
        }
        out.push_back(']');
    }

    // The map already keeps its keys in byte order.
    void operator()(const JsonObject& members) const {
        out.push_back('{');
        bool first = true;
        for (const auto& [key, value] : members) {
            if (!first) out.push_back(',');
            first = false;
            append_string(key);
            out.push_back(':');
            std::visit(*this, value.data());
        }
        out.push_back('}');
    }

    template <class Integer>
    void append_integer(Integer n) const {
        char buffer[24];  // 20 digits of uint64 max, or a sign and 19 digits
        auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, n);
        out.append(buffer, end);
    }

    // Copies each run of bytes that need no escape in one step.
    void append_string(std::string_view s) const {
        out.push_back('"');
        std::size_t run_start = 0;
        for (std::size_t i = 0; i < s.size(); ++i) {
            if (!needs_escape(s[i])) continue;
            out.append(s, run_start, i - run_start);
            append_escape(out, s[i]);
            run_start = i + 1;
        }
        out.append(s, run_start, s.size() - run_start);
        out.push_back('"');
    }
};

}  // namespace

std::string write_reply(const JsonValue& value) {
    std::string out;
    out.reserve(INITIAL_REPLY_CAPACITY);
    std::visit(ValueWriter{out}, value.data());
    return out;
}

}  // namespace brightloom
