#include "commands/syntax_check_command.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/reply_writer.h"
#include "host/run_command.h"
#include "temp_dir.h"

namespace brightloom {
namespace {

using testing::TempDir;

JsonValue payload_of(JsonObject fields) { return JsonValue(std::move(fields)); }

// The reply as compact JSON text, or the failure message prefixed with "!".
std::string check(const JsonValue& payload) {
    Result<JsonValue> reply = execute_command("syntax-check", payload);
    if (!reply.ok()) return "!" + reply.error().message;
    return write_reply(*reply);
}

// The "errors" array of a checked reply as JSON text.
std::string errors_of(const char* language, const std::string& text) {
    Result<JsonValue> reply =
        execute_command("syntax-check", payload_of({{"content", text}, {"language", language}}));
    if (!reply.ok()) return "!" + reply.error().message;
    return write_reply(reply->as_object()->at("errors"));
}

TEST(SyntaxCheck, StopsAfterTwentyItems) {
    // Every line lacks its semicolon: 25 missing nodes, of which the first 20
    // are reported.
    std::string text = "fn f() {\n";
    for (int i = 0; i < 25; ++i) {
        text += "    let a" + std::to_string(i) + " = " + std::to_string(i) + "\n";
    }
    text += "}\n";
    std::string expected = "[";
    for (int i = 0; i < 20; ++i) {
        const std::string line = "    let a" + std::to_string(i) + " = " + std::to_string(i);
        if (i > 0) expected += ",";
        expected += "{\"column\":" + std::to_string(line.size() + 1) +
                    ",\"kind\":\"missing\",\"line\":" + std::to_string(i + 2) +
                    ",\"message\":\"missing ;\",\"snippet\":\"" + line + "\"}";
    }
    expected += "]";
    EXPECT_EQ(errors_of("rust", text), expected);

    Result<JsonValue> reply = execute_command("syntax-check", payload_of({{"content", text}, {"language", "rust"}}));
    ASSERT_TRUE(reply.ok());
    EXPECT_EQ(*reply->as_object()->at("error_count").as_u64(), 20u);
    EXPECT_EQ(*reply->as_object()->at("valid").as_bool(), false);
}

TEST(SyntaxCheck, DoesNotEnterErrorNodes) {
    // The tree holds a missing "}" inside the error node.
    EXPECT_EQ(errors_of("json", "[{,1 {"),
              R"j([{"column":1,"kind":"error","line":1,"message":"syntax error","snippet":"[{,1 {"}])j");
    // An error node nested in another one.
    EXPECT_EQ(errors_of("json", "{\"a\": {\"b\": [1, 2}, \"c\" 3}"),
              R"j([{"column":1,"kind":"error","line":1,"message":"syntax error","snippet":)j"
              R"j("{\"a\": {\"b\": [1, 2}, \"c\" 3}"}])j");
}

TEST(SyntaxCheck, TakesSnippetsFromTheNodesLine) {
    // The carriage return before the line feed is not part of the snippet.
    EXPECT_EQ(errors_of("json", "{\"a\": 1,\r\n \"b\": }\r\n"),
              R"j([{"column":6,"kind":"missing","line":2,"message":"missing number","snippet":" \"b\": }"}])j");
    // A carriage return elsewhere neither ends a line nor leaves the snippet.
    EXPECT_EQ(errors_of("json", "{\"a\": 1,\r \"b\": }\n"),
              R"j([{"column":15,"kind":"missing","line":1,"message":"missing number","snippet":"{\"a\": 1,\r \"b\": }"}])j");
    // A final line without a line feed keeps its last carriage return.
    EXPECT_EQ(errors_of("json", "{\"x\": 1}\n{\"a\": }\r"),
              R"j([{"column":6,"kind":"missing","line":2,"message":"missing number","snippet":"{\"a\": }\r"}])j");
    // A missing "}" after a doc comment that swallows the final line feed
    // starts on the row after the last line.
    EXPECT_EQ(errors_of("rust", "mod m {\n    /// c\n"),
              R"j([{"column":1,"kind":"missing","line":3,"message":"missing }","snippet":""}])j");
    // Columns count bytes: "é" takes two.
    EXPECT_EQ(errors_of("json", "[\"\xC3\xA9\" 1]"),
              "[{\"column\":7,\"kind\":\"error\",\"line\":1,\"message\":\"syntax error\","
              "\"snippet\":\"[\\\"\xC3\xA9\\\" 1]\"}]");
    // A byte-order mark stays: three bytes of column, first character of the snippet.
    EXPECT_EQ(errors_of("json", "\xEF\xBB\xBF{\"a\" 1}"),
              "[{\"column\":5,\"kind\":\"error\",\"line\":1,\"message\":\"syntax error\","
              "\"snippet\":\"\xEF\xBB\xBF{\\\"a\\\" 1}\"}]");
}

