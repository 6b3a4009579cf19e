// Reading source files as UTF-8 text: opening them, and reading them whole.
// Plain file input: no request field is read here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "base/command_error.h"
#include "base/file_descriptor.h"

namespace brightloom {


// A stream that is not a regular file (a device, a FIFO) may never end; it
// is read up to this many bytes, the most a parse can take.
inline constexpr std::size_t MAX_STREAM_TEXT_BYTES = UINT32_MAX;

// The whole file as UTF-8 text, unchanged (no byte-order mark removed, line
// endings kept). Fails with the system's message, INVALID_UTF8_MESSAGE,
// NUL_IN_PATH_MESSAGE, or TOO_LARGE_TO_PARSE_MESSAGE for a stream that goes
// on past `stream_limit` bytes.
Result<std::string> read_text_file(std::string_view path, std::size_t stream_limit = MAX_STREAM_TEXT_BYTES);

// How open_for_reading opens the file.
enum class OpenMode {
    // Plain blocking open, as for a path the caller named.
    any_file,
    // Opens without blocking and refuses anything but a regular file, so a
    // path that turned into a FIFO or device cannot stall a directory scan.
    regular_only,
};

// An open file and, for a regular file, its size (a hint: it may change).
struct OpenedFile {
    FileDescriptor fd;
    bool regular = false;
    std::size_t size = 0;
};

// Opens `path` for reading as `mode` says. Fails with the system's message,
// or NUL_IN_PATH_MESSAGE.
Result<OpenedFile> open_for_reading(std::string_view path, OpenMode mode);
// The checks open_for_reading makes after the open, for a descriptor opened
// another way (in regular_only mode it must have been opened O_NONBLOCK).
Result<OpenedFile> describe_opened(FileDescriptor fd, OpenMode mode);


}  // namespace brightloom
