#include "text_file.h"

#include <sys/stat.h>

#include <cstring>
#include <memory>

#include "file_descriptor.h"
#include "interrupt_check.h"
#include "utf8.h"

namespace brightloom {
namespace {

// Bytes at the end of `bytes` that begin a multi-byte character whose
// remaining bytes have not been read yet. Only a sequence whose lead byte
// promises more bytes than are left counts; anything else is left for the
// validator to judge.
std::size_t incomplete_tail(std::string_view bytes) {
    const std::size_t look_back = std::min<std::size_t>(3, bytes.size());
    for (std::size_t back = 1; back <= look_back; ++back) {
        const auto byte = static_cast<unsigned char>(bytes[bytes.size() - back]);
        if ((byte & 0xC0) == 0x80) continue;  // continuation: keep looking
        const std::size_t length = byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : byte >= 0xC0 ? 2 : 1;
        return length > back ? back : 0;
    }
    return 0;
}

}  // namespace

Result<OpenedFile> open_for_reading(std::string_view path, OpenMode mode) {
    if (path.find('\0') != std::string_view::npos) {
        return CommandError{std::string(NUL_IN_PATH_MESSAGE)};
    }
    const std::string path_text(path);
    const int flags = O_RDONLY | (mode == OpenMode::regular_only ? O_NONBLOCK : 0);
    FileDescriptor fd = open_file(path_text.c_str(), flags);
    if (!fd.valid()) return os_error(errno);
    return describe_opened(std::move(fd), mode);
}

Result<OpenedFile> describe_opened(FileDescriptor fd, OpenMode mode) {
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

Result<bool> stream_text_file(std::string_view path, OpenMode mode,
                              const std::function<void(std::string_view)>& sink) {
    Result<OpenedFile> file = open_for_reading(path, mode);
    if (!file.ok()) return std::move(file).error();

    // Room for a chunk plus the up to three bytes of a character cut at the
    // end of the previous chunk, which are moved to the front. Small files get
    // a small buffer: a full chunk would cost an mmap and page faults per file.
    std::size_t chunk_bytes = STREAM_CHUNK_BYTES;
    if (file->regular && file->size < chunk_bytes) {
        chunk_bytes = file->size + 1;  // +1 sees the end in the first read
    }
    auto buffer = std::make_unique_for_overwrite<char[]>(chunk_bytes + 4);
    std::size_t carried = 0;
    bool valid = true;
    for (;;) {
        const ssize_t n = read_some(file->fd.get(), buffer.get() + carried, chunk_bytes);
        if (n < 0) return os_error(errno);
        if (n == 0) break;
        // An endless stream (/dev/zero) can only be stopped here.
        if (is_interrupted()) return os_error(EINTR);
        if (!valid) continue;  // keep reading: a read error still takes precedence
        std::string_view chunk(buffer.get(), carried + static_cast<std::size_t>(n));
        const std::size_t tail = incomplete_tail(chunk);
        chunk.remove_suffix(tail);
        if (!is_valid_utf8(chunk)) {
            // A regular file ends, so it is read through for a later read
            // error; a stream may not (/dev/urandom), so the answer is now.
            if (!file->regular) return CommandError{std::string(INVALID_UTF8_MESSAGE)};
            valid = false;
            continue;
        }
        sink(chunk);
        std::memmove(buffer.get(), buffer.get() + chunk.size(), tail);
        carried = tail;
    }
    if (!valid || carried != 0) return CommandError{std::string(INVALID_UTF8_MESSAGE)};
    return true;
}

Result<std::string> read_text_file(std::string_view path) {
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
            fresh.remove_suffix(incomplete_tail(fresh));
            if (!is_valid_utf8(fresh)) return CommandError{std::string(INVALID_UTF8_MESSAGE)};
            checked += fresh.size();
        }
    }
    text.resize(size);
    if (!is_valid_utf8(text)) return CommandError{std::string(INVALID_UTF8_MESSAGE)};
    return text;
}

Result<SourceText> load_source(const JsonValue& payload) {
    if (const std::string* content = string_field(payload, "content")) return SourceText::borrowed(*content);
    if (const std::string* path = string_field(payload, "path")) {
        Result<std::string> text = read_text_file(*path);
        if (!text.ok()) return std::move(text).error();
        return SourceText::owned(std::move(*text));
    }
    return missing_field_error("content or path");
}

}  // namespace brightloom
