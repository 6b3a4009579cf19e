// The "scan" command: the matching files of a folder tree in path order, up
// to a limit, each with its content digest and line count.
#pragma once

#include "base/command_error.h"
#include "base/json_value.h"

namespace brightloom {

// Reply {"count", "entries": [{"file_hash", "path", "total_lines"}], "ok"}.
// Fails only with "missing required field: root"; whatever cannot be walked
// or read is left out of the entries.
Result<JsonValue> scan_workspace(const JsonValue& payload);

}  // namespace brightloom
