// Lower-case hexadecimal digits, for digests and for \u escapes in replies.
#pragma once

#include <string_view>

namespace brightloom {

inline constexpr std::string_view HEX_DIGITS = "0123456789abcdef";

}  // namespace brightloom