TEST(SyntaxCheck, CutsSnippetsAtOneHundredTwentyCharacters) {
    std::string wide;
    for (int i = 0; i < 200; ++i) wide += "\xC3\xA9";
    Result<JsonValue> reply = execute_command("syntax-check",
        payload_of({{"content", "[\"" + wide + "\" 1]\n"}, {"language", "json"}}));
    ASSERT_TRUE(reply.ok());
    const JsonArray& errors = *reply->as_object()->at("errors").as_array();
    ASSERT_EQ(errors.size(), 1u);
    const JsonObject& item = *errors[0].as_object();
    // The "1" follows 404 bytes: the bracket, two quotes, 400 bytes and a blank.
    EXPECT_EQ(*item.at("column").as_u64(), 405u);
    // "[", the quote and 118 two-byte characters: 120 characters, 238 bytes.
    EXPECT_EQ(*item.at("snippet").as_string(), "[\"" + wide.substr(0, 236));
}

TEST(SyntaxCheck, AnswersNoParserForLanguagesWithoutGrammar) {
    struct Case {
        const char* label;
        JsonValue payload;
        std::string language_json;
    };
    const Case cases[] = {
        {"toml named", payload_of({{"content", "a = 1"}, {"language", "toml"}}), "\"toml\""},
        {"toml from path", payload_of({{"content", "a = ["}, {"path", "pyproject.toml"}}), "\"toml\""},
        {"extension outside the table", payload_of({{"content", "x"}, {"path", "notes.md"}}), "\"\""},
        {"no language at all", payload_of({{"content", "def ("}}), "\"\""},
        {"capitalised name", payload_of({{"content", "def ("}, {"language", "Python"}}),
         "\"Python\""},
        {"empty name wins over the path", payload_of({{"content", "def ("}, {"language", ""},
                                                      {"path", "a.py"}}), "\"\""},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(row.label);
        EXPECT_EQ(check(row.payload), "{\"checked\":false,\"error_count\":0,\"errors\":[],\"language\":" +
                                          row.language_json +
                                          ",\"ok\":true,\"reason\":\"no_parser\",\"valid\":true}");
    }
}

TEST(SyntaxCheck, TakesContentBeforePath) {
    TempDir dir;
    const std::string file = dir.write("broken.rs", "fn main( {}\n");
    const std::string missing = (dir.path() / "absent.py").string();

    // "content" wins; the path, which does not exist, only names the language.
    EXPECT_EQ(check(payload_of({{"content", "def f(:\n"}, {"path", missing}})),
              R"j({"checked":true,"error_count":1,"errors":[{"column":7,"kind":"missing","line":1,)j"
              R"j("message":"missing )","snippet":"def f(:"}],"language":"python","ok":true,"valid":false})j");
    // An empty "content" is a text of its own.
    EXPECT_EQ(check(payload_of({{"content", ""}, {"path", missing}})),
              R"j({"checked":true,"error_count":0,"errors":[],"language":"python","ok":true,"valid":true})j");
    // A "content" of another form is passed over and the file is read.
    EXPECT_EQ(check(payload_of({{"content", JsonValue(std::uint64_t{5})}, {"path", file}})),
              R"j({"checked":true,"error_count":1,"errors":[{"column":9,"kind":"missing","line":1,)j"
              R"j("message":"missing )","snippet":"fn main( {}"}],"language":"rust","ok":true,"valid":false})j");
    // The file's text with the language named explicitly.
    EXPECT_EQ(check(payload_of({{"path", file}, {"language", "toml"}})),
              R"j({"checked":false,"error_count":0,"errors":[],"language":"toml","ok":true,)j"
              R"j("reason":"no_parser","valid":true})j");
}

TEST(SyntaxCheck, IsReachedThroughTheDispatcher) {
    Result<JsonValue> reply =
        execute_command("syntax-check", payload_of({{"content", "[1 2]"}, {"language", "json"}}));
    ASSERT_TRUE(reply.ok());
    EXPECT_EQ(write_reply(*reply),
              R"j({"checked":true,"error_count":1,"errors":[{"column":2,"kind":"error","line":1,)j"
              R"j("message":"syntax error","snippet":"[1 2]"}],"language":"json","ok":true,"valid":false})j");
}

TEST(SyntaxCheckFailure, NeedsATextBeforeAnythingElse) {
    const JsonValue payloads[] = {
        JsonValue(nullptr),
        JsonValue(JsonArray{JsonValue("content")}),
        JsonValue("content"),
        payload_of({}),
        payload_of({{"language", "toml"}}),
        payload_of({{"content", nullptr}, {"path", JsonValue(std::uint64_t{1})}}),
    };
    for (const JsonValue& payload : payloads) {
        EXPECT_EQ(check(payload), "!missing required field: content or path");
    }
}

TEST(SyntaxCheckFailure, PassesReadFailuresOnUnchanged) {
    TempDir dir;
    const std::string latin1 = dir.write("latin1.py", "x = '\xE9'\n");
    struct Case {
        std::string path;
        std::string message;
    };
    const Case cases[] = {
        // Even when the extension has no grammar, the text is read first.
        {(dir.path() / "absent.md").string(), "!No such file or directory (os error 2)"},
        {(dir.path() / "absent.py").string(), "!No such file or directory (os error 2)"},
        {latin1, "!stream did not contain valid UTF-8"},
        {std::string("a\0.py", 5), "!file name contained an unexpected NUL byte"},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(row.path);
        EXPECT_EQ(check(payload_of({{"path", row.path}})), row.message);
    }
}

}  // namespace
}  // namespace brightloom
