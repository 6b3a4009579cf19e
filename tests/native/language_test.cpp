#include "languages/language_table.h"

#include <gtest/gtest.h>

#include <string>

namespace brightloom {
namespace {

// The language both source commands take for a path: they answer for the
// same languages.
std::optional<std::string_view> language_of(std::string_view path) {
    const std::optional<std::string_view> outline = language_from_path(path, LanguageCommand::outline);
    EXPECT_EQ(outline, language_from_path(path, LanguageCommand::syntax_check)) << path;
    return outline;
}

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
        const std::optional<std::string_view> language = language_of(row.path);
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
    EXPECT_FALSE(language_of("a.p\xC3\x9D").has_value());
    EXPECT_FALSE(language_of("a.\xEF\xBD\x90y").has_value());  // fullwidth p
    EXPECT_FALSE(language_of(std::string("a.p\0y", 5)).has_value());
    EXPECT_EQ(language_of("\xC3\xA9t\xC3\xA9.Rs").value_or(""), "rust");
}

}  // namespace
}  // namespace brightloom
