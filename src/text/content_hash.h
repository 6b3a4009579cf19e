// The line-ending-normalised SHA-256 digest shared by "hash" and "scan".
// Every CR LF pair and every lone CR counts as one LF, so the digest does not
// depend on a file's line-ending convention.
//
//   ContentHasher hasher;                      // reusable: restart() per text
//   hasher.update(chunk1); hasher.update(chunk2);
//   std::string hex = hasher.finish();
#pragma once

#include <openssl/evp.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "base/command_error.h"
#include "text/line_endings.h"
#include "text/text_file.h"

namespace brightloom {

// Normalises and digests text fed in pieces; a CR that ends one piece still
// pairs with an LF that starts the next. Also counts lines of the raw text.
// One digest context lives as long as the hasher, so a thread that digests
// many texts allocates nothing per text.
class ContentHasher {
public:
    // Throws std::bad_alloc when OpenSSL cannot make a context.
    ContentHasher();
    ContentHasher(const ContentHasher&) = delete;
    ContentHasher& operator=(const ContentHasher&) = delete;

    // Begins a new text; needed after finish().
    void restart();
    void update(std::string_view piece);
    // Like update, but normalises data[0, size) in place on the way, which
    // saves a copy; the bytes are left changed.
    void update_in_place(char* data, std::size_t size);
    // 64 lower-case hexadecimal digits. The text is spent afterwards.
    std::string finish();
    // count_total_lines of everything fed since the last restart.
    std::uint64_t total_lines() const;

private:
    struct FreeContext {
        void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
    };
    std::unique_ptr<EVP_MD_CTX, FreeContext> context_;
    LineEndings endings_;
    std::uint64_t bytes_ = 0;
};

std::string content_hash(std::string_view text);

// Sets up OpenSSL and its SHA-256 on the calling thread, the first time only.
// Done before scan workers start, so that the library's one-time set-up (and
// the thread-local state it leaves) belongs to a thread that lives on, not to
// a worker that a fork() leaves behind; the module also calls it at import.
// Throws std::bad_alloc when OpenSSL cannot be set up.
void prepare_content_hash();
// 0 for the empty text, else one more than the number of LF bytes.
std::uint64_t count_total_lines(std::string_view text);

struct FileDigest {
    std::string hash;
    std::uint64_t total_lines = 0;
};

// Opens `path` as `mode` says, then reads, checks, normalises, digests and
// counts it in one streaming pass (TextDigester, in text_digest.h).
Result<FileDigest> digest_text_file(std::string_view path, OpenMode mode);

}  // namespace brightloom
