#include "commands/hash_command.h"

#include <gtest/gtest.h>

#include "host/run_command.h"
#include "temp_dir.h"

namespace brightloom {
namespace {

using testing::TempDir;

JsonValue path_payload(const std::string& path) { return JsonValue(JsonObject{{"path", path}}); }

TEST(HashCommand, RepliesWithTheDigestAndOk) {
    TempDir dir;
    Result<JsonValue> reply = execute_command("hash", path_payload(dir.write("a.txt", "a\r\nb")));
    ASSERT_TRUE(reply.ok()) << reply.error().message;
    const JsonValue expected(JsonObject{
        {"hash", "7e18f737311b2dc3b2f269dd78396b0351f14fb66efa879f768cb23181883c78"}, {"ok", true}});
    EXPECT_EQ(*reply, expected);
}

TEST(HashCommandFailure, NeedsAStringPath) {
    const JsonValue payloads[] = {
        JsonValue(),
        JsonValue(JsonObject{}),
        JsonValue(JsonObject{{"path", std::uint64_t{3}}}),
        JsonValue(JsonObject{{"content", "text"}}),
        JsonValue(JsonArray{JsonValue("a.txt")}),
    };
    for (const JsonValue& payload : payloads) {
        Result<JsonValue> reply = execute_command("hash", payload);
        ASSERT_FALSE(reply.ok());
        EXPECT_EQ(reply.error().message, "missing required field: path");
    }
}

TEST(HashCommandFailure, PassesTheReadMessageOnUnchanged) {
    TempDir dir;
    Result<JsonValue> missing = execute_command("hash", path_payload((dir.path() / "nope").string()));
    ASSERT_FALSE(missing.ok());
    EXPECT_EQ(missing.error().message, "No such file or directory (os error 2)");
    Result<JsonValue> folder = execute_command("hash", path_payload(dir.path().string()));
    ASSERT_FALSE(folder.ok());
    EXPECT_EQ(folder.error().message, "Is a directory (os error 21)");
}

TEST(Dispatch, MatchesCommandNamesExactly) {
    using namespace std::string_view_literals;
    for (std::string_view name : {"Hash"sv, " hash"sv, "hash "sv, "has"sv, ""sv, "hash\0"sv}) {
        Result<JsonValue> reply = execute_command(name, JsonValue());
        ASSERT_FALSE(reply.ok());
        EXPECT_EQ(reply.error().message, "unknown command: " + std::string(name));
    }
}

}  // namespace
}  // namespace brightloom
