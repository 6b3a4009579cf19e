#include "open_beneath.h"

#include <linux/openat2.h>
#include <sys/syscall.h>

#include <atomic>
#include <cerrno>

namespace brightloom {
namespace {

// Set once a kernel has answered ENOSYS; later opens go straight to the
// fallback instead of paying for a failing system call each.
std::atomic<bool> openat2_missing{false};

}  // namespace

FileDescriptor open_folder_for_lookup(const char* path) {
    return FileDescriptor(open_at_retrying(AT_FDCWD, path, O_PATH | O_DIRECTORY));
}

FileDescriptor open_beneath(int root_fd, const std::string& relative, int flags) {
    if (!openat2_missing.load(std::memory_order_relaxed)) {
        open_how how{};
        how.flags = static_cast<std::uint64_t>(flags | O_CLOEXEC);
        how.resolve = RESOLVE_NO_SYMLINKS | RESOLVE_BENEATH;
        long fd;
        do {
            fd = ::syscall(SYS_openat2, root_fd, relative.c_str(), &how, sizeof how);
        } while (fd < 0 && errno == EINTR);
        if (fd >= 0) return FileDescriptor(static_cast<int>(fd));
        // Some container filters answer EPERM for system calls they do not
        // know; the fallback then gives the real answer for this name.
        if (errno != ENOSYS && errno != EPERM) return FileDescriptor();
        if (errno == ENOSYS) openat2_missing.store(true, std::memory_order_relaxed);
    }
    return open_beneath_by_components(root_fd, relative, flags);
}

FileDescriptor open_beneath_by_components(int root_fd, std::string_view relative, int flags) {
    if (relative.starts_with('/')) {
        errno = EXDEV;
        return FileDescriptor();
    }
    // `folder` owns every descriptor opened on the way; the root is borrowed.
    FileDescriptor folder;
    int folder_fd = root_fd;
    for (;;) {
        const std::size_t slash = relative.find('/');
        const std::string name(relative.substr(0, slash));
        if (name == "..") {
            errno = EXDEV;
            return FileDescriptor();
        }
        if (slash == std::string_view::npos) {
            if (name.empty()) {
                errno = ENOENT;  // as openat2 answers for ""
                return FileDescriptor();
            }
            return FileDescriptor(open_at_retrying(folder_fd, name.c_str(), flags | O_NOFOLLOW));
        }
        relative.remove_prefix(slash + 1);
        if (name.empty() || name == ".") continue;
        // O_PATH asks only for search permission on the way, as openat2
        // does; with O_NOFOLLOW a link here opens as a link and O_DIRECTORY
        // then refuses it.
        FileDescriptor next(open_at_retrying(folder_fd, name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW));
        if (!next.valid()) return next;
        folder = std::move(next);
        folder_fd = folder.get();
    }
}

}  // namespace brightloom
