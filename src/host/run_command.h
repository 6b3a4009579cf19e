// One call of `run` below the Python boundary: payload text in, reply text
// or error message out. The boundary only converts to and from Python.
#pragma once

#include <string>
#include <string_view>

#include "base/command_error.h"

namespace brightloom {

// Reads the payload (a malformed one fails first, whatever the command name),
// runs the named command and writes its reply as compact JSON text.
Result<std::string> run_command(std::string_view command, std::string_view payload_text);

}  // namespace brightloom
