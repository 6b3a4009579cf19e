#include "host/reply_writer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>

#include "host/payload_reader.h"

namespace brightloom {
namespace {

struct WriteCase {
    std::string name;
    JsonValue value;
    std::string expected;
};


TEST(ReplyWriter, EscapesOnlyWhatJsonRequires) {
    const WriteCase cases[] = {
        {"empty", JsonValue(""), R"("")"},
        {"tab newline quote backslash", JsonValue("a\tb\nc\"d\\e"), R"("a\tb\nc\"d\\e")"},
        {"backspace form feed return", JsonValue("\b\f\r"), R"("\b\f\r")"},
        {"byte 0x01", JsonValue("x\x01y"), R"("x\u0001y")"},
        {"byte 0x1f lower-case hex", JsonValue("\x1f"), R"("\u001f")"},
        {"byte 0x1b", JsonValue("\x1b[0m"), R"("\u001b[0m")"},
        {"byte 0x0b", JsonValue("\v"), R"("\u000b")"},
        {"nul byte", JsonValue(std::string("a\0b", 3)), R"("a\u0000b")"},
        {"delete, solidus, non-ASCII verbatim", JsonValue("\x7f/\xc3\xa9\xe2\x82\xac"),
         "\"\x7f/\xc3\xa9\xe2\x82\xac\""},
        {"escapes at both ends", JsonValue("\"mid\""), R"("\"mid\"")"},
        {"escaped key", JsonValue(JsonObject{{"a\"b", JsonValue(true)}}), R"({"a\"b":true})"},
    };
    for (const WriteCase& row : cases) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(write_reply(row.value), row.expected);
    }
}

TEST(ReplyWriter, WritesEveryKindCompactly) {
    const WriteCase cases[] = {
        {"null", JsonValue(nullptr), "null"},
        {"true", JsonValue(true), "true"},
        {"false", JsonValue(false), "false"},
        {"zero", JsonValue(std::uint64_t{0}), "0"},
        {"u64 max", JsonValue(std::numeric_limits<std::uint64_t>::max()), "18446744073709551615"},
        {"i64 min", JsonValue(std::numeric_limits<std::int64_t>::min()), "-9223372036854775808"},
        {"i64 -1", JsonValue(std::int64_t{-1}), "-1"},
        {"empty array", JsonValue(JsonArray{}), "[]"},
        {"empty object", JsonValue(JsonObject{}), "{}"},
        {"array in order", JsonValue(JsonArray{JsonValue(3u), JsonValue(1u), JsonValue(nullptr)}), "[3,1,null]"},
        {"nested", JsonValue(JsonObject{{"symbols", JsonValue(JsonArray{JsonValue(JsonObject{})})},
                                        {"ok", JsonValue(true)}}),
         R"({"ok":true,"symbols":[{}]})"},
    };
    for (const WriteCase& row : cases) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(write_reply(row.value), row.expected);
    }
}

TEST(ReplyWriter, WritesKeysInByteOrder) {
    JsonObject reply;
    reply.insert_or_assign("ok", JsonValue(true));
    reply.insert_or_assign("hash", JsonValue("ab"));
    EXPECT_EQ(write_reply(JsonValue(reply)), R"({"hash":"ab","ok":true})");

    JsonObject outline;
    outline.insert_or_assign("symbols", JsonValue(JsonArray{}));
    outline.insert_or_assign("symbol_count", JsonValue(0u));
    EXPECT_EQ(write_reply(JsonValue(outline)), R"({"symbol_count":0,"symbols":[]})");

    // Unsigned byte order: upper case first, a prefix before its extensions,
    // non-ASCII (bytes from 0xC3) last.
    JsonObject mixed;
    for (const char* key : {"\xc3\xa9", "ab", "a", "B", ""}) mixed.insert_or_assign(key, JsonValue(nullptr));
    EXPECT_EQ(write_reply(JsonValue(mixed)), "{\"\":null,\"B\":null,\"a\":null,\"ab\":null,\"\xc3\xa9\":null}");
}

// A double must read back as a double, so a form that looks like an integer
// gets ".0".
TEST(ReplyWriter, WritesDoublesInShortestFormThatStaysDouble) {
    const WriteCase cases[] = {
        {"one", JsonValue(1.0), "1.0"},
        {"hundred", JsonValue(100.0), "100.0"},
        {"negative zero", JsonValue(-0.0), "-0.0"},
        {"half", JsonValue(0.5), "0.5"},
        {"tenth", JsonValue(0.1), "0.1"},
        {"negative", JsonValue(-2.25), "-2.25"},
        {"2^64", JsonValue(18446744073709551616.0), "18446744073709551616.0"},
        {"1e22", JsonValue(1e22), "1e+22"},
        {"largest", JsonValue(1.7976931348623157e308), "1.7976931348623157e+308"},
        {"smallest subnormal", JsonValue(5e-324), "5e-324"},
        {"small", JsonValue(1e-7), "1e-07"},
    };
    for (const WriteCase& row : cases) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(write_reply(row.value), row.expected);
    }
}

