#include "lib/text_file.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "lib/content_hash.h"
#include "temp_dir.h"

namespace brightloom {
namespace {

using testing::TempDir;

TEST(ReadTextFile, ReturnsTheBytesUnchanged) {
    TempDir dir;
    const std::string text = "\xEF\xBB\xBFline\r\nnext\rlast";
    Result<std::string> read = read_text_file(dir.write("f.txt", text));
    ASSERT_TRUE(read.ok());
    EXPECT_EQ(*read, text);
    Result<std::string> empty = read_text_file(dir.write("empty.txt", ""));
    ASSERT_TRUE(empty.ok());
    EXPECT_EQ(*empty, "");
}

TEST(ReadTextFile, ReadsFilesThatDoNotReportTheirSize) {
    Result<std::string> status = read_text_file("/proc/self/status");
    ASSERT_TRUE(status.ok());
    EXPECT_NE(status->find("Name:"), std::string::npos);
}

TEST(ReadTextFileFailure, ReportsEachFaultWithItsText) {
    TempDir dir;
    const std::string invalid = dir.write("bad.txt", "ok\xFFno");
    struct Case {
        std::string path;
        std::string message;
    } cases[] = {
        {(dir.path() / "missing.txt").string(), "No such file or directory (os error 2)"},
        {dir.path().string(), "Is a directory (os error 21)"},
        {invalid, "stream did not contain valid UTF-8"},
        {std::string("a\0b", 3), "file name contained an unexpected NUL byte"},
        {"", "No such file or directory (os error 2)"},
        {invalid + "/x", "Not a directory (os error 20)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        Result<std::string> read = read_text_file(c.path);
        ASSERT_FALSE(read.ok());
        EXPECT_EQ(read.error().message, c.message);
        Result<FileDigest> streamed = digest_text_file(c.path, OpenMode::any_file);
        ASSERT_FALSE(streamed.ok());
        EXPECT_EQ(streamed.error().message, c.message);
    }
}

TEST(StreamTextFile, RegularOnlyRefusesAFifoWithoutBlocking) {
    TempDir dir;
    const std::string fifo = (dir.path() / "pipe.py").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    Result<FileDigest> digest = digest_text_file(fifo, OpenMode::regular_only);
    ASSERT_FALSE(digest.ok());
    EXPECT_EQ(digest.error().message, "Invalid argument (os error 22)");
}

TEST(LoadSource, PrefersStringContentOverPath) {
    TempDir dir;
    const std::string path = dir.write("a.py", "from file");

    // The text borrows from the payload, which stays alive here.
    const JsonValue with_content(JsonObject{{"content", "inline text"}, {"path", "/no/such/file"}});
    Result<SourceText> content = load_source(with_content);
    ASSERT_TRUE(content.ok());
    EXPECT_EQ(content->view(), "inline text");
    EXPECT_EQ(content->view().data(), string_field(with_content, "content")->data());

    const JsonValue empty_content(JsonObject{{"content", ""}, {"path", "/no/such/file"}});
    Result<SourceText> empty = load_source(empty_content);
    ASSERT_TRUE(empty.ok());
    EXPECT_EQ(empty->view(), "");

    const JsonValue number_content(JsonObject{{"content", std::uint64_t{5}}, {"path", path}});
    Result<SourceText> from_file = load_source(number_content);
    ASSERT_TRUE(from_file.ok());
    EXPECT_EQ(from_file->view(), "from file");

    Result<SourceText> unreadable = load_source(JsonValue(JsonObject{{"path", "/no/such/file"}}));
    ASSERT_FALSE(unreadable.ok());
    EXPECT_EQ(unreadable.error().message, "No such file or directory (os error 2)");
}

TEST(LoadSource, FailsWithoutAUsableField) {
    for (const JsonValue& payload : {JsonValue(), JsonValue(JsonObject{}), JsonValue(JsonArray{}),
                                     JsonValue(JsonObject{{"content", nullptr}, {"path", true}})}) {
        Result<SourceText> source = load_source(payload);
        ASSERT_FALSE(source.ok());
        EXPECT_EQ(source.error().message, "missing required field: content or path");
    }
}

}  // namespace
}  // namespace brightloom
