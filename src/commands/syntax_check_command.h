// The "syntax-check" command: parses one source text and reports its error
// and missing nodes (syntax/syntax_errors.h).
//
//   Result<JsonValue> reply = run_syntax_check(*read_source_request(payload));
#pragma once

#include "base/command_error.h"
#include "base/json_value.h"
#include "commands/source_request.h"

namespace brightloom {

// The reply object of the "syntax-check" command. Fails only when the parse
// fails; a language without a grammar gets the "no_parser" reply instead.
Result<JsonValue> run_syntax_check(const SourceRequest& request);

}  // namespace brightloom
