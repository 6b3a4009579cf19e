// Turns the query hits of one tree into the definition and reference lists
// of the "symbols" reply: one record per name node, in source order, each
// with the index of its enclosing definition.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "symbols/symbol_query.h"

namespace brightloom {

struct SymbolDefinition {
    // Of the name: 1-based line, byte column from 1.
    std::uint64_t line = 0;
    std::uint64_t column = 0;
    // Last line of the whole definition.
    std::uint64_t end_line = 0;
    std::string_view kind;  // static storage
    std::string name;
    // Index of the innermost definition that encloses this one.
    std::optional<std::uint64_t> scope;
    // As the outline cuts it: the definition's first line.
    std::string signature;
};

struct SymbolReference {
    std::uint64_t line = 0;
    std::uint64_t column = 0;
    std::string_view kind;  // static storage
    std::string name;
    std::optional<std::uint64_t> scope;
};

struct SymbolTable {
    std::vector<SymbolDefinition> definitions;
    std::vector<SymbolReference> references;
};

// `text` is the text the hits' tree was parsed from. Where several hits take
// one name node, the latest pattern wins; a name node that is a definition's
// name or marked ignore is no reference; an empty name is dropped.
SymbolTable build_symbol_table(const std::vector<QueryHit>& hits, std::string_view text);

}  // namespace brightloom