// JSON has no spelling for them; null keeps the text valid.
TEST(ReplyWriter, WritesNonFiniteDoublesAsNull) {
    JsonArray values{JsonValue(std::numeric_limits<double>::infinity()),
                     JsonValue(-std::numeric_limits<double>::infinity()),
                     JsonValue(std::numeric_limits<double>::quiet_NaN())};
    EXPECT_EQ(write_reply(JsonValue(values)), "[null,null,null]");
}

TEST(ReplyWriter, PayloadReadWrittenAndReadAgainIsUnchanged) {
    struct RoundTrip {
        std::string payload;
        std::string written;
    };
    const RoundTrip cases[] = {
        {R"( { "b" : [ 1 , -2 , 3.5 ] , "a" : null } )", R"({"a":null,"b":[1,-2,3.5]})"},
        {R"({"k":1,"k":2})", R"({"k":2})"},
        {R"(["\u00e9\ud83d\ude00", "\/\u001F\u007f"])", "[\"\xc3\xa9\xf0\x9f\x98\x80\",\"/\\u001f\x7f\"]"},
        {"[1.0, 1e2, -0, -0.0, 18446744073709551616, 1e-400]",
         "[1.0,100.0,-0,-0.0,18446744073709551616.0,0.0]"},
        {"[0, -0, -0e0]", "[0,-0,-0.0]"},
        {"[18446744073709551615, -9223372036854775808, -9223372036854775809]",
         "[18446744073709551615,-9223372036854775808,-9223372036854775808.0]"},
        {"[true,false,{},[]]", "[true,false,{},[]]"},
    };
    for (const RoundTrip& row : cases) {
        SCOPED_TRACE(row.payload);
        Result<JsonValue> first = read_payload(row.payload);
        ASSERT_TRUE(first.ok()) << first.error().message;
        std::string written = write_reply(*first);
        EXPECT_EQ(written, row.written);
        Result<JsonValue> second = read_payload(written);
        ASSERT_TRUE(second.ok()) << second.error().message;
        EXPECT_EQ(*second, *first);
        EXPECT_EQ(write_reply(*second), written);
    }
}

// Random values of every kind, written and read back by the independent
// reader. Signed integers are kept negative: a non-negative one reads back
// as unsigned, which is the reader's rule, not a writer fault.
class RandomValueMaker {
public:
    explicit RandomValueMaker(std::uint32_t seed) : engine_(seed) {}

    JsonValue make(int depth) {
        switch (pick(depth > 0 ? 8 : 6)) {
            case 0: return JsonValue(nullptr);
            case 1: return JsonValue(pick(2) == 0);
            case 2: return JsonValue(std::uint64_t{engine_()});
            case 3: return JsonValue(static_cast<std::int64_t>(engine_() | (std::uint64_t{1} << 63)));
            case 4: return JsonValue(make_double());
            case 5: return JsonValue(make_string());
            case 6: {
                JsonArray items;
                for (std::size_t i = pick(4); i > 0; --i) items.push_back(make(depth - 1));
                return JsonValue(std::move(items));
            }
            default: {
                JsonObject members;
                for (std::size_t i = pick(4); i > 0; --i) members.insert_or_assign(make_string(), make(depth - 1));
                return JsonValue(std::move(members));
            }
        }
    }

private:
    std::size_t pick(std::size_t n) { return static_cast<std::size_t>(engine_() % n); }

    double make_double() {
        for (;;) {
            std::uint64_t bits = engine_();
            double d = 0;
            std::memcpy(&d, &bits, sizeof d);
            if (std::isfinite(d)) return d;
        }
    }

    // Every ASCII byte, control bytes included, plus a two-byte character.
    std::string make_string() {
        std::string s;
        for (std::size_t i = pick(12); i > 0; --i) {
            if (pick(8) == 0) {
                s += "\xc3\xa9";
            } else {
                s.push_back(static_cast<char>(pick(0x80)));
            }
        }
        return s;
    }

    std::mt19937_64 engine_;
};

TEST(ReplyWriter, RandomValuesReadBackEqual) {
    RandomValueMaker maker(20261208);
    for (int i = 0; i < 2000; ++i) {
        JsonValue value = maker.make(4);
        std::string written = write_reply(value);
        SCOPED_TRACE(written);
        Result<JsonValue> read = read_payload(written);
        ASSERT_TRUE(read.ok()) << read.error().message;
        EXPECT_EQ(*read, value);
    }
}

}  // namespace
}  // namespace brightloom
