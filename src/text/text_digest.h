// Reading a file's text and digesting it in one pass. Each read lands in a
// reused buffer and is taken in cache-sized blocks: a block is checked as
// UTF-8, its line feeds counted and its line endings normalised in place, and
// it is digested while it is still in the cache.
//
//   TextDigester digester;               // one per thread, reused for each file
//   Result<FileDigest> d = digester.digest(opened_file);
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "base/command_error.h"
#include "text/content_hash.h"
#include "text/text_file.h"

namespace brightloom {

// The most one read asks for; a file that is smaller, by its size from
// fstat, is read with one read of its size plus one byte.
inline constexpr std::size_t READ_BYTES = 128 * 1024;
// The unit of the one pass: checked, normalised and digested together.
inline constexpr std::size_t BLOCK_BYTES = 32 * 1024;

class TextDigester {
public:
    // Throws std::bad_alloc when OpenSSL cannot make a digest context.
    TextDigester() = default;
    TextDigester(const TextDigester&) = delete;
    TextDigester& operator=(const TextDigester&) = delete;

    // Reads `file` to its end and digests it. Fails with the system's
    // message for a failed read (which wins over invalid text: a regular file
    // is read through), else INVALID_UTF8_MESSAGE.
    Result<FileDigest> digest(const OpenedFile& file);

private:
    bool digest_blocks(char* data, std::size_t size);
    char* buffer_for(std::size_t request);

    ContentHasher hasher_;
    // Grows to what the largest read needs, at most READ_BYTES plus the few
    // bytes of a character cut by the previous read.
    std::unique_ptr<char[]> buffer_;
    std::size_t capacity_ = 0;
};

}  // namespace brightloom
