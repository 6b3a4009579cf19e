// The source text a node spans.
#pragma once

#include <cstdint>
#include <string_view>

#include <tree_sitter/api.h>

namespace brightloom {

// Empty when the node does not lie within `text` (a tree parsed from
// another text).
inline std::string_view node_text(TSNode node, std::string_view text) {
    const std::uint32_t start = ts_node_start_byte(node);
    const std::uint32_t end = ts_node_end_byte(node);
    if (start > end || end > text.size()) return {};
    return text.substr(start, end - start);
}

}  // namespace brightloom
