// An owner for an open directory listing (DIR*), and the one way the scan
// opens a directory: without following a final symbolic link.
#pragma once

#include <dirent.h>
#include <fcntl.h>

#include <memory>

#include "base/file_descriptor.h"

namespace brightloom {

struct CloseDirectory {
    void operator()(DIR* listing) const { ::closedir(listing); }
};
using DirectoryHandle = std::unique_ptr<DIR, CloseDirectory>;

// Turns an open folder descriptor into a listing that owns it. Null with
// errno set when `folder` is invalid or cannot be listed (then it is closed).
inline DirectoryHandle adopt_directory(FileDescriptor folder) {
    if (!folder.valid()) return nullptr;
    DirectoryHandle listing(::fdopendir(folder.get()));
    // On success the listing closes the descriptor with itself.
    if (listing) static_cast<void>(folder.release());
    return listing;
}

// Opens the directory `name` relative to the open directory `parent_fd`
// (AT_FDCWD for a path relative to the working directory, or any absolute
// path). With `follow_link` false a name that is a symbolic link fails with
// ELOOP instead of being entered. Null with errno set on failure.
inline DirectoryHandle open_directory_at(int parent_fd, const char* name, bool follow_link) {
    const int flags = O_RDONLY | O_DIRECTORY | (follow_link ? 0 : O_NOFOLLOW);
    return adopt_directory(FileDescriptor(open_at_retrying(parent_fd, name, flags)));
}

}  // namespace brightloom
