// Reads one payload text (RFC 8259 JSON) into a JsonValue. A fault gives a
// CommandError "<description> at line <n> column <m>", where the column
// counts bytes of the line up to and including the offending byte.
#pragma once

#include <string_view>

#include "base/command_error.h"
#include "base/json_value.h"

namespace brightloom {

// Arrays and objects may nest 127 deep; entering the 128th level fails.
inline constexpr int PAYLOAD_NESTING_BUDGET = 128;

Result<JsonValue> read_payload(std::string_view text);

}  // namespace brightloom
