// The record the outline walker copies each declaration into.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace brightloom {

// The outline never lists more records than this.
inline constexpr std::size_t MAX_SYMBOLS = 200;

// One declaration, copied out of the syntax tree: it holds no tree-sitter
// node and outlives the tree it came from.
struct OutlineSymbol {
    // A word from the rule tables, which have static storage.
    std::string_view kind;
    std::string name;
    // 1-based first and last line of the declaration node.
    std::uint64_t line = 0;
    std::uint64_t end_line = 0;
    // 0 for a direct child of the root, 1 for a member of a class-like body.
    std::uint64_t depth = 0;
    std::string signature;
};

}  // namespace brightloom
