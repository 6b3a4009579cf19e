#include "content_hash.h"

#include <openssl/evp.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <cstring>
#include <new>

namespace brightloom {

namespace {

struct EvpContextDeleter {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};

constexpr char HEX_DIGITS[] = "0123456789abcdef";

// Fetching the algorithm is an expensive lookup in OpenSSL 3 when it is done
// implicitly by every EVP_DigestInit_ex; fetch it once for the process.
const EVP_MD* sha256_algorithm() {
    static const EVP_MD* const algorithm = [] {
        const EVP_MD* fetched = EVP_MD_fetch(nullptr, "SHA256", nullptr);
        return fetched != nullptr ? fetched : EVP_sha256();
    }();
    return algorithm;
}

// Where to break the normalised output into pieces for the digest: bounded
// so that text full of carriage returns still needs only a small buffer.
constexpr std::size_t NORMALISED_PIECE_BYTES = 16 * 1024;

// Counts LF bytes 16 at a time: each comparison adds one to a byte lane per
// match, and the lanes are summed before they can overflow (255 blocks).
// Baseline SSE2 only: no popcount instruction is assumed.
std::uint64_t count_line_feeds(std::string_view text) {
    const char* data = text.data();
    std::size_t size = text.size();
    std::uint64_t count = 0;
#if defined(__SSE2__)
    const __m128i line_feed = _mm_set1_epi8('\n');
    while (size >= 16) {
        __m128i lanes = _mm_setzero_si128();
        for (int block = 0; block < 255 && size >= 16; ++block, data += 16, size -= 16) {
            const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data));
            lanes = _mm_sub_epi8(lanes, _mm_cmpeq_epi8(bytes, line_feed));
        }
        const __m128i sums = _mm_sad_epu8(lanes, _mm_setzero_si128());
        count += static_cast<std::uint64_t>(_mm_cvtsi128_si64(sums)) +
                 static_cast<std::uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(sums, sums)));
    }
#endif
    for (; size > 0; ++data, --size) count += *data == '\n';
    return count;
}

}  // namespace

struct ContentHasher::Digest {
    std::unique_ptr<EVP_MD_CTX, EvpContextDeleter> context{EVP_MD_CTX_new()};
    char pending[NORMALISED_PIECE_BYTES];
    std::size_t pending_size = 0;

    void feed(const char* data, std::size_t size) {
        // OpenSSL fails only on allocation or a broken context.
        if (EVP_DigestUpdate(context.get(), data, size) != 1) throw std::bad_alloc();
    }
    // Short runs (the lines of CRLF text) are gathered so the digest sees
    // few large updates; long runs go to it directly, without a copy.
    void append(const char* data, std::size_t size) {
        if (pending_size + size > sizeof pending) {
            flush();
            if (size >= sizeof pending / 2) {
                feed(data, size);
                return;
            }
        }
        std::memcpy(pending + pending_size, data, size);
        pending_size += size;
    }
    void flush() {
        if (pending_size == 0) return;
        feed(pending, pending_size);
        pending_size = 0;
    }
};

ContentHasher::ContentHasher() : digest_(std::make_unique<Digest>()) {
    if (!digest_->context || EVP_DigestInit_ex(digest_->context.get(), sha256_algorithm(), nullptr) != 1) {
        throw std::bad_alloc();
    }
}

ContentHasher::~ContentHasher() = default;

void ContentHasher::update(std::string_view piece) {
    bytes_ += piece.size();
    line_feeds_ += count_line_feeds(piece);

    // Normalising means: every CR becomes LF, and an LF right after a CR is
    // dropped (the CR already stood for it). Most source text has no CR, so
    // runs between carriage returns go to the digest as they are.
    if (piece.empty()) return;  // an empty piece must not forget a pending CR
    const char* data = piece.data();
    const char* const end = data + piece.size();
    if (last_was_cr_ && data != end && *data == '\n') ++data;
    last_was_cr_ = false;
    while (data != end) {
        const auto* cr = static_cast<const char*>(std::memchr(data, '\r', static_cast<std::size_t>(end - data)));
        if (cr == nullptr) {
            digest_->append(data, static_cast<std::size_t>(end - data));
            return;
        }
        digest_->append(data, static_cast<std::size_t>(cr - data));
        digest_->append("\n", 1);
        data = cr + 1;
        if (data == end) {
            last_was_cr_ = true;
        } else if (*data == '\n') {
            ++data;
        }
    }
}

std::string ContentHasher::finish() {
    digest_->flush();
    unsigned char bytes[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (EVP_DigestFinal_ex(digest_->context.get(), bytes, &size) != 1) throw std::bad_alloc();
    std::string hex(2 * size, '0');
    for (unsigned int i = 0; i < size; ++i) {
        hex[2 * i] = HEX_DIGITS[bytes[i] >> 4];
        hex[2 * i + 1] = HEX_DIGITS[bytes[i] & 0x0F];
    }
    return hex;
}

std::uint64_t ContentHasher::total_lines() const {
    return bytes_ == 0 ? 0 : line_feeds_ + 1;
}

std::string content_hash(std::string_view text) {
    ContentHasher hasher;
    hasher.update(text);
    return hasher.finish();
}

std::uint64_t count_total_lines(std::string_view text) {
    if (text.empty()) return 0;
    return count_line_feeds(text) + 1;
}

Result<FileDigest> digest_text_file(std::string_view path, OpenMode mode) {
    ContentHasher hasher;
    Result<bool> streamed = stream_text_file(path, mode, [&](std::string_view chunk) { hasher.update(chunk); });
    if (!streamed.ok()) return std::move(streamed).error();
    FileDigest digest;
    digest.total_lines = hasher.total_lines();
    digest.hash = hasher.finish();
    return digest;
}

}  // namespace brightloom
