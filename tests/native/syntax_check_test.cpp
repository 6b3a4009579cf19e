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

TEST(SyntaxCheck, ReportsValidTextsOfEveryGrammar) {
    struct Case {
        const char* language;
        const char* text;
    };
    const Case cases[] = {
        {"python", "@dataclass\nclass A:\n    x: int = 0\n\n    async def f(self):\n        "
                   "await g()\n"},
        {"javascript", "export default function App() {\n  return <div a=\"1\">{x}</div>;\n}\n"},
        {"typescript", "export abstract class A<T> implements B {\n  abstract f(): T;\n}\n"},
        {"tsx", "const a = <T,>(x: T) => <b>{x}</b>;\n"},
        {"rust", "impl<T: Clone> Tr for S<T> {\n    fn f(&self) -> T { self.0.clone() }\n}\n"},
        {"json", "{\"a\": [1, 2.5e3, true, null, \"\\u00e9\"], \"b\": {}}\n"},
        {"json", ""},
        {"python", ""},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(row.language);
        EXPECT_EQ(check(payload_of({{"content", row.text}, {"language", row.language}})),
                  std::string("{\"checked\":true,\"error_count\":0,\"errors\":[],\"language\":\"") +
                      row.language + "\",\"ok\":true,\"valid\":true}");
    }
}

TEST(SyntaxCheck, ReportsPositionKindMessageAndSnippetPerGrammar) {
    struct Case {
        const char* language;
        std::string text;
        std::string errors;
    };
    const Case cases[] = {
        {"python", "x = = 1\n",
         R"j([{"column":5,"kind":"error","line":1,"message":"syntax error","snippet":"x = = 1"}])j"},
        {"python", "y = 2\nx = (1, [2, 3)\n",
         R"j([{"column":14,"kind":"missing","line":2,"message":"missing ]","snippet":"x = (1, [2, 3)"}])j"},
        {"javascript", "function f() {\n  return 1;\n",
         R"j([{"column":12,"kind":"missing","line":2,"message":"missing }","snippet":"  return 1;"}])j"},
        {"javascript", "const a = <div>{1 +}</div>;\n",
         R"j([{"column":20,"kind":"missing","line":1,"message":"missing identifier","snippet":"const a = <div>{1 +}</div>;"}])j"},
        {"javascript", "const a = <div a=>x</div>;\n",
         R"j([{"column":17,"kind":"error","line":1,"message":"syntax error","snippet":"const a = <div a=>x</div>;"}])j"},
        {"javascript", "if (a { b(1, 2 }\n",
         R"j([{"column":6,"kind":"missing","line":1,"message":"missing )","snippet":"if (a { b(1, 2 }"},)j"
         R"j({"column":9,"kind":"error","line":1,"message":"syntax error","snippet":"if (a { b(1, 2 }"}])j"},
        {"typescript", "let n: = 1;\n",
         R"j([{"column":6,"kind":"error","line":1,"message":"syntax error","snippet":"let n: = 1;"}])j"},
        {"typescript", "interface A { x: number\n",
         R"j([{"column":24,"kind":"missing","line":1,"message":"missing }","snippet":"interface A { x: number"}])j"},
        {"tsx", "let a: = <i/>;\n",
         R"j([{"column":6,"kind":"error","line":1,"message":"syntax error","snippet":"let a: = <i/>;"}])j"},
        {"tsx", "const a = <T,>(x: T) => <b>{x +}</b>;\n",
         R"j([{"column":32,"kind":"missing","line":1,"message":"missing identifier","snippet":"const a = <T,>(x: T) => <b>{x +}</b>;"}])j"},
        {"rust", "fn main() { let x = 1 }\n",
         R"j([{"column":22,"kind":"missing","line":1,"message":"missing ;","snippet":"fn main() { let x = 1 }"}])j"},
        {"rust", "fn main( {}\n",
         R"j([{"column":9,"kind":"missing","line":1,"message":"missing )","snippet":"fn main( {}"}])j"},
        {"json", "{\"a\": 1,}",
         R"j([{"column":8,"kind":"error","line":1,"message":"syntax error","snippet":"{\"a\": 1,}"}])j"},
        // Two missing nodes at one position come in tree order, inner first.
        {"json", "{\"a\": [1, 2\n",
         R"j([{"column":12,"kind":"missing","line":1,"message":"missing ]","snippet":"{\"a\": [1, 2"},)j"
         R"j({"column":12,"kind":"missing","line":1,"message":"missing }","snippet":"{\"a\": [1, 2"}])j"},
        {"json", "[[1, 2 3], {\"a\": [}]",
         R"j([{"column":8,"kind":"error","line":1,"message":"syntax error","snippet":"[[1, 2 3], {\"a\": [}]"},)j"
         R"j({"column":19,"kind":"missing","line":1,"message":"missing ]","snippet":"[[1, 2 3], {\"a\": [}]"}])j"},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(std::string(row.language) + ": " + row.text);
        EXPECT_EQ(errors_of(row.language, row.text), row.errors);
    }
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
