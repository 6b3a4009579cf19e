#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "commands/scan_command.h"
#include "host/payload_reader.h"
#include "scan/scan_names.h"

namespace brightloom {
namespace {

TEST(ScanNames, PrunesExactlyTheFiveFolderNames) {
    for (const char* name : {".git", ".venv", "dist", "node_modules", "target"}) {
        SCOPED_TRACE(name);
        EXPECT_TRUE(is_pruned_dir(name));
    }
    for (const char* name : {".github", "Target", "dist2", "node_module", ".git ", "", "venv"}) {
        SCOPED_TRACE(name);
        EXPECT_FALSE(is_pruned_dir(name));
    }
}

TEST(ScanNames, TakesTheExtensionAfterTheLastDot) {
    struct Row {
        const char* name;
        std::optional<std::string> extension;
    };
    const Row rows[] = {
        {"main.py", "py"},          {"x.tar.gz", "gz"},   {".eslintrc.js", "js"},
        {"trailing.", ""},          {"Makefile", std::nullopt}, {".bashrc", std::nullopt},
        {".py", std::nullopt},      {"..", std::nullopt}, {"..py", "py"},
        {"x.PY", "PY"},             {"", std::nullopt},   {"a..", ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const std::optional<std::string_view> got = file_extension(row.name);
        ASSERT_EQ(got.has_value(), row.extension.has_value());
        if (got) {
            EXPECT_EQ(*got, *row.extension);
        }
    }
}

TEST(ScanNames, FindsTheFinalNamedComponent) {
    struct Row {
        const char* path;
        std::optional<std::string> name;
    };
    const Row rows[] = {
        {"a/b", "b"},        {"a/b/", "b"},   {"a//b//", "b"},       {"a/b/.", "b"},
        {"./target", "target"}, {"target", "target"}, {"/x/./", "x"}, {".", std::nullopt},
        {"./", std::nullopt}, {"/", std::nullopt}, {"", std::nullopt}, {"a/..", std::nullopt},
        {"..", std::nullopt}, {"//", std::nullopt}, {"/.git", ".git"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.path);
        const std::optional<std::string_view> got = final_component_name(row.path);
        ASSERT_EQ(got.has_value(), row.name.has_value());
        if (got) {
            EXPECT_EQ(*got, *row.name);
        }
    }
}

Result<ScanRequest> options_of(std::string_view payload_text) {
    Result<JsonValue> payload = read_payload(payload_text);
    if (!payload.ok()) return std::move(payload).error();
    return read_scan_request(*payload);
}

TEST(ScanRequestReading, RequiresAStringRootBeforeAnythingElse) {
    for (const char* text : {"null", "[]", "{}", "\"root\"", "{\"root\":5}", "{\"root\":null}",
                             "{\"max_files\":\"x\",\"extensions\":3}", "{\"Root\":\"a\"}"}) {
        SCOPED_TRACE(text);
        Result<ScanRequest> options = options_of(text);
        ASSERT_FALSE(options.ok());
        EXPECT_EQ(options.error().message, "missing required field: root");
    }
}

TEST(ScanRequestReading, TakesMaxFilesOnlyAsAnUnsignedInteger) {
    struct Row {
        const char* max_files;
        std::uint64_t expected;
    };
    const Row rows[] = {
        {"0", 0},       {"7", 7},         {"18446744073709551615", 18446744073709551615ull},
        {"-1", 256},    {"-0", 256},      {"2.5", 256},     {"10.0", 256},
        {"1e3", 256},   {"\"10\"", 256},  {"null", 256},
        {"true", 256},  {"[3]", 256},     {"18446744073709551616", 256},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.max_files);
        Result<ScanRequest> options =
            options_of(std::string("{\"root\":\"r\",\"max_files\":") + row.max_files + "}");
        ASSERT_TRUE(options.ok());
        EXPECT_EQ(options->max_files, row.expected);
    }
    Result<ScanRequest> absent = options_of("{\"root\":\"r\"}");
    ASSERT_TRUE(absent.ok());
    EXPECT_EQ(absent->max_files, 256u);
}

TEST(ScanRequestReading, ReadsExtensionsWithLeadingDotsRemoved) {
    using List = std::vector<std::string>;
    const List defaults{"py", "rs", "ts", "tsx", "js", "go", "md", "toml", "yaml", "yml"};
    struct Row {
        const char* extensions;
        List expected;
    };
    const Row rows[] = {
        {"[\".rs\", 3, \"py\"]", {"rs", "py"}},
        {"[\"..py\", \".PY\", \".\", \"...\", \"a.b\", \"\"]", {"py", "PY", "", "", "a.b", ""}},
        {"[1, \"md\", null, [\"js\"], {}]", {"md"}},
        {"[]", {}},
        {"\"py\"", defaults},
        {"null", defaults},
        {"{\"py\":1}", defaults},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.extensions);
        Result<ScanRequest> options =
            options_of(std::string("{\"root\":\"r\",\"extensions\":") + row.extensions + "}");
        ASSERT_TRUE(options.ok());
        EXPECT_EQ(options->extensions, row.expected);
    }
    Result<ScanRequest> absent = options_of("{\"root\":\" r/ \"}");
    ASSERT_TRUE(absent.ok());
    EXPECT_EQ(absent->extensions, defaults);
    EXPECT_EQ(absent->root, " r/ ");
}

}  // namespace
}  // namespace brightloom
