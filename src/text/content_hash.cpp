#include "content_hash.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "base/hex_digits.h"

namespace brightloom {

namespace {

// Fetching the algorithm is an expensive lookup in OpenSSL 3 when it is done
// implicitly by every EVP_DigestInit_ex; fetch it once for the process.
const EVP_MD* sha256_algorithm() {
    static const EVP_MD* const algorithm = [] {
        const EVP_MD* fetched = EVP_MD_fetch(nullptr, "SHA256", nullptr);
        return fetched != nullptr ? fetched : EVP_sha256();
    }();
    return algorithm;
}

// Pieces that may not be changed are normalised through a copy this big, on
// the stack: small enough for the cache, large enough for few digest calls.
constexpr std::size_t COPY_BYTES = 16 * 1024;

}  // namespace

void prepare_content_hash() {
    // A failed first attempt throws out of the initialiser; the next call
    // tries again.
    static const bool prepared = (static_cast<void>(content_hash(std::string_view())), true);
    static_cast<void>(prepared);
}

ContentHasher::ContentHasher() : context_(EVP_MD_CTX_new()) {
    if (!context_) throw std::bad_alloc();
    restart();
}

void ContentHasher::restart() {
    // OpenSSL fails only on allocation or a broken context.
    if (EVP_DigestInit_ex(context_.get(), sha256_algorithm(), nullptr) != 1) throw std::bad_alloc();
    endings_.restart();
    bytes_ = 0;
}

void ContentHasher::update(std::string_view piece) {
    char copy[COPY_BYTES];
    while (!piece.empty()) {
        const std::size_t size = std::min(piece.size(), sizeof copy);
        std::memcpy(copy, piece.data(), size);
        update_in_place(copy, size);
        piece.remove_prefix(size);
    }
}

void ContentHasher::update_in_place(char* data, std::size_t size) {
    bytes_ += size;
    const std::size_t kept = endings_.normalise(data, size);
    if (kept != 0 && EVP_DigestUpdate(context_.get(), data, kept) != 1) throw std::bad_alloc();
}

std::string ContentHasher::finish() {
    unsigned char bytes[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (EVP_DigestFinal_ex(context_.get(), bytes, &size) != 1) throw std::bad_alloc();
    std::string hex(2 * size, '0');
    for (unsigned int i = 0; i < size; ++i) {
        hex[2 * i] = HEX_DIGITS[bytes[i] >> 4];
        hex[2 * i + 1] = HEX_DIGITS[bytes[i] & 0x0F];
    }
    return hex;
}

std::uint64_t ContentHasher::total_lines() const {
    return bytes_ == 0 ? 0 : endings_.line_feeds() + 1;
}

std::string content_hash(std::string_view text) {
    ContentHasher hasher;
    hasher.update(text);
    return hasher.finish();
}

std::uint64_t count_total_lines(std::string_view text) {
    if (text.empty()) return 0;
    return count_line_feeds(text.data(), text.size()) + 1;
}

}  // namespace brightloom
