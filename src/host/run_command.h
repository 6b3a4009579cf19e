// One call of `run` below the Python boundary: payload text in, reply text
// or error message out. The boundary only converts to and from Python.
#pragma once

#include <string>
#include <string_view>

#include "base/command_error.h"
#include "base/json_value.h"

namespace brightloom {

// Reads the payload (a malformed one fails first, whatever the command name),
// runs the named command and writes its reply as compact JSON text.
Result<std::string> run_command(std::string_view command, std::string_view payload_text);

// The reply object of the named command on an already read payload: its
// members plus "ok": true.
Result<JsonValue> execute_command(std::string_view command, const JsonValue& payload);

}  // namespace brightloom
