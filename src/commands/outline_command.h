// The "outline" command: the declarations of one source file (classes,
// functions, methods, modules, structs, enums, traits, impls, interfaces,
// type aliases) as a flat list in source order, found by parsing the file.
#pragma once

#include <string>
#include <vector>

#include "base/command_error.h"
#include "base/json_value.h"
#include "commands/source_request.h"
#include "outline/outline_symbol.h"

namespace brightloom {

struct OutlineReply {
    std::string language;
    // False when the language has no outline rules: nothing was parsed.
    bool checked = false;
    // At most MAX_SYMBOLS, in source order.
    std::vector<OutlineSymbol> symbols;
};

// The SourceRequest of an "outline" payload.
Result<SourceRequest> read_outline_request(const JsonValue& payload);

// Fails only when the parse fails.
Result<OutlineReply> run_outline(const SourceRequest& request);

// {"checked", "language", "symbol_count", "symbols"}, and "reason":
// "no_outline" when nothing was parsed.
JsonObject to_json(OutlineReply reply);

}  // namespace brightloom
