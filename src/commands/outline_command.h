// The "outline" command: the declarations of one source file (classes,
// functions, methods, modules, structs, enums, traits, impls, interfaces,
// type aliases) as a flat list in source order, found by parsing the file.
//
//   Result<JsonValue> reply = run_outline(*read_source_request(payload));
#pragma once

#include "base/command_error.h"
#include "base/json_value.h"
#include "commands/source_request.h"
#include "outline/outline_symbol.h"

namespace brightloom {

// The reply object of the "outline" command. Fails only when the parse
// fails; a language without outline rules gets the "no_outline" reply
// instead.
Result<JsonValue> run_outline(const SourceRequest& request);

}  // namespace brightloom
