// The "symbols" command: everything the index keeps about one source text
// from a single parse. The reply holds the "outline" and "syntax-check"
// replies for the same payload (without their "ok"), byte for byte, and
// every definition and reference the language's rules find.
//
//   Result<JsonValue> reply = run_symbols(payload);  // {"path": "src/lib.rs"}
#pragma once

#include "lib/command_error.h"
#include "lib/json_value.h"

namespace brightloom {

// The payload is that of "outline": "content" or "path", optional
// "language". Fails as "outline" does, and when the rules' run passes the
// parse limits.
Result<JsonValue> run_symbols(const JsonValue& payload);

}  // namespace brightloom
