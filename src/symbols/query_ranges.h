// How the symbol rules are run over a tree: over the whole text but its
// large syntax-error regions, and inside each of those over each child of
// the error node on its own.
//
// The query cursor's work on a node grows with the chain of hidden nodes
// above it within the run, which its progress count does not show, and error
// recovery builds such chains: 100,000 unclosed brackets took seconds where
// their parse took milliseconds. A run started at a child of the error node
// does not see the chain above it.
#pragma once

#include <cstdint>
#include <vector>

#include <tree_sitter/api.h>

namespace brightloom {

// Error regions smaller than this are queried like the rest: their cost,
// quadratic at worst, stays small.
inline constexpr std::uint32_t LARGE_ERROR_BYTES = 1024;
// Past this many large error regions, the rest of the text is queried
// child by child inside the last one, so the plan stays small.
inline constexpr std::size_t MAX_ERROR_REGIONS = 32;

struct ByteRange {
    std::uint32_t start = 0;
    std::uint32_t end = 0;
};

struct QueryPlan {
    // Disjoint, non-empty, ascending; [0, text_bytes) outside the errors.
    std::vector<ByteRange> ranges;
    // The outermost error nodes of LARGE_ERROR_BYTES or more, in order.
    std::vector<TSNode> large_errors;
};

QueryPlan plan_symbol_query(TSNode root, std::uint32_t text_bytes);

}  // namespace brightloom
