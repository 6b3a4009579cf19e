#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/run_command.h"
#include "outline_test_support.h"
#include "temp_dir.h"

namespace brightloom::testing {
namespace {

JsonValue no_outline(std::string_view language) {
    return JsonObject{{"checked", false},   {"language", std::string(language)},
                      {"ok", true},         {"reason", "no_outline"},
                      {"symbol_count", 0u}, {"symbols", JsonArray{}}};
}

std::string failure_of(const JsonValue& payload) {
    Result<JsonValue> reply = execute_command("outline", payload);
    if (reply.ok()) return "<succeeded>";
    return reply.error().message;
}

std::string repeated(std::string_view piece, std::size_t times) {
    std::string out;
    for (std::size_t i = 0; i < times; ++i) out += piece;
    return out;
}

TEST(OutlineCommand, ReplyOfAParsedTextHoldsExactlyItsMembers) {
    const JsonValue expected = JsonObject{
        {"checked", true},
        {"language", "rust"},
        {"ok", true},
        {"symbol_count", 1u},
        {"symbols", JsonArray{JsonObject{{"depth", 0u},
                                         {"end_line", 1u},
                                         {"kind", "struct"},
                                         {"line", 1u},
                                         {"name", "S"},
                                         {"signature", "struct S;"}}}},
    };
    EXPECT_EQ(outline_reply(content_payload("struct S;\n", "rust")), expected);
}

TEST(OutlineCommand, LanguagesWithoutOutlineGetTheNoOutlineReply) {
    // JSON has a grammar but no declarations; the others have no grammar or
    // differ from a parsed name only in case.
    for (std::string_view language : {"json", "toml", "Python", "", "go", "yaml", "py"}) {
        SCOPED_TRACE(language);
        EXPECT_EQ(outline_reply(content_payload("{\"a\": 1}\nclass A: pass\n", language)),
                  no_outline(language));
    }
}

TEST(OutlineCommand, LanguageComesFromPathWhenNotGiven) {
    EXPECT_EQ(outline_reply(JsonObject{{"content", "class A: pass\n"}}), no_outline(""));
    EXPECT_EQ(outline_reply(JsonObject{{"content", "x = 1\n"}, {"path", "pyproject.toml"}}),
              no_outline("toml"));
    // A "language" that is not a string is ignored in favour of the path.
    const JsonValue payload =
        JsonObject{{"content", "fn f() {}\n"}, {"path", "src/lib.RS"}, {"language", 5u}};
    const std::vector<SymbolRow> expected{{"fn", "f", 1, 1, 0, "fn f() {}"}};
    EXPECT_EQ(symbol_rows(outline_reply(payload)), expected);
}

TEST(OutlineCommand, LanguageFieldWinsOverPath) {
    const JsonValue payload =
        JsonObject{{"content", "fn f() {}\n"}, {"path", "a.py"}, {"language", "rust"}};
    const JsonValue reply = outline_reply(payload);
    EXPECT_EQ(text_of(find_field(reply, "language")), "rust");
    const std::vector<SymbolRow> expected{{"fn", "f", 1, 1, 0, "fn f() {}"}};
    EXPECT_EQ(symbol_rows(reply), expected);
}

TEST(OutlineCommand, ContentIsUsedAndThePathNeverRead) {
    // The path names no file; it only decides the language.
    const JsonValue payload =
        JsonObject{{"content", "def f(): pass\n"}, {"path", "/nonexistent/x.py"}};
    const std::vector<SymbolRow> expected{{"function", "f", 1, 1, 0, "def f(): pass"}};
    EXPECT_EQ(symbol_rows(outline_reply(payload)), expected);

    const JsonValue empty = JsonObject{{"content", ""}, {"path", "/nonexistent/x.py"}};
    const JsonValue reply = outline_reply(empty);
    EXPECT_EQ(text_of(find_field(reply, "language")), "python");
    EXPECT_TRUE(symbol_rows(reply).empty());
}

TEST(OutlineCommand, FileIsReadWhenContentIsNotAString) {
    const TempDir dir;
    const std::string path =
        dir.write("pkg/mod.py", "import os\n\nclass Reader:\n    def read(self): ...\n");
    for (const JsonValue& content : {JsonValue(5u), JsonValue(nullptr), JsonValue(JsonArray{})}) {
        const std::vector<SymbolRow> expected{
            {"class", "Reader", 3, 4, 0, "class Reader:"},
            {"method", "read", 4, 4, 1, "def read(self): ..."},
        };
        EXPECT_EQ(symbol_rows(outline_reply(JsonObject{{"content", content}, {"path", path}})),
                  expected);
    }
}

TEST(OutlineCommandFailure, UnreadableFilesFailWithTheReadMessage) {
    const TempDir dir;
    // The text is loaded before the language is judged, so a missing file
    // fails even where its language would get no outline.
    for (std::string_view name : {"missing.py", "missing.json", "missing.toml", "missing"}) {
        SCOPED_TRACE(name);
        const std::string path = (dir.path() / name).string();
        EXPECT_EQ(failure_of(JsonObject{{"path", path}}), "No such file or directory (os error 2)");
    }
    dir.write("sub/x.py", "");
    EXPECT_EQ(failure_of(JsonObject{{"path", (dir.path() / "sub").string()}}),
              "Is a directory (os error 21)");
    const std::string latin1 = dir.write("latin1.py", "# caf\xe9\n");
    EXPECT_EQ(failure_of(JsonObject{{"path", latin1}}), "stream did not contain valid UTF-8");
}

TEST(OutlineCommandFailure, PayloadWithoutContentOrPathFails) {
    const std::string message = "missing required field: content or path";
    EXPECT_EQ(failure_of(JsonValue(nullptr)), message);
    EXPECT_EQ(failure_of(JsonObject{}), message);
    EXPECT_EQ(failure_of(JsonValue(JsonArray{JsonValue("x")})), message);
    EXPECT_EQ(failure_of(JsonObject{{"content", 1u}, {"path", 2u}, {"language", "python"}}),
              message);
}

TEST(OutlineCommand, StopsAtTwoHundredRecords) {
    std::string text;
    for (int i = 0; i < 250; ++i) text += "def f" + std::to_string(i) + "():\n    pass\n";
    const std::vector<SymbolRow> rows = outline_rows(text, "python");
    ASSERT_EQ(rows.size(), 200u);
    EXPECT_EQ(rows.front(), (SymbolRow{"function", "f0", 1, 2, 0, "def f0():"}));
    EXPECT_EQ(rows.back(), (SymbolRow{"function", "f199", 399, 400, 0, "def f199():"}));
}

TEST(OutlineCommand, ClassInTheLastPlaceGetsNoMembers) {
    std::string text;
    for (int i = 0; i < 199; ++i) text += "fn f" + std::to_string(i) + "() {}\n";
    text += "impl Last {\n    fn a(&self) {}\n}\nfn after() {}\n";
    const std::vector<SymbolRow> rows = outline_rows(text, "rust");
    ASSERT_EQ(rows.size(), 200u);
    EXPECT_EQ(rows[198], (SymbolRow{"fn", "f198", 199, 199, 0, "fn f198() {}"}));
    EXPECT_EQ(rows[199], (SymbolRow{"impl", "Last", 200, 202, 0, "impl Last {"}));
}

TEST(OutlineCommand, MembersFillTheLastPlacesThenTheWalkStops) {
    std::string text;
    for (int i = 0; i < 198; ++i) text += "function f" + std::to_string(i) + "() {}\n";
    text += "class C {\n  a() {}\n  b() {}\n  c() {}\n}\nfunction after() {}\n";
    const std::vector<SymbolRow> rows = outline_rows(text, "javascript");
    ASSERT_EQ(rows.size(), 200u);
    EXPECT_EQ(rows[198], (SymbolRow{"class", "C", 199, 203, 0, "class C {"}));
    EXPECT_EQ(rows[199], (SymbolRow{"method", "a", 200, 200, 1, "a() {}"}));
}

TEST(OutlineCommand, SignatureIsCutAtOneHundredTwentyCharacters) {
    // 9 characters of header, then two-byte characters: the cut counts
    // characters, so it keeps 111 of them (222 bytes).
    const std::string header = "def f(a=\"";
    const std::string text = header + repeated("\xc3\xa9", 200) + "\"): pass\n";
    const std::vector<SymbolRow> rows = outline_rows(text, "python");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].signature, header + repeated("\xc3\xa9", 111));

