// The "scan" command: the matching files of a folder tree in path order, up
// to a limit, each with its content digest and line count.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/command_error.h"
#include "base/json_value.h"
#include "scan/scan_files.h"

namespace brightloom {

inline constexpr std::uint64_t DEFAULT_MAX_FILES = 256;

struct ScanRequest {
    // The folder to walk, byte for byte as received.
    std::string root;
    // How many of the sorted matching paths are read and reported.
    std::uint64_t max_files = DEFAULT_MAX_FILES;
    // Extensions without leading dots, compared byte for byte.
    std::vector<std::string> extensions;
};

struct ScanReply {
    // In path order; files that could not be read as UTF-8 are left out.
    std::vector<ScanEntry> entries;
};

// Fails only with "missing required field: root", checked before anything
// else. An unusable "max_files" or "extensions" silently takes its default.
Result<ScanRequest> read_scan_request(const JsonValue& payload);

// Fails only when descriptors run out; whatever cannot be walked or read is
// left out of the entries.
Result<ScanReply> run_scan(const ScanRequest& request);

// {"count", "entries": [{"file_hash", "path", "total_lines"}]}.
JsonObject to_json(ScanReply reply);

}  // namespace brightloom
