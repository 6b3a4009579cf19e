// Opening a path below an open folder without following any symbolic link on
// the way. The scan lists names first and reads them later; a link renamed
// over a listed name (or over a folder on its path) in between must fail the
// open, not lead the scan to a file outside its tree.
//
//   FileDescriptor root = open_folder_for_lookup("repo");  // the one link followed
//   FileDescriptor file = open_beneath(root.get(), "src/a.py", O_RDONLY);
#pragma once

#include <string>
#include <string_view>

#include "base/file_descriptor.h"

namespace brightloom {

// A descriptor of the folder `path` to resolve names beneath (O_PATH: it
// needs no read permission and cannot be read). A final symbolic link is
// followed, as for a root the caller named. Invalid with errno set on failure.
FileDescriptor open_folder_for_lookup(const char* path);

// Opens `relative` (non-empty names joined by "/") below the folder `root_fd`
// with `flags` plus O_CLOEXEC. A symbolic link at any component fails the
// open (ELOOP, or ENOTDIR for a folder on the way), as do ".." and absolute
// paths (EXDEV). Uses openat2(2) and, on kernels without
// it, open_beneath_by_components. Invalid with errno set on failure.
FileDescriptor open_beneath(int root_fd, const std::string& relative, int flags);

// The same rule with one openat per component, each with O_NOFOLLOW, and
// O_DIRECTORY for the folders on the way. Public so that tests reach it on
// kernels that have openat2.
FileDescriptor open_beneath_by_components(int root_fd, std::string_view relative, int flags);

}  // namespace brightloom
