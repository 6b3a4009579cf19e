// The rule texts of the "symbols" command, embedded at build time by
// cmake/SymbolQueries.cmake: per language, the grammar package's tags
// queries followed by the project's own rules.
#pragma once

#include <string_view>

namespace brightloom {

// The query text for `language` (exact name), or empty when it has none.
// Static storage.
std::string_view embedded_query_text(std::string_view language);

}  // namespace brightloom
