// Picks the command by its exact name and runs it on the payload.
#pragma once

#include <string_view>

#include "base/command_error.h"
#include "base/json_value.h"

namespace brightloom {

// The named command's reply members (without "ok"), or its CommandError.
// The payload is only read. Unknown names give "unknown command: <name>".
Result<JsonObject> dispatch_command(std::string_view command, const JsonValue& payload);

}  // namespace brightloom
