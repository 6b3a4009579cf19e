// The door of "outline" and "syntax-check": which field gives the text, and
// which gives the language.
#include "commands/outline_command.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "temp_dir.h"

namespace brightloom {
namespace {

using testing::TempDir;

JsonValue payload_of(JsonObject fields) { return JsonValue(std::move(fields)); }

TEST(SourceRequestText, PrefersStringContentOverPath) {
    TempDir dir;
    const std::string path = dir.write("a.py", "from file");

    // The text borrows from the payload, which stays alive here.
    const JsonValue with_content = payload_of({{"content", "inline text"}, {"path", "/no/such/file"}});
    Result<SourceRequest> content = read_outline_request(with_content);
    ASSERT_TRUE(content.ok());
    EXPECT_EQ(content->text.view(), "inline text");
    EXPECT_EQ(content->text.view().data(), string_field(with_content, "content")->data());

    Result<SourceRequest> empty = read_outline_request(payload_of({{"content", ""}, {"path", "/no/such/file"}}));
    ASSERT_TRUE(empty.ok());
    EXPECT_EQ(empty->text.view(), "");

    Result<SourceRequest> from_file = read_outline_request(payload_of({{"content", std::uint64_t{5}}, {"path", path}}));
    ASSERT_TRUE(from_file.ok());
    EXPECT_EQ(from_file->text.view(), "from file");
    EXPECT_EQ(from_file->language, "python");

    Result<SourceRequest> unreadable = read_outline_request(payload_of({{"path", "/no/such/file.toml"}}));
    ASSERT_FALSE(unreadable.ok());
    EXPECT_EQ(unreadable.error().message, "No such file or directory (os error 2)");
}

TEST(SourceRequestText, FailsWithoutAUsableField) {
    for (const JsonValue& payload : {JsonValue(), JsonValue(JsonObject{}), JsonValue(JsonArray{}),
                                     JsonValue(JsonArray{JsonValue("a.py")}),
                                     payload_of({{"content", nullptr}, {"path", true}, {"language", "rust"}})}) {
        Result<SourceRequest> request = read_outline_request(payload);
        ASSERT_FALSE(request.ok());
        EXPECT_EQ(request.error().message, "missing required field: content or path");
    }
}

TEST(SourceRequestLanguage, FollowsFieldPrecedence) {
    struct Case {
        const char* label;
        JsonObject fields;  // "content" is added to each
        std::string expected;
    };
    const Case cases[] = {
        {"language wins over path", {{"language", "rust"}, {"path", "a.py"}}, "rust"},
        {"empty language does not fall back", {{"language", ""}, {"path", "a.py"}}, ""},
        {"non-string language falls back", {{"language", JsonValue(std::uint64_t{5})}, {"path", "a.py"}}, "python"},
        {"null language falls back", {{"language", nullptr}, {"path", "a.rs"}}, "rust"},
        {"language kept byte for byte", {{"language", "Python"}}, "Python"},
        {"path only", {{"path", "pyproject.toml"}}, "toml"},
        {"path outside the table", {{"path", "notes.md"}}, ""},
        {"path of another form", {{"path", JsonValue(true)}}, ""},
        {"neither field", {}, ""},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(row.label);
        JsonObject fields = row.fields;
        fields.insert_or_assign("content", JsonValue("x.py"));  // content never names a language
        Result<SourceRequest> request = read_outline_request(JsonValue(std::move(fields)));
        ASSERT_TRUE(request.ok());
        EXPECT_EQ(request->language, row.expected);
    }
}

TEST(SourceRequestLanguage, EchoesControlAndNonAsciiBytes) {
    const std::string odd("\x01\tpy\xE2\x9C\x93\x7F\0end", 11);
    Result<SourceRequest> request =
        read_outline_request(payload_of({{"content", ""}, {"language", odd}, {"path", "a.py"}}));
    ASSERT_TRUE(request.ok());
    EXPECT_EQ(request->language, odd);
}

}  // namespace
}  // namespace brightloom
