// One fresh, full parse of a text held in memory, with owners that release
// the tree before the parser on every path.
//
//   Result<ParsedSource> parsed = parse_source(grammar, text);
//   if (!parsed.ok()) return std::move(parsed).error();
//   TSNode root = parsed->root();
#pragma once

#include <memory>
#include <string_view>

#include <tree_sitter/api.h>

#include "lib/command_error.h"

namespace brightloom {

struct ParserDeleter {
    void operator()(TSParser* parser) const { ts_parser_delete(parser); }
};
struct TreeDeleter {
    void operator()(TSTree* tree) const { ts_tree_delete(tree); }
};
using ParserOwner = std::unique_ptr<TSParser, ParserDeleter>;
using TreeOwner = std::unique_ptr<TSTree, TreeDeleter>;

// The parser is declared before the tree, so the tree is destroyed first.
// Nodes taken from root() borrow from the tree and the text, which must
// outlive them.
struct ParsedSource {
    ParserOwner parser;
    TreeOwner tree;
    TSNode root() const { return ts_tree_root_node(tree.get()); }
};

// Fails with "Incompatible language version <n>. Expected minimum 13,
// maximum 15" or "tree-sitter parse returned no tree".
Result<ParsedSource> parse_source(const TSLanguage* grammar, std::string_view text);

}  // namespace brightloom
