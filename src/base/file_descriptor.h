// A move-only owner of a POSIX file descriptor, and EINTR-safe open and read.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <utility>

#include "base/interrupt_check.h"

namespace brightloom {

class FileDescriptor {
public:
    FileDescriptor() = default;
    explicit FileDescriptor(int fd) : fd_(fd) {}
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept {
        if (this != &other) reset(std::exchange(other.fd_, -1));
        return *this;
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() { reset(); }

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    // Gives up ownership without closing: for a new owner such as fdopendir.
    [[nodiscard]] int release() { return std::exchange(fd_, -1); }

    // close is never retried after EINTR: on Linux the descriptor is already
    // released, and a retry could close one that another thread just opened.
    void reset(int fd = -1) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

// openat(2) with O_CLOEXEC, retried on EINTR: for opens that cannot block
// (folders, O_PATH, O_NONBLOCK). Returns the descriptor or -1 with errno set.
inline int open_at_retrying(int folder_fd, const char* name, int flags) {
    int fd;
    do {
        fd = ::openat(folder_fd, name, flags | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

// open(2) with O_CLOEXEC, retried on EINTR unless the caller has been
// interrupted (then it fails with EINTR): an open of a FIFO without a writer
// blocks until a signal, and Ctrl-C must end it.
inline FileDescriptor open_file(const char* path, int flags) {
    int fd;
    do {
        fd = ::open(path, flags | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR && !is_interrupted());
    return FileDescriptor(fd);
}

// read(2) retried on EINTR unless the caller has been interrupted. Returns
// the byte count, 0 at the end, -1 with errno set on failure.
inline ssize_t read_some(int fd, char* buffer, std::size_t size) {
    ssize_t n;
    do {
        n = ::read(fd, buffer, size);
    } while (n < 0 && errno == EINTR && !is_interrupted());
    return n;
}

}  // namespace brightloom
