// Writes a reply value as compact JSON: no whitespace, object keys in
// ascending byte order, only the bytes that JSON requires escaped.
#pragma once

#include <string>

#include "base/json_value.h"

namespace brightloom {

// Cannot fail for values built by the commands. Signed and floating numbers
// (which replies never hold, but payloads may) are written too, so that a
// payload value can be written back and read again.
std::string write_reply(const JsonValue& value);

}  // namespace brightloom
