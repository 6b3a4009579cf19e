// A language's compiled definition and reference rules, and one bounded run
// of them over a parsed tree.
//
// Rules are tree-sitter queries. A pattern's `@name` capture is the name a
// reader types; a capture named `definition.KIND` or `reference.KIND` says
// what the match is; `@ignore` marks a node that names no reference. Where
// several patterns take the same name node, the pattern written later wins,
// so the project's rules, which follow the grammar package's, refine them.
//
//   Result<const SymbolQuery*> query = symbol_query_for("rust");  // before the parse
//   Result<SymbolQueryRun> run = run_symbol_query(**query, parsed, text);
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include <tree_sitter/api.h>

#include "base/command_error.h"
#include "syntax/parse_source.h"

namespace brightloom {

class SymbolQuery;

enum class HitRole : std::uint8_t { definition, reference, ignore };

// One match, reduced to what the symbol lists need. Nodes borrow from the
// parsed tree.
struct QueryHit {
    HitRole role = HitRole::definition;
    // The capture's kind word (static storage); empty for ignore.
    std::string_view kind;
    TSNode name{};
    // The whole definition or reference node.
    TSNode node{};
    std::uint32_t pattern = 0;
};

// The language's compiled rules, built once per process on first use and
// kept for its life; null when the language has no rules. Must be called
// outside any parse: the query is allocated while no arena lease is active,
// so that no request's arena takes it back. Fails only when the embedded
// rules do not compile for the linked grammar.
Result<const SymbolQuery*> symbol_query_for(std::string_view language);

struct SymbolQueryRun {
    // In no particular order.
    std::vector<QueryHit> hits;
    // The parse's work and the query's, in the units the limit counts.
    std::uint64_t work_units = 0;
};

// Every hit of `query` on the tree of `parsed`. Counts against the parse's
// work and memory limits, failing with the same "too costly" errors past
// them.
Result<SymbolQueryRun> run_symbol_query(const SymbolQuery& query, const ParsedSource& parsed,
                                        std::string_view text);

}  // namespace brightloom
