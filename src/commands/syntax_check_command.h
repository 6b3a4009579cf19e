// The "syntax-check" command: parses one source text and reports its error
// and missing nodes (syntax/syntax_errors.h).
#pragma once

#include <string>
#include <vector>

#include "base/command_error.h"
#include "base/json_value.h"
#include "commands/source_request.h"
#include "syntax/syntax_errors.h"

namespace brightloom {

struct SyntaxCheckReply {
    std::string language;
    // False when the language has no grammar: nothing was parsed.
    bool checked = false;
    // At most MAX_REPORTED_ERRORS, in source order; none means valid.
    std::vector<SyntaxErrorItem> errors;
};

// The SourceRequest of a "syntax-check" payload.
Result<SourceRequest> read_syntax_check_request(const JsonValue& payload);

// Fails only when the parse fails.
Result<SyntaxCheckReply> run_syntax_check(const SourceRequest& request);

// {"checked", "error_count", "errors", "language", "valid"}, and "reason":
// "no_parser" when nothing was parsed.
JsonObject to_json(SyntaxCheckReply reply);

}  // namespace brightloom
