#include "host/payload_reader.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>


namespace brightloom {
namespace {

struct AcceptedCase {
    std::string text;
    JsonValue expected;
};

struct FaultCase {
    std::string text;
    std::string message;
};

JsonValue read_ok(const std::string& text) {
    Result<JsonValue> value = read_payload(text);
    EXPECT_TRUE(value.ok()) << (value.ok() ? "" : value.error().message);
    return value.ok() ? *value : JsonValue();
}

void expect_faults(const std::vector<FaultCase>& cases) {
    for (const FaultCase& row : cases) {
        SCOPED_TRACE(row.text.substr(0, 60));
        Result<JsonValue> value = read_payload(row.text);
        if (value.ok()) {
            ADD_FAILURE() << "accepted";
            continue;
        }
        EXPECT_EQ(value.error().message, row.message);
    }
}

std::string nested_arrays(int depth) {
    return std::string(static_cast<std::size_t>(depth), '[') +
           std::string(static_cast<std::size_t>(depth), ']');
}

// Depth of the chain of first elements: [] is 1, [[]] is 2.
int array_depth(const JsonValue& value) {
    int depth = 0;
    for (const JsonValue* at = &value; at->as_array() != nullptr; ++depth) {
        if (at->as_array()->empty()) return depth + 1;
        at = &at->as_array()->front();
    }
    return depth;
}

TEST(PayloadReader, ReadsScalarsAndContainers) {
    const std::vector<AcceptedCase> cases = {
        {"null", JsonValue(nullptr)},
        {"true", JsonValue(true)},
        {"false", JsonValue(false)},
        {"\"hash\"", JsonValue("hash")},
        {"[]", JsonValue(JsonArray{})},
        {"{}", JsonValue(JsonObject{})},
        {" \t\r\n[ 1 ,\ttrue ,\r\nnull ] \n", JsonValue(JsonArray{JsonValue(std::uint64_t{1}), true, nullptr})},
        {"{ \"path\" : \"a.py\" , \"n\" : [ ] }",
         JsonValue(JsonObject{{"n", JsonValue(JsonArray{})}, {"path", JsonValue("a.py")}})},
    };
    for (const AcceptedCase& row : cases) {
        SCOPED_TRACE(row.text);
        EXPECT_EQ(read_ok(row.text), row.expected);
    }
}

TEST(PayloadReader, KeepsEachNumberForm) {
    const std::vector<AcceptedCase> cases = {
        {"0", JsonValue(std::uint64_t{0})},
        {"256", JsonValue(std::uint64_t{256})},
        {"18446744073709551615", JsonValue(std::numeric_limits<std::uint64_t>::max())},
        {"18446744073709551616", JsonValue(18446744073709551616.0)},
        {"-1", JsonValue(std::int64_t{-1})},
        {"-9223372036854775808", JsonValue(std::numeric_limits<std::int64_t>::min())},
        {"-9223372036854775809", JsonValue(-9223372036854775808.0)},
        // Zero with a sign is a signed integer.
        {"-0", JsonValue(std::int64_t{0})},
        {"10.0", JsonValue(10.0)},
        {"1e2", JsonValue(100.0)},
        {"1E+2", JsonValue(100.0)},
        {"-2.5e-3", JsonValue(-0.0025)},
        {"0.1", JsonValue(0.1)},
        {"1.7976931348623157e308", JsonValue(std::numeric_limits<double>::max())},
        {"4.9406564584124654e-324", JsonValue(std::numeric_limits<double>::denorm_min())},
        // Too small for a double is zero, not a fault.
        {"1e-400", JsonValue(0.0)},
    };
    for (const AcceptedCase& row : cases) {
        SCOPED_TRACE(row.text);
        JsonValue value = read_ok(row.text);
        EXPECT_EQ(value.data().index(), row.expected.data().index());
        EXPECT_EQ(value, row.expected);
    }
}

TEST(PayloadReader, DecodesEscapesAndSurrogatePairs) {
    const std::vector<AcceptedCase> cases = {
        {R"("\"\\\/\b\f\n\r\t")", JsonValue("\"\\/\b\f\n\r\t")},
        {R"("ab\ncd\tef")", JsonValue("ab\ncd\tef")},
        {R"("\u0041\u00e9\u20AC")", JsonValue("A\xC3\xA9\xE2\x82\xAC")},
        {R"("\uD83D\uDE00")", JsonValue("\xF0\x9F\x98\x80")},
        {R"("\udbff\udfff")", JsonValue("\xF4\x8F\xBF\xBF")},
        {R"("\u0000")", JsonValue(std::string(1, '\0'))},
        // Raw UTF-8, DEL and invalid bytes are kept as they stand.
        {"\"\xC3\xA9\x7F\"", JsonValue("\xC3\xA9\x7F")},
        {"\"\xFF\xFE\"", JsonValue("\xFF\xFE")},
    };
    for (const AcceptedCase& row : cases) {
        SCOPED_TRACE(row.text);
        EXPECT_EQ(read_ok(row.text), row.expected);
    }
}

