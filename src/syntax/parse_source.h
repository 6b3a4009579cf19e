// One fresh, full parse of a text held in memory, within a bounded cost.
//
//   Result<ParsedSource> parsed = parse_source(grammar, text);
//   if (!parsed.ok()) return std::move(parsed).error();
//   TSNode root = parsed->root();
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

#include <tree_sitter/api.h>

#include "base/command_error.h"
#include "syntax/parse_arena.h"

namespace brightloom {

struct ParserDeleter {
    void operator()(TSParser* parser) const { ts_parser_delete(parser); }
};
struct TreeDeleter {
    void operator()(TSTree* tree) const { ts_tree_delete(tree); }
};
using ParserOwner = std::unique_ptr<TSParser, ParserDeleter>;
using TreeOwner = std::unique_ptr<TSTree, TreeDeleter>;

// The parse and everything it allocated live in the arena of `lease`. The
// lease is declared first, so it ends last: the parser is deleted (its
// scanner state may hold memory of its own), then the lease gives back the
// tree with all the rest at once, without a node-by-node teardown. Nodes
// taken from root() borrow from the tree and the text, which must outlive
// them. A ParsedSource stays on the thread that made it.
struct ParsedSource {
    ArenaLease lease;
    ParserOwner parser;
    TSTree* tree = nullptr;  // belongs to the lease's arena
    // The parse's work, in the units its limit counts.
    std::uint64_t work_units = 0;
    TSNode root() const { return ts_tree_root_node(tree); }
};

// What a parse of a text of `text_bytes` may cost before it is abandoned.
// Work counts parse operations, bytes handed to the lexer, bytes handed out
// by the arena and entries into error recovery, all of which grow with the
// work the parser does, unlike wall time.
struct ParseLimits {
    std::uint64_t work_units = 0;
    std::size_t memory_bytes = 0;
};
ParseLimits parse_limits_for(std::size_t text_bytes);
// The units work is counted in, for work done on the tree after the parse
// that counts against the same limit: the runtime reports progress every
// hundred operations, and every ALLOCATED_BYTES_PER_UNIT bytes handed out by
// the arena count one unit.
inline constexpr std::uint64_t OPERATIONS_PER_PROGRESS_CALL = 100;
inline constexpr std::uint64_t ALLOCATED_BYTES_PER_UNIT = 16;
// For measuring what a text would cost, and for tests of the walks on trees
// no request may build.
inline constexpr ParseLimits UNLIMITED_PARSE{UINT64_MAX, SIZE_MAX};

// What a parse cost, in its parts, whatever its outcome: for benchmarks.
struct ParseCost {
    std::uint64_t work_units = 0;
    std::uint64_t operations = 0;           // parse operations
    std::uint64_t recoveries = 0;  // entries into error recovery, estimated
    std::uint64_t lexed_bytes = 0;
    std::uint64_t allocated_bytes = 0;
    std::size_t peak_bytes = 0;
};

// Fails with "Incompatible language version <n>. Expected minimum 13,
// maximum 15", "source text is too costly to parse: ..." when a limit was
// reached, or "tree-sitter parse returned no tree". Throws std::bad_alloc
// when the system has no memory left.
Result<ParsedSource> parse_source(const TSLanguage* grammar, std::string_view text);
Result<ParsedSource> parse_source(const TSLanguage* grammar, std::string_view text, ParseLimits limits,
                                  ParseCost* cost = nullptr);

}  // namespace brightloom
