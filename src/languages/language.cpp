#include "language.h"

#include <array>

namespace brightloom {
namespace {

struct ExtensionRow {
    std::string_view extension;  // lower case, without the dot
    std::string_view language;
};

// The complete table: any extension not listed names no language.
constexpr std::array EXTENSION_TABLE{
    ExtensionRow{"py", "python"},
    ExtensionRow{"rs", "rust"},
    ExtensionRow{"js", "javascript"},
    ExtensionRow{"mjs", "javascript"},
    ExtensionRow{"cjs", "javascript"},
    ExtensionRow{"jsx", "javascript"},
    ExtensionRow{"ts", "typescript"},
    ExtensionRow{"mts", "typescript"},
    ExtensionRow{"cts", "typescript"},
    ExtensionRow{"tsx", "tsx"},
    ExtensionRow{"json", "json"},
    ExtensionRow{"toml", "toml"},
};

// The longest extension in the table; anything longer cannot match, which
// also spares copying a long dotless path just to lower-case it.
constexpr std::size_t MAX_EXTENSION_BYTES = 4;

char ascii_lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

}  // namespace

std::optional<std::string_view> language_from_path(std::string_view path) {
    // The last dot of the whole path, directories included: "lib.d/Makefile"
    // gives the candidate "d/makefile", and a dotless path is taken whole.
    const std::size_t dot = path.rfind('.');
    const std::string_view candidate = dot == std::string_view::npos ? path : path.substr(dot + 1);
    if (candidate.empty() || candidate.size() > MAX_EXTENSION_BYTES) return std::nullopt;

    std::array<char, MAX_EXTENSION_BYTES> buffer{};
    for (std::size_t i = 0; i < candidate.size(); ++i) buffer[i] = ascii_lower(candidate[i]);
    const std::string_view lowered(buffer.data(), candidate.size());

    for (const ExtensionRow& row : EXTENSION_TABLE) {
        if (row.extension == lowered) return row.language;
    }
    return std::nullopt;
}

}  // namespace brightloom
