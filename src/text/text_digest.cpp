#include "text_digest.h"

#include <cstring>

#include "base/interrupt_check.h"
#include "text/utf8.h"

namespace brightloom {
namespace {

// The longest a character cut by a read can have arrived of: three bytes of
// four. They are moved to the front of the buffer for the next read.
constexpr std::size_t MAX_CARRIED = 3;

// Where the block starting at `data` should end: BLOCK_BYTES on, moved back
// to the start of a character so that each block can be checked alone. A
// run of four or more continuation bytes is invalid whichever way it is cut.
std::size_t block_size(const char* data, std::size_t size) {
    if (size <= BLOCK_BYTES) return size;
    std::size_t end = BLOCK_BYTES;
    for (int back = 0; back < 3 && is_utf8_continuation(data[end]); ++back) --end;
    return end;
}

CommandError invalid_utf8() { return fixed_error(INVALID_UTF8_MESSAGE); }

}  // namespace

char* TextDigester::buffer_for(std::size_t request) {
    const std::size_t needed = request + MAX_CARRIED;
    if (needed > capacity_) {
        std::unique_ptr<char[]> grown = std::make_unique_for_overwrite<char[]>(needed);
        if (buffer_) std::memcpy(grown.get(), buffer_.get(), MAX_CARRIED);
        buffer_ = std::move(grown);
        capacity_ = needed;
    }
    return buffer_.get();
}

bool TextDigester::digest_blocks(char* data, std::size_t size) {
    while (size != 0) {
        const std::size_t block = block_size(data, size);
        if (!is_valid_utf8(std::string_view(data, block))) return false;
        hasher_.update_in_place(data, block);
        data += block;
        size -= block;
    }
    return true;
}

Result<FileDigest> TextDigester::digest(const OpenedFile& file) {
    hasher_.restart();
    // A file smaller than a read is read once with a byte to spare: the
    // short count at the size fstat gave is its end, without another read.
    std::size_t request = file.regular && file.size < READ_BYTES ? file.size + 1 : READ_BYTES;
    std::size_t carried = 0;
    std::uint64_t total = 0;
    bool valid = true;
    for (;;) {
        char* buffer = buffer_for(request);
        const ssize_t n = read_some(file.fd.get(), buffer + carried, request);
        if (n < 0) return os_error(errno);
        if (n == 0) break;
        // An endless stream (/dev/zero) can only be stopped here.
        if (is_interrupted()) return os_error(EINTR);
        const auto count = static_cast<std::size_t>(n);
        total += count;
        if (valid) {
            const std::size_t size = carried + count;
            const std::size_t tail = incomplete_utf8_tail(std::string_view(buffer, size));
            valid = digest_blocks(buffer, size - tail);
            // A regular file ends, so it is read through for a later read
            // error; a stream may not (/dev/urandom), so the answer is now.
            if (!valid && !file.regular) return invalid_utf8();
            std::memmove(buffer, buffer + size - tail, tail);
            carried = tail;
        }
        if (file.regular && total == file.size && count < request) break;
        request = READ_BYTES;
    }
    if (!valid || carried != 0) return invalid_utf8();
    FileDigest digest;
    digest.total_lines = hasher_.total_lines();
    digest.hash = hasher_.finish();
    return digest;
}

Result<FileDigest> digest_text_file(std::string_view path, OpenMode mode) {
    Result<OpenedFile> file = open_for_reading(path, mode);
    if (!file.ok()) return std::move(file).error();
    TextDigester digester;
    return digester.digest(*file);
}

}  // namespace brightloom
