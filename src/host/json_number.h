// Turns the text of one JSON number into the value a payload holds: an
// unsigned 64-bit integer, a signed 64-bit integer or a double.
//
//   std::optional<JsonValue> n = convert_json_number("-12");  // holds int64 -12
#pragma once

#include <optional>
#include <string_view>

#include "base/json_value.h"

namespace brightloom {

// `token` must already match the JSON number grammar (the reader checks it).
// An integer without sign that fits becomes uint64; one with a minus sign
// that fits becomes int64, "-0" included (signed zero, which the writer spells
// "-0" again); anything else becomes a double,
// rounded to nearest, with values too small for a double going to zero.
// Returns nullopt when the magnitude is beyond the largest finite double.
std::optional<JsonValue> convert_json_number(std::string_view token);

}  // namespace brightloom
