#include "text/text_file.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "text/content_hash.h"
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

}  // namespace
}  // namespace brightloom