TEST(PayloadReader, RepeatedKeyKeepsLastValue) {
    JsonValue value = read_ok(R"({"a": 1, "b": 2, "a": "last"})");
    EXPECT_EQ(value, JsonValue(JsonObject{{"a", JsonValue("last")}, {"b", JsonValue(std::uint64_t{2})}}));
}

TEST(PayloadReader, AcceptsNestingOf127) {
    EXPECT_EQ(array_depth(read_ok(nested_arrays(127))), 127);
    // Levels are given back on exit: siblings of depth 126 under one array.
    std::string siblings = "[";
    siblings.append(nested_arrays(126)).append(",").append(nested_arrays(126)).append("]");
    EXPECT_TRUE(read_payload(siblings).ok());
    std::string objects;
    for (int level = 0; level < 127; ++level) objects += "{\"a\":";
    objects.append("0").append(127, '}');
    EXPECT_TRUE(read_payload(objects).ok());
}

// Every fault with its position: the column counts bytes of the line up to and
// including the offending byte, or the bytes of the last line at the end.
TEST(PayloadReaderFaults, ReportsEndOfText) {
    const std::vector<FaultCase> cases = {
        {"", "EOF while parsing a value at line 1 column 0"},
        {"   ", "EOF while parsing a value at line 1 column 3"},
        {"\n", "EOF while parsing a value at line 2 column 0"},
        {"[", "EOF while parsing a list at line 1 column 1"},
        {"[1", "EOF while parsing a list at line 1 column 2"},
        {"[1,", "EOF while parsing a value at line 1 column 3"},
        {"[\n1,\n2,\n", "EOF while parsing a value at line 4 column 0"},
        {"{", "EOF while parsing an object at line 1 column 1"},
        {R"({"a")", "EOF while parsing an object at line 1 column 4"},
        {R"({"a":)", "EOF while parsing a value at line 1 column 5"},
        {R"({"a":1)", "EOF while parsing an object at line 1 column 6"},
        {R"({"a":1,)", "EOF while parsing an object at line 1 column 7"},
        {R"("abc)", "EOF while parsing a string at line 1 column 4"},
        {R"("a\)", "EOF while parsing a string at line 1 column 3"},
        {R"("\u12)", "EOF while parsing a string at line 1 column 5"},
        {R"("\uD800)", "EOF while parsing a string at line 1 column 7"},
        {R"("\uD800\)", "EOF while parsing a string at line 1 column 8"},
    };
    expect_faults(cases);
}

TEST(PayloadReaderFaults, ReportsMalformedStructure) {
    const std::vector<FaultCase> cases = {
        {"{} x", "trailing characters at line 1 column 4"},
        {"1 2", "trailing characters at line 1 column 3"},
        {"[]]", "trailing characters at line 1 column 3"},
        {"{}\n\n  x", "trailing characters at line 3 column 3"},
        {std::string("null\0", 5), "trailing characters at line 1 column 5"},
        {"[1,]", "trailing comma at line 1 column 4"},
        {"[1,\r\n]", "trailing comma at line 2 column 1"},
        {R"({"a":1,})", "trailing comma at line 1 column 8"},
        {R"({"a" 1})", "expected `:` at line 1 column 6"},
        {R"({"a"})", "expected `:` at line 1 column 5"},
        {"{\n  \"a\": 1,\n  \"b\" 2\n}", "expected `:` at line 3 column 7"},
        {"[1 2]", "expected `,` or `]` at line 1 column 4"},
        {"[1}", "expected `,` or `]` at line 1 column 3"},
        {"[\"\xC3\xA9\" x]", "expected `,` or `]` at line 1 column 7"},
        {R"({"a":1 "b":2})", "expected `,` or `}` at line 1 column 8"},
        {R"({"a":1])", "expected `,` or `}` at line 1 column 7"},
        {"{1:2}", "key must be a string at line 1 column 2"},
        {"{'a':1}", "key must be a string at line 1 column 2"},
        {R"({"a":1,2:3})", "key must be a string at line 1 column 8"},
        {"x", "expected value at line 1 column 1"},
        {"[,1]", "expected value at line 1 column 2"},
        {R"({"a":})", "expected value at line 1 column 6"},
        {"'a'", "expected value at line 1 column 1"},
        {"+1", "expected value at line 1 column 1"},
        {".5", "expected value at line 1 column 1"},
        {"NaN", "expected value at line 1 column 1"},
        {"// c\n1", "expected value at line 1 column 1"},
        {"\xEF\xBB\xBF{}", "expected value at line 1 column 1"},
        {"tru", "expected ident at line 1 column 3"},
        {"nulx", "expected ident at line 1 column 4"},
        {"trUe", "expected ident at line 1 column 3"},
        {"[nul]", "expected ident at line 1 column 5"},
    };
    expect_faults(cases);
}

