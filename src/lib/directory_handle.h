// An owner for an open directory listing (DIR*), and the one way the scan
// opens a directory: without following a final symbolic link.
#pragma once

#include <dirent.h>
#include <fcntl.h>

#include <memory>

#include "file_descriptor.h"

namespace brightloom {

struct CloseDirectory {
    void operator()(DIR* listing) const { ::closedir(listing); }
};
using DirectoryHandle = std::unique_ptr<DIR, CloseDirectory>;

// Opens the directory `name` relative to the open directory `parent_fd`
// (AT_FDCWD for a path relative to the working directory, or any absolute
// path). With `follow_link` false a name that is a symbolic link fails with
// ELOOP instead of being entered. Null with errno set on failure.
inline DirectoryHandle open_directory_at(int parent_fd, const char* name, bool follow_link) {
    const int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | (follow_link ? 0 : O_NOFOLLOW);
    int raw;
    do {
        raw = ::openat(parent_fd, name, flags);
    } while (raw < 0 && errno == EINTR);
    if (raw < 0) return nullptr;
    DirectoryHandle listing(::fdopendir(raw));
    // On success the listing owns the descriptor and closes it with itself;
    // on failure nobody does yet, so a temporary owner closes it here.
    if (!listing) FileDescriptor{raw}.reset();
    return listing;
}

}  // namespace brightloom
