#include "text_file.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cassert>
#include <cstring>
#include <memory>

#include "base/file_descriptor.h"
#include "base/interrupt_check.h"
#include "text/utf8.h"

namespace brightloom {
Result<OpenedFile> open_for_reading(std::string_view path, OpenMode mode) {
    if (path.find('\0') != std::string_view::npos) {
        return fixed_error(NUL_IN_PATH_MESSAGE);
    }
    const std::string path_text(path);
    const int flags = O_RDONLY | (mode == OpenMode::regular_only ? O_NONBLOCK : 0);
    FileDescriptor fd = open_file(path_text.c_str(), flags);
    if (!fd.valid()) return os_error(errno);
    return describe_opened(std::move(fd), mode);
}

Result<OpenedFile> describe_opened(FileDescriptor fd, OpenMode mode) {
    // Without O_NONBLOCK a FIFO would already have blocked the open.
    assert(mode != OpenMode::regular_only || (::fcntl(fd.get(), F_GETFL) & O_NONBLOCK) != 0);
    OpenedFile file{std::move(fd)};
    struct stat info;
    if (::fstat(file.fd.get(), &info) == 0 && S_ISREG(info.st_mode)) {
        file.regular = true;
        file.size = static_cast<std::size_t>(info.st_size);
    } else if (mode == OpenMode::regular_only) {
        // The walk saw a regular file, but the name may have been replaced
        // since; a FIFO or device opened here must not be read.
        return os_error(EINVAL);
    }
    return file;
}

Result<std::string> read_text_file(std::string_view path, std::size_t stream_limit) {
    Result<OpenedFile> file = open_for_reading(path, OpenMode::any_file);
    if (!file.ok()) return std::move(file).error();

    // Read straight into the text, sized from fstat when the file says how
    // big it is; files that do not (pipes, /proc) grow it as they go.
    std::string text;
    const std::size_t capacity = file->regular ? file->size + 1 : 64 * 1024;
    text.resize(capacity);
    std::size_t size = 0;
    std::size_t checked = 0;  // leading bytes of a stream known to be UTF-8
    for (;;) {
        if (size == text.size()) text.resize(text.size() * 2);
        const ssize_t n = read_some(file->fd.get(), text.data() + size, text.size() - size);
        if (n < 0) return os_error(errno);
        if (n == 0) break;
        size += static_cast<std::size_t>(n);
        if (is_interrupted()) return os_error(EINTR);
        if (!file->regular) {
            // A stream may never end: its bytes are checked as they come,
            // so the first invalid one ends the read instead of memory.
            std::string_view fresh(text.data() + checked, size - checked);
            fresh.remove_suffix(incomplete_utf8_tail(fresh));
            if (!is_valid_utf8(fresh)) return fixed_error(INVALID_UTF8_MESSAGE);
            checked += fresh.size();
            // Valid text without end (/dev/zero) stops where no parse could
            // take it any more, instead of at the end of memory.
            if (size > stream_limit) return fixed_error(TOO_LARGE_TO_PARSE_MESSAGE);
        }
    }
    text.resize(size);
    if (!is_valid_utf8(text)) return fixed_error(INVALID_UTF8_MESSAGE);
    return text;
}

}  // namespace brightloom
