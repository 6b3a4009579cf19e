// The language a path's extension names.
#pragma once

#include <optional>
#include <string_view>

namespace brightloom {

// One of "python", "javascript", "typescript", "tsx", "rust", "json", "toml",
// from the text after the last "." of the whole path (ASCII case folded).
std::optional<std::string_view> language_from_path(std::string_view path);

}  // namespace brightloom
