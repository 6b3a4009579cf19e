#include "utf8.h"

#include <simdjson.h>

#include <algorithm>

namespace brightloom {

bool is_valid_utf8(std::string_view bytes) {
    return simdjson::validate_utf8(bytes.data(), bytes.size());
}

std::size_t incomplete_utf8_tail(std::string_view bytes) {
    const std::size_t look_back = std::min<std::size_t>(3, bytes.size());
    for (std::size_t back = 1; back <= look_back; ++back) {
        if (is_utf8_continuation(bytes[bytes.size() - back])) continue;
        const auto byte = static_cast<unsigned char>(bytes[bytes.size() - back]);
        const std::size_t length = byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : byte >= 0xC0 ? 2 : 1;
        return length > back ? back : 0;
    }
    return 0;
}

DecodedCodePoint decode_utf8(std::string_view bytes) {
    if (bytes.empty()) return {};
    const auto lead = static_cast<unsigned char>(bytes[0]);
    if (lead < 0x80) return {lead, 1, true};

    std::size_t needed;
    char32_t value;
    // The bounds of the second byte rule out overlong forms, surrogates and
    // values past U+10FFFF, as in the Unicode table of well-formed sequences.
    unsigned char second_low = 0x80, second_high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        needed = 1;
        value = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        needed = 2;
        value = lead & 0x0F;
        if (lead == 0xE0) second_low = 0xA0;
        if (lead == 0xED) second_high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        needed = 3;
        value = lead & 0x07;
        if (lead == 0xF0) second_low = 0x90;
        if (lead == 0xF4) second_high = 0x8F;
    } else {
        return {0xFFFD, 1, false};
    }

    std::size_t taken = 1;
    for (std::size_t i = 1; i <= needed; ++i) {
        if (i >= bytes.size()) return {0xFFFD, taken, false};
        const auto byte = static_cast<unsigned char>(bytes[i]);
        const bool in_range = i == 1 ? (byte >= second_low && byte <= second_high)
                                     : is_utf8_continuation(bytes[i]);
        if (!in_range) return {0xFFFD, taken, false};
        value = (value << 6) | (byte & 0x3F);
        ++taken;
    }
    return {value, taken, true};
}

std::string_view cut_to_chars(std::string_view text, std::size_t max_chars) {
    std::size_t offset = 0;
    for (std::size_t chars = 0; chars < max_chars && offset < text.size(); ++chars) {
        const auto byte = static_cast<unsigned char>(text[offset]);
        // Valid input: the lead byte alone gives the sequence length.
        offset += byte < 0x80 ? 1 : byte < 0xE0 ? 2 : byte < 0xF0 ? 3 : 4;
    }
    return text.substr(0, std::min(offset, text.size()));
}

std::string to_lossy_utf8(std::string_view bytes) {
    if (is_valid_utf8(bytes)) return std::string(bytes);
    std::string out;
    out.reserve(bytes.size() + 8);
    while (!bytes.empty()) {
        const DecodedCodePoint decoded = decode_utf8(bytes);
        if (decoded.valid) {
            out.append(bytes.substr(0, decoded.length));
        } else {
            append_utf8(out, 0xFFFD);
        }
        bytes.remove_prefix(decoded.length);
    }
    return out;
}

void append_utf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

}  // namespace brightloom
