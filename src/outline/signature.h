// The one-line signature of an outline record, taken from a declaration's
// source text: its first line, trimmed of Unicode white space, cut to
// MAX_SIGNATURE_CHARS characters (scalar values, not bytes).
#pragma once

#include <cstddef>
#include <string_view>

namespace brightloom {

inline constexpr std::size_t MAX_SIGNATURE_CHARS = 120;

// The signature of a declaration whose source bytes are `declaration_text`:
// empty when those bytes are empty or not valid UTF-8. The result is a view
// into `declaration_text`.
std::string_view signature_of(std::string_view declaration_text);

}  // namespace brightloom
