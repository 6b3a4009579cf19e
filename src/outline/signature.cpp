#include "signature.h"

#include <cassert>

#include "text/utf8.h"

namespace brightloom {
namespace {

// True for the characters with the Unicode White_Space property.
bool is_unicode_white_space(char32_t cp) {
    return (cp >= 0x09 && cp <= 0x0D) || cp == 0x20 || cp == 0x85 || cp == 0xA0 || cp == 0x1680 ||
           (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 || cp == 0x2029 || cp == 0x202F ||
           cp == 0x205F || cp == 0x3000;
}

// `text` without White_Space characters at either end; the result is a view
// into it.
std::string_view trim_white_space(std::string_view text) {
    assert(is_valid_utf8(text));
    while (!text.empty()) {
        const DecodedCodePoint first = decode_utf8(text);
        if (!is_unicode_white_space(first.code_point)) break;
        text.remove_prefix(first.length);
    }
    while (!text.empty()) {
        // Step back over continuation bytes to the lead byte of the last
        // character; the text is valid, so at most three are skipped.
        std::size_t start = text.size() - 1;
        while (start > 0 && is_utf8_continuation(text[start])) --start;
        const DecodedCodePoint last = decode_utf8(text.substr(start));
        if (!is_unicode_white_space(last.code_point)) break;
        text.remove_suffix(text.size() - start);
    }
    return text;
}

}  // namespace

std::string_view signature_of(std::string_view declaration_text) {
    if (declaration_text.empty() || !is_valid_utf8(declaration_text)) return {};
    std::string_view line = declaration_text;
    if (const std::size_t newline = line.find('\n'); newline != std::string_view::npos) {
        line = line.substr(0, newline);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    }
    // The cut comes after the trim and is not trimmed again: a line cut just
    // after a space keeps that space.
    return cut_to_chars(trim_white_space(line), MAX_SIGNATURE_CHARS);
}

}  // namespace brightloom
