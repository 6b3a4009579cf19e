// The outline walker: lists the declarations among a node's children, and
// one level down the members of class-like bodies, by the rule tables of
// outline_rules.h.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include <tree_sitter/api.h>

#include "outline/outline_rules.h"
#include "outline/outline_symbol.h"

namespace brightloom {

// Appends to `symbols`, in source order, a record for every child of `node`
// that `rules` list at `depth` (0 or 1), stopping once `symbols` holds
// MAX_SYMBOLS records. At depth 0 it also descends into the bodies of
// containers. `source` is the parsed text that `node` borrows from. Never
// fails.
void collect_symbols(TSNode node, std::string_view source, const OutlineRules& rules,
                     std::uint32_t depth, std::vector<OutlineSymbol>& symbols);

}  // namespace brightloom
