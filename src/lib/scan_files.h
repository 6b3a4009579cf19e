// The per-file step of the "scan" command: each kept path is read, checked,
// normalised, digested and counted, on the worker pool when there are two or
// more, and the entries come back in the order of the paths.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "command_error.h"
#include "content_hash.h"
#include "worker_pool.h"

namespace brightloom {

// A relative path as the reply shows it.
struct ScanPath {
    // The path as UTF-8 text, invalid bytes replaced by U+FFFD.
    std::string text;
    // False when `text` had to replace bytes, so it names no file on disk.
    bool is_exact = true;
};

// One entry of the reply.
struct ScanEntry {
    std::string path;
    std::string file_hash;
    std::uint64_t total_lines = 0;
};

// Reads one file for the scan; the default opens without blocking and takes
// regular files only. Tests substitute their own.
using FileDigester = Result<FileDigest> (*)(const std::string& location);
Result<FileDigest> digest_scan_file(const std::string& location);

// One entry per path that could be read as UTF-8 text, in the order of
// `paths`; the others are left out. `pool` may be null, and is not used for
// fewer than two paths. An exception thrown while digesting on a worker is
// rethrown here once every worker has stopped.
std::vector<ScanEntry> digest_scan_paths(std::span<const ScanPath> paths, std::string_view root,
                                         WorkerPool* pool,
                                         FileDigester digest = digest_scan_file);

}  // namespace brightloom
