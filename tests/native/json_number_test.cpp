#include "host/json_number.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

namespace brightloom {
namespace {

struct NumberCase {
    std::string token;
    JsonValue expected;
};

TEST(JsonNumber, ConvertsToTheKindThatHoldsIt) {
    const NumberCase cases[] = {
        {"0", JsonValue(std::uint64_t{0})},
        {"7", JsonValue(std::uint64_t{7})},
        {"18446744073709551615", JsonValue(std::uint64_t{18446744073709551615u})},
        {"18446744073709551616", JsonValue(18446744073709551616.0)},
        {"-1", JsonValue(std::int64_t{-1})},
        {"-9223372036854775808", JsonValue(std::numeric_limits<std::int64_t>::min())},
        {"-9223372036854775809", JsonValue(-9223372036854775808.0)},
        {"1.0", JsonValue(1.0)},
        {"10.0", JsonValue(10.0)},
        {"1e2", JsonValue(100.0)},
        {"1E+2", JsonValue(100.0)},
        {"25e-2", JsonValue(0.25)},
        {"-2.5", JsonValue(-2.5)},
        {"0.1", JsonValue(0.1)},
        {"1.7976931348623157e308", JsonValue(1.7976931348623157e308)},
        {"4.9406564584124654e-324", JsonValue(4.9406564584124654e-324)},
    };
    for (const NumberCase& row : cases) {
        SCOPED_TRACE(row.token);
        std::optional<JsonValue> value = convert_json_number(row.token);
        ASSERT_TRUE(value.has_value());
        EXPECT_EQ(*value, row.expected);
        EXPECT_EQ(value->data().index(), row.expected.data().index());
    }
}

// The minus sign makes "-0" signed, so an unsigned-only field rejects it
// like any other negative number.
TEST(JsonNumber, MinusZeroIntegerIsSignedZero) {
    std::optional<JsonValue> value = convert_json_number("-0");
    ASSERT_TRUE(value.has_value());
    EXPECT_EQ(value->as_u64(), nullptr);
    ASSERT_NE(value->as_i64(), nullptr);
    EXPECT_EQ(*value->as_i64(), 0);

    std::optional<JsonValue> fraction = convert_json_number("-0.0");
    ASSERT_TRUE(fraction.has_value());
    ASSERT_NE(fraction->as_double(), nullptr);
    EXPECT_TRUE(std::signbit(*fraction->as_double()));
}

TEST(JsonNumber, TooSmallForADoubleIsZero) {
    const std::string tiny_behind_positive_exponent = "0." + std::string(500, '0') + "1e100";
    const std::string cases[] = {
        "1e-400", "-1e-400", "2.4703282292062327e-324", "1e-99999999999999999999999",
        tiny_behind_positive_exponent,
    };
    for (const std::string& token : cases) {
        SCOPED_TRACE(token);
        std::optional<JsonValue> value = convert_json_number(token);
        ASSERT_TRUE(value.has_value());
        ASSERT_NE(value->as_double(), nullptr);
        EXPECT_EQ(*value->as_double(), 0.0);
        EXPECT_EQ(std::signbit(*value->as_double()), token.front() == '-');
    }
}

TEST(JsonNumber, BeyondTheLargestDoubleIsOutOfRange) {
    const std::string huge_behind_negative_exponent = "1" + std::string(500, '0') + "e-100";
    const std::string cases[] = {
        "1e400", "-1e400", "1E309", "1.7976931348623159e308", "1e99999999999999999999999",
        "1" + std::string(400, '0'), "-1" + std::string(400, '0'), huge_behind_negative_exponent,
    };
    for (const std::string& token : cases) {
        SCOPED_TRACE(token);
        EXPECT_FALSE(convert_json_number(token).has_value());
    }
}

}  // namespace
}  // namespace brightloom
