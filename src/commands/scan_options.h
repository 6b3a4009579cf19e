// The options of the "scan" command, read from its payload.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/command_error.h"
#include "base/json_value.h"

namespace brightloom {

inline constexpr std::uint64_t DEFAULT_MAX_FILES = 256;

struct ScanOptions {
    // The folder to walk, byte for byte as received.
    std::string root;
    // How many of the sorted matching paths are read and reported.
    std::uint64_t max_files = DEFAULT_MAX_FILES;
    // Extensions without leading dots, compared byte for byte.
    std::vector<std::string> extensions;
};

// Fails only with "missing required field: root", checked before anything
// else. An unusable "max_files" or "extensions" silently takes its default.
Result<ScanOptions> read_scan_options(const JsonValue& payload);

}  // namespace brightloom
