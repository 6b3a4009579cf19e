// The "hash" command: the content digest of one file named by "path".
#pragma once

#include "base/command_error.h"
#include "base/json_value.h"

namespace brightloom {

// Reply {"hash": <64 hex digits>, "ok": true}; fails with the read's message.
Result<JsonValue> run_hash(const JsonValue& payload);

}  // namespace brightloom
