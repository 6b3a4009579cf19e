// The per-file step of the "scan" command: each kept path is read, checked,
// normalised, digested and counted, on the worker pool when there are two or
// more, and the entries come back in the order of the paths. Files are opened
// beneath the root's descriptor without following any link, so a name that
// became a link after the walk is left out rather than read.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/command_error.h"
#include "scan/worker_pool.h"
#include "text/text_digest.h"

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

// Reads one file for the scan with the calling thread's digester. The
// default opens `relative` beneath the folder `root_fd` with no link followed,
// without blocking, and takes regular files only. Tests substitute their own.
using FileDigester = Result<FileDigest> (*)(int root_fd, const std::string& relative,
                                            TextDigester& digester);
Result<FileDigest> digest_scan_file(int root_fd, const std::string& relative, TextDigester& digester);

// One entry per path that could be read as UTF-8 text, in the order of
// `paths`; the others are left out. `root_fd` is the walked folder (see
// ScanListing). `pool` may be null, and is not used for fewer than two paths.
// An exception thrown while digesting on a worker is rethrown here once every
// worker has stopped.
std::vector<ScanEntry> digest_scan_paths(std::span<const ScanPath> paths, int root_fd,
                                         WorkerPool* pool,
                                         FileDigester digest = digest_scan_file);

}  // namespace brightloom