    // Four-byte characters in a Rust string literal on the header line.
    const std::string rust = "fn g() { let s = \"" + repeated("\xf0\x9f\x8c\xb2", 130) + "\"; }\n";
    const std::vector<SymbolRow> rust_rows = outline_rows(rust, "rust");
    ASSERT_EQ(rust_rows.size(), 1u);
    EXPECT_EQ(rust_rows[0].signature, "fn g() { let s = \"" + repeated("\xf0\x9f\x8c\xb2", 102));
}

TEST(OutlineCommand, CutIsNotTrimmedAgain) {
    // The first line ends in a comment, so the trim leaves the spaces before
    // it; the cut then ends inside those spaces and keeps them.
    const std::string text = "class A:" + repeated(" ", 150) + "# note\n    pass\n";
    const std::vector<SymbolRow> rows = outline_rows(text, "python");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].signature, "class A:" + repeated(" ", 112));
}

TEST(OutlineCommand, UnicodeWhiteSpaceIsTrimmedFromTheHeader) {
    // U+3000 and U+00A0 after the opening brace are white space to the
    // grammar and to the trim alike.
    const std::vector<SymbolRow> expected{
        {"class", "A", 1, 3, 0, "class A {"},
        {"method", "m", 2, 2, 1, "m() {}"},
    };
    EXPECT_EQ(outline_rows("class A {\xe3\x80\x80\xc2\xa0\n  m() {}\n}\n", "javascript"), expected);
}

TEST(OutlineCommand, CrlfTextGivesTheSameLinesAndNoCarriageReturns) {
    const std::vector<SymbolRow> expected{
        {"class", "A", 1, 5, 0, "class A:"},
        {"method", "m", 2, 3, 1, "def m(self):"},
        {"method", "n", 4, 5, 1, "def n(self,"},
        {"function", "f", 7, 7, 0, "def f(): return 1"},
    };
    const std::string lf =
        "class A:\n    def m(self):\n        pass\n    def n(self,\n          x): pass\n\n"
        "def f(): return 1\n";
    std::string crlf;
    for (char c : lf) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    EXPECT_EQ(outline_rows(lf, "python"), expected);
    EXPECT_EQ(outline_rows(crlf, "python"), expected);
}

TEST(OutlineCommand, BytesThatAreNotUtf8GiveEmptyTexts) {
    // Payload text always arrives as UTF-8; raw bytes here exercise the
    // walker's own guard. An impl whose type holds the byte gets an empty
    // name and signature; its member is unaffected.
    const std::vector<SymbolRow> expected{
        {"impl", "", 1, 3, 0, ""},
        {"method", "m", 2, 2, 1, "fn m() {}"},
    };
    EXPECT_EQ(outline_rows("impl S<\"\xff\"> {\n    fn m() {}\n}\n", "rust"), expected);
}

}  // namespace
}  // namespace brightloom::testing
