// The walk of the "scan" command: every regular file below a root whose
// extension is listed, found without following links below the root and
// without entering the pruned folder names.
//
//   ScanListing listing = collect_scan_paths("repo", extensions);
//   // read listing.paths beneath listing.root with open_beneath
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/file_descriptor.h"

namespace brightloom {

// Directory listings held open at once; deeper folders make the walk read
// the rest of the oldest open listing into memory and close it.
inline constexpr std::size_t MAX_OPEN_LISTINGS = 10;

// What the walk found, and the folder it found it in.
struct ScanListing {
    // The walked folder, opened once for lookups (O_PATH); the files are read
    // beneath it, so a root that is a link is followed only once per scan.
    // Invalid when the root is not a folder.
    FileDescriptor root;
    // The matching files relative to the root (names joined by "/"), as raw
    // bytes in the order found.
    std::vector<std::string> paths;
};

// Every failure drops only the entry it concerns; a root that cannot be
// typed yields nothing, a regular-file root with a listed extension yields
// the empty path (and no root folder). Depth is limited by memory only: the
// walk keeps its own stack.
ScanListing collect_scan_paths(std::string_view root, std::span<const std::string> extensions);

}  // namespace brightloom
