// The walk of the "scan" command: every regular file below a root whose
// extension is listed, found without following links below the root and
// without entering the pruned folder names.
//
//   std::vector<std::string> found = collect_scan_paths("repo", extensions);
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace brightloom {

// Directory listings held open at once; deeper folders make the walk read
// the rest of the oldest open listing into memory and close it.
inline constexpr std::size_t MAX_OPEN_LISTINGS = 10;

// The paths of the matching files relative to `root` (names joined by "/"),
// as raw bytes in the order found. Every failure drops only the entry it
// concerns; a root that cannot be typed yields nothing, a regular-file root
// with a listed extension yields the empty path. Depth is limited by memory
// only: the walk keeps its own stack.
std::vector<std::string> collect_scan_paths(std::string_view root,
                                            std::span<const std::string> extensions);

}  // namespace brightloom
