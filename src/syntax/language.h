// The language of an "outline" or "syntax-check" request: the payload's
// "language" string byte for byte, else the one detected from "path".
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "lib/json_value.h"

namespace brightloom {

// One of "python", "javascript", "typescript", "tsx", "rust", "json", "toml",
// from the text after the last "." of the whole path (ASCII case folded).
std::optional<std::string_view> language_from_path(std::string_view path);

// Never fails; the empty string means no language.
std::string resolve_language(const JsonValue& payload);

}  // namespace brightloom