TEST(PayloadReaderFaults, ReportsMalformedNumbers) {
    const std::vector<FaultCase> cases = {
        {"01", "invalid number at line 1 column 2"},
        {"-01", "invalid number at line 1 column 3"},
        {"-", "invalid number at line 1 column 1"},
        {"-a", "invalid number at line 1 column 2"},
        {"-Infinity", "invalid number at line 1 column 2"},
        {"1.", "invalid number at line 1 column 2"},
        {"[1.]", "invalid number at line 1 column 4"},
        {"1.e5", "invalid number at line 1 column 3"},
        {"1e", "invalid number at line 1 column 2"},
        {"1e+", "invalid number at line 1 column 3"},
        {"1ex", "invalid number at line 1 column 3"},
        // Out of range is reported at the number's last byte.
        {"1e400", "number out of range at line 1 column 5"},
        {"-1e400", "number out of range at line 1 column 6"},
        {"[\n1.8e308]", "number out of range at line 2 column 7"},
        {"1" + std::string(400, '0'), "number out of range at line 1 column 401"},
    };
    expect_faults(cases);
}

TEST(PayloadReaderFaults, ReportsMalformedStrings) {
    const std::string control = "control character (\\u0000-\\u001F) found while parsing a string";
    const std::vector<FaultCase> cases = {
        {R"("\x")", "invalid escape at line 1 column 3"},
        {R"("ab\U0041")", "invalid escape at line 1 column 5"},
        {R"("\'")", "invalid escape at line 1 column 3"},
        {"\"a\x01" "b\"", control + " at line 1 column 3"},
        {"\"\t\"", control + " at line 1 column 2"},
        {std::string("\"\0\"", 3), control + " at line 1 column 2"},
        // A line feed belongs to the line it ends.
        {"[\n\"a\nb\"]", control + " at line 2 column 3"},
        {R"("\u12")", "unexpected end of hex escape at line 1 column 6"},
        {R"("\u12G4")", "unexpected end of hex escape at line 1 column 6"},
        {R"("\uD800\u12")", "unexpected end of hex escape at line 1 column 12"},
        // A leading half is reported where its partner should have begun, a
        // trailing half or a wrong partner at its last hex digit.
        {R"("\uD800")", "lone leading surrogate in hex escape at line 1 column 8"},
        {R"("\uD800x")", "lone leading surrogate in hex escape at line 1 column 8"},
        {R"("\uD800\n")", "lone leading surrogate in hex escape at line 1 column 9"},
        {R"("\uD800\u0041")", "lone leading surrogate in hex escape at line 1 column 13"},
        {R"("\uD800\uD800")", "lone leading surrogate in hex escape at line 1 column 13"},
        {R"("\uDBFF\uE000")", "lone leading surrogate in hex escape at line 1 column 13"},
        {R"("\uDC00")", "lone leading surrogate in hex escape at line 1 column 7"},
        {R"(["a", "\udfff\udc00"])", "lone leading surrogate in hex escape at line 1 column 13"},
    };
    expect_faults(cases);
}

TEST(PayloadReaderFaults, RejectsTheHundredTwentyEighthLevel) {
    const std::string inner_object = "{\"a\":" + nested_arrays(126) + "}";
    std::string objects;
    for (int level = 0; level < 128; ++level) objects += "{\"a\":";
    const std::vector<FaultCase> cases = {
        {nested_arrays(128), "recursion limit exceeded at line 1 column 128"},
        {std::string(127, '[') + "{", "recursion limit exceeded at line 1 column 128"},
        // 128 * 5 bytes of {"a": put the last '{' at byte 636.
        {objects, "recursion limit exceeded at line 1 column 636"},
        {"[\n" + nested_arrays(127) + "]", "recursion limit exceeded at line 2 column 127"},
        // Far deeper input stops at the same place instead of using the stack.
        {std::string(100000, '['), "recursion limit exceeded at line 1 column 128"},
    };
    expect_faults(cases);
    EXPECT_TRUE(read_payload(inner_object).ok());
}

}  // namespace
}  // namespace brightloom
