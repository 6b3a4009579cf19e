// The normalised digest written independently of the production code: the
// two-pass rule (CR LF pairs first, then lone CRs) and a one-shot SHA-256.
#pragma once

#include <openssl/sha.h>

#include <string>
#include <string_view>

namespace brightloom::testing {

inline std::string reference_normalise(std::string_view text) {
    std::string pass_one;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
            pass_one.push_back('\n');
            ++i;
        } else {
            pass_one.push_back(text[i]);
        }
    }
    for (char& c : pass_one) {
        if (c == '\r') c = '\n';
    }
    return pass_one;
}

inline std::string reference_hash(std::string_view text) {
    const std::string normal = reference_normalise(text);
    unsigned char digest[SHA256_DIGEST_LENGTH];
    SHA256(reinterpret_cast<const unsigned char*>(normal.data()), normal.size(), digest);
    std::string hex;
    for (unsigned char byte : digest) {
        static const char* digits = "0123456789abcdef";
        hex.push_back(digits[byte >> 4]);
        hex.push_back(digits[byte & 15]);
    }
    return hex;
}

}  // namespace brightloom::testing
