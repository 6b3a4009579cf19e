// The one-line signature of an outline record, taken from a declaration's
// source text: its first line, trimmed of Unicode white space, cut to
// MAX_SIGNATURE_CHARS characters (scalar values, not bytes).
#pragma once

#include <cstddef>
#include <string_view>

namespace brightloom {

inline constexpr std::size_t MAX_SIGNATURE_CHARS = 120;

// True for the characters with the Unicode White_Space property.
bool is_unicode_white_space(char32_t code_point);

// `text` without White_Space characters at either end. `text` must be valid
// UTF-8; the result is a view into it.
std::string_view trim_white_space(std::string_view text);

// The signature of a declaration whose source bytes are `declaration_text`:
// empty when those bytes are empty or not valid UTF-8. The result is a view
// into `declaration_text`.
std::string_view signature_of(std::string_view declaration_text);

}  // namespace brightloom
