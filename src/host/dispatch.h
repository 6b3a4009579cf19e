// Picks the command body by its exact name and hands it the payload.
#pragma once

#include <string_view>

#include "base/command_error.h"
#include "base/json_value.h"

namespace brightloom {

// The reply object of the named command, or its CommandError. The payload is
// only read. Unknown names give "unknown command: <name>".
Result<JsonValue> execute_command(std::string_view command, const JsonValue& payload);

}  // namespace brightloom
