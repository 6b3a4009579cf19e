// The "outline" command: the declarations of one source file (classes,
// functions, methods, modules, structs, enums, traits, impls, interfaces,
// type aliases) as a flat list in source order, found by parsing the file.
//
//   Result<JsonValue> reply = run_outline(*read_source_request(payload));
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "lib/command_error.h"
#include "lib/json_value.h"
#include "lib/source_request.h"

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

// The two forms of the reply, for callers that parse the text themselves.
JsonValue no_outline_reply(std::string language);
JsonValue outline_reply(std::string language, std::vector<OutlineSymbol> symbols);

// The reply object of the "outline" command. Fails only when the parse
// fails; a language without outline rules gets the "no_outline" reply
// instead.
Result<JsonValue> run_outline(const SourceRequest& request);

}  // namespace brightloom
