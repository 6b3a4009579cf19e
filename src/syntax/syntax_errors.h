// The error walk of a parsed tree: up to MAX_REPORTED_ERRORS error and
// missing nodes, each with its 1-based line, byte column, kind, message and a
// snippet of its source line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <tree_sitter/api.h>

namespace brightloom {

// The walk stops once this many items are listed.
inline constexpr std::size_t MAX_REPORTED_ERRORS = 20;
// Snippets hold at most this many Unicode scalar values of their line.
inline constexpr std::size_t SNIPPET_MAX_CHARS = 120;

// One reported node, copied out of the tree: it outlives the tree and the text.
struct SyntaxErrorItem {
    // The node's start: row plus 1, and byte column within the row plus 1.
    std::uint64_t line = 0;
    std::uint64_t column = 0;
    // "missing" or "error"; static storage.
    std::string_view kind;
    // "missing <node type>" or "syntax error".
    std::string message;
    // The start of the node's source line, without its terminator; empty when
    // the node starts past the last line.
    std::string snippet;
};

// Error and missing nodes under `root` in source order, at most
// MAX_REPORTED_ERRORS; nothing inside an error node is reported. `text` is
// the text the tree was parsed from; snippets are copied out of it.
std::vector<SyntaxErrorItem> collect_syntax_errors(TSNode root, std::string_view text);

}  // namespace brightloom
