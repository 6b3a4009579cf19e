#include "syntax/language.h"

#include <gtest/gtest.h>

#include <string>

namespace brightloom {
namespace {

struct PathCase {
    std::string path;
    std::string expected;  // empty: no language
};

TEST(LanguageFromPath, MapsExtensionsOfTheWholePath) {
    const PathCase cases[] = {
        {"main.py", "python"},
        {"A.PY", "python"},
        {"x.Mjs", "javascript"},
        {"y.JSX", "javascript"},
        {"lib.cjs", "javascript"},
        {"app.js", "javascript"},
        {"lib.mts", "typescript"},
        {"lib.cts", "typescript"},
        {"types/index.d.ts", "typescript"},
        {"view.tsx", "tsx"},
        {"src/App.TSX", "tsx"},
        {"src/main.rs", "rust"},
        {"pyproject.toml", "toml"},
        {"data.json", "json"},
        {"DATA.JSON", "json"},
        {".py", "python"},
        {"py", "python"},
        {"rs", "rust"},
        {"TSX", "tsx"},
        {"config.yaml", ""},
        {"notes.md", ""},
        {"main.go", ""},
        {"archive.tar.gz", ""},
        {"ends.with.dot.", ""},
        {".", ""},
        {"", ""},
        {"Makefile", ""},
        {"bin/py", ""},
        {"dir/rs", ""},
        {"lib.d/Makefile", ""},
        {"src.py/README", ""},
        {"a.pyc", ""},
        {"a.p", ""},
        {"a.jsonc", ""},
        {"a. py", ""},
        {"a.py ", ""},
    };
    for (const PathCase& row : cases) {
        SCOPED_TRACE(row.path);
        const std::optional<std::string_view> language = language_from_path(row.path);
        if (row.expected.empty()) {
            EXPECT_FALSE(language.has_value()) << *language;
        } else {
            ASSERT_TRUE(language.has_value());
            EXPECT_EQ(*language, row.expected);
        }
    }
}

TEST(LanguageFromPath, FoldsOnlyAsciiLetters) {
    // Bytes of multi-byte characters are compared as they are; only A-Z fold.
    EXPECT_FALSE(language_from_path("a.p\xC3\x9D").has_value());
    EXPECT_FALSE(language_from_path("a.\xEF\xBD\x90y").has_value());  // fullwidth p
    EXPECT_FALSE(language_from_path(std::string("a.p\0y", 5)).has_value());
    EXPECT_EQ(language_from_path("\xC3\xA9t\xC3\xA9.Rs").value_or(""), "rust");
}

JsonValue payload_of(JsonObject fields) { return JsonValue(std::move(fields)); }

TEST(ResolveLanguage, FollowsFieldPrecedence) {
    struct Case {
        const char* label;
        JsonValue payload;
        std::string expected;
    };
    const Case cases[] = {
        {"language wins over path", payload_of({{"language", "rust"}, {"path", "a.py"}}), "rust"},
        {"empty language does not fall back",
         payload_of({{"language", ""}, {"path", "a.py"}}), ""},
        {"non-string language falls back",
         payload_of({{"language", JsonValue(std::uint64_t{5})}, {"path", "a.py"}}), "python"},
        {"null language falls back", payload_of({{"language", nullptr}, {"path", "a.rs"}}),
         "rust"},
        {"language kept byte for byte", payload_of({{"language", "Python"}}), "Python"},
        {"path only", payload_of({{"path", "pyproject.toml"}}), "toml"},
        {"path outside the table", payload_of({{"path", "notes.md"}}), ""},
        {"path of another form", payload_of({{"path", JsonValue(true)}}), ""},
        {"content does not name a language", payload_of({{"content", "x.py"}}), ""},
        {"neither field", payload_of({}), ""},
        {"payload not an object", JsonValue(JsonArray{JsonValue("a.py")}), ""},
        {"payload null", JsonValue(nullptr), ""},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(row.label);
        EXPECT_EQ(resolve_language(row.payload), row.expected);
    }
}

TEST(ResolveLanguage, EchoesControlAndNonAsciiBytes) {
    const std::string odd("\x01\tpy\xE2\x9C\x93\x7F\0end", 11);
    EXPECT_EQ(resolve_language(payload_of({{"language", odd}, {"path", "a.py"}})), odd);
}

}  // namespace
}  // namespace brightloom
