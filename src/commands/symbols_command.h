// The "symbols" command: everything the index keeps about one source text
// from a single parse. The reply holds the "outline" and "syntax-check"
// replies for the same payload (without their "ok"), byte for byte, and
// every definition and reference the language's rules find.
#pragma once

#include <string>

#include "base/command_error.h"
#include "base/json_value.h"
#include "commands/outline_command.h"
#include "commands/source_request.h"
#include "commands/syntax_check_command.h"
#include "symbols/symbol_table.h"

namespace brightloom {

struct SymbolsRequest {
    // Its language is the one "symbols" takes from the path.
    SourceRequest source;
    // The language "outline" and "syntax-check" take from the same payload.
    std::string shared_language;
};

struct SymbolsReply {
    std::string language;
    OutlineReply outline;
    SyntaxCheckReply check;
    SymbolTable table;
};

// The payload of "outline": "content" or "path", optional "language".
Result<SymbolsRequest> read_symbols_request(const JsonValue& payload);

// Fails as "outline" does, and when the rules' run passes the parse limits.
Result<SymbolsReply> run_symbols(const SymbolsRequest& request);

// {"check", "definitions", "language", "outline", "references"}
JsonObject to_json(SymbolsReply reply);

}  // namespace brightloom
