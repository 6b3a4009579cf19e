#include "json_number.h"

#include <charconv>
#include <cassert>
#include <cmath>
#include <cstdint>
#include <system_error>

namespace brightloom {
namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Whether a number whose conversion to double was out of range is large
// (an overflow) rather than tiny (an underflow). std::from_chars reports both
// the same way, but only the first is a fault: a tiny number is zero. Only the
// decimal exponent of the leading significant digit matters, so that is all
// this works out; the range of a double lies far inside the saturation bound.
bool is_magnitude_at_least_one(std::string_view token) {
    std::size_t i = token.front() == '-' ? 1 : 0;
    std::int64_t integer_digits = 0;
    std::int64_t first_significant = -1;  // digit index of the first non-zero digit
    std::int64_t digit_index = 0;
    for (; i < token.size() && (is_digit(token[i]) || token[i] == '.'); ++i) {
        if (token[i] == '.') {
            integer_digits = digit_index;
            continue;
        }
        if (token[i] != '0' && first_significant < 0) first_significant = digit_index;
        ++digit_index;
    }
    if (token.find('.') == std::string_view::npos) integer_digits = digit_index;
    if (first_significant < 0) return false;

    constexpr std::int64_t SATURATION = std::int64_t{1} << 40;
    std::int64_t exponent = 0;
    bool negative_exponent = false;
    if (i < token.size()) {  // at 'e' or 'E'
        ++i;
        if (token[i] == '+' || token[i] == '-') negative_exponent = token[i++] == '-';
        for (; i < token.size(); ++i) {
            if (exponent < SATURATION) exponent = exponent * 10 + (token[i] - '0');
        }
    }
    if (negative_exponent) exponent = -exponent;
    // The leading digit stands for 10^(integer_digits - first_significant - 1).
    return integer_digits - first_significant - 1 + exponent >= 0;
}

}  // namespace

std::optional<JsonValue> convert_json_number(std::string_view token) {
    assert(!token.empty() && (token.front() == '-' || is_digit(token.front())));
    const char* first = token.data();
    const char* last = token.data() + token.size();
    bool is_integer = token.find_first_of(".eE") == std::string_view::npos;
    if (is_integer) {
        if (token.front() != '-') {
            std::uint64_t value = 0;
            auto [end, ec] = std::from_chars(first, last, value);
            if (ec == std::errc() && end == last) return JsonValue(value);
        } else {
            std::int64_t value = 0;
            auto [end, ec] = std::from_chars(first, last, value);
            // "-0" stays signed: a field that takes only unsigned counts
            // must see the sign, as it does for any other negative number.
            if (ec == std::errc() && end == last) return JsonValue(value);
        }
        // An integer beyond both integer ranges is held as a double.
    }
    double value = 0.0;
    auto [end, ec] = std::from_chars(first, last, value, std::chars_format::general);
    if (ec == std::errc::result_out_of_range) {
        if (is_magnitude_at_least_one(token)) return std::nullopt;
        return JsonValue(token.front() == '-' ? -0.0 : 0.0);
    }
    if (std::isinf(value)) return std::nullopt;
    return JsonValue(value);
}

}  // namespace brightloom
