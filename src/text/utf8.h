// UTF-8 helpers: validation (SIMD, through simdjson), one-code-point decoding,
// cutting to a number of characters and lossy conversion of raw bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace brightloom {

bool is_valid_utf8(std::string_view bytes);

// A byte that continues a multi-byte character (10xxxxxx): never the start
// of one, so text is never cut before it.
inline bool is_utf8_continuation(char byte) { return (static_cast<unsigned char>(byte) & 0xC0) == 0x80; }

// Bytes at the end of `bytes` that begin a multi-byte character whose
// remaining bytes are not there (yet): 0 to 3. Only a sequence whose lead byte
// promises more bytes than are left counts; anything else is left for the
// validator to judge.
std::size_t incomplete_utf8_tail(std::string_view bytes);

// One decoded code point. `length` is the number of bytes taken (at least 1
// unless the input is empty); `valid` is false for a truncated, overlong,
// surrogate or out-of-range sequence, in which case `length` covers the
// maximal prefix of a valid sequence (at least one byte) as U+FFFD replaces it.
struct DecodedCodePoint {
    char32_t code_point = 0;
    std::size_t length = 0;
    bool valid = false;
};
DecodedCodePoint decode_utf8(std::string_view bytes);

// The first `max_chars` Unicode scalar values of valid UTF-8 text.
std::string_view cut_to_chars(std::string_view text, std::size_t max_chars);

// Every invalid sequence becomes U+FFFD; valid text is returned unchanged.
std::string to_lossy_utf8(std::string_view bytes);

// Appends the UTF-8 form of a scalar value.
void append_utf8(std::string& out, char32_t code_point);

}  // namespace brightloom
