// The line-ending-normalised SHA-256 digest shared by "hash" and "scan".
// Every CR LF pair and every lone CR counts as one LF, so the digest does not
// depend on a file's line-ending convention.
//
//   ContentHasher hasher;
//   hasher.update(chunk1); hasher.update(chunk2);
//   std::string hex = hasher.finish();
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "command_error.h"
#include "text_file.h"

namespace brightloom {

// Normalises and digests text fed in pieces; a CR that ends one piece still
// pairs with an LF that starts the next. Also counts lines of the raw text.
class ContentHasher {
public:
    ContentHasher();
    ~ContentHasher();
    ContentHasher(const ContentHasher&) = delete;
    ContentHasher& operator=(const ContentHasher&) = delete;

    void update(std::string_view piece);
    // 64 lower-case hexadecimal digits. The hasher is spent afterwards.
    std::string finish();
    // count_total_lines of everything fed so far.
    std::uint64_t total_lines() const;

private:
    struct Digest;
    std::unique_ptr<Digest> digest_;
    bool last_was_cr_ = false;
    std::uint64_t bytes_ = 0;
    std::uint64_t line_feeds_ = 0;
};

std::string content_hash(std::string_view text);
// 0 for the empty text, else one more than the number of LF bytes.
std::uint64_t count_total_lines(std::string_view text);

struct FileDigest {
    std::string hash;
    std::uint64_t total_lines = 0;
};

// Reads, checks, normalises, digests and counts a file in one streaming pass.
Result<FileDigest> digest_text_file(std::string_view path, OpenMode mode);

}  // namespace brightloom
