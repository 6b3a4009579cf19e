#include "scan/open_beneath.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "scan_test_support.h"
#include "temp_dir.h"

namespace brightloom::testing {
namespace {

using Opener = FileDescriptor (*)(int, const std::string&, int);

FileDescriptor by_components(int root_fd, const std::string& relative, int flags) {
    return open_beneath_by_components(root_fd, relative, flags);
}

// Both ways of opening, so that the fallback is proven on kernels that have
// openat2 as well.
struct Way {
    const char* name;
    Opener open;
};
constexpr Way WAYS[] = {{"openat2", open_beneath}, {"by components", by_components}};

std::string read_all(const FileDescriptor& fd) {
    std::string text(64, '\0');
    const ssize_t n = ::read(fd.get(), text.data(), text.size());
    text.resize(n < 0 ? 0 : static_cast<std::size_t>(n));
    return text;
}

// A root folder "root" that holds files, and links of every kind next to
// them: to a file inside, to a folder inside, to the outside, and "..".
class OpenBeneath : public ::testing::Test {
protected:
    void SetUp() override {
        tree_.write("root/a.py", "a");
        tree_.write("root/d/e/f.py", "f");
        tree_.write("outside/secret.py", "secret");
        make_symlink("a.py", root() / "link.py");
        make_symlink("d", root() / "dlink");
        make_symlink((tree_.path() / "outside").string(), root() / "d" / "out");
        make_symlink((tree_.path() / "outside" / "secret.py").string(), root() / "d" / "e" / "s.py");
        make_symlink("..", root() / "up");
        root_fd_ = open_root(root());
    }
    std::filesystem::path root() const { return tree_.path() / "root"; }

    TempDir tree_;
    FileDescriptor root_fd_;
};

TEST_F(OpenBeneath, OpensFilesAtAnyDepth) {
    for (const Way& way : WAYS) {
        SCOPED_TRACE(way.name);
        for (const auto& [path, text] : {std::pair{"a.py", "a"}, {"d/e/f.py", "f"}, {"./d//e/f.py", "f"}}) {
            SCOPED_TRACE(path);
            const FileDescriptor fd = way.open(root_fd_.get(), path, O_RDONLY);
            ASSERT_TRUE(fd.valid()) << std::strerror(errno);
            EXPECT_EQ(read_all(fd), text);
        }
        const FileDescriptor folder = way.open(root_fd_.get(), "d/e", O_RDONLY | O_DIRECTORY);
        EXPECT_TRUE(folder.valid());
    }
}

TEST_F(OpenBeneath, RefusesEveryLinkAndEveryWayOut) {
    const std::string absolute = (tree_.path() / "outside" / "secret.py").string();
    for (const Way& way : WAYS) {
        SCOPED_TRACE(way.name);
        for (const std::string& path : {std::string("link.py"), std::string("dlink/e/f.py"),
                                        std::string("d/out/secret.py"), std::string("d/e/s.py"),
                                        std::string("up/outside/secret.py"), std::string("../outside/secret.py"),
                                        std::string("d/../../outside/secret.py"), absolute}) {
            SCOPED_TRACE(path);
            errno = 0;
            const FileDescriptor fd = way.open(root_fd_.get(), path, O_RDONLY);
            EXPECT_FALSE(fd.valid());
            EXPECT_NE(errno, 0);
        }
        errno = 0;
        EXPECT_FALSE(way.open(root_fd_.get(), "missing.py", O_RDONLY).valid());
        EXPECT_EQ(errno, ENOENT);
        errno = 0;
        EXPECT_FALSE(way.open(root_fd_.get(), "", O_RDONLY).valid());
        EXPECT_EQ(errno, ENOENT);
    }
}

// The root is the one link followed: a caller may name a link to a folder.
TEST_F(OpenBeneath, FollowsALinkNamedAsTheRoot) {
    make_symlink(root().string(), tree_.path() / "root_link");
    const FileDescriptor through_link = open_root(tree_.path() / "root_link");
    const FileDescriptor fd = open_beneath(through_link.get(), "d/e/f.py", O_RDONLY);
    ASSERT_TRUE(fd.valid());
    EXPECT_EQ(read_all(fd), "f");
    EXPECT_FALSE(open_folder_for_lookup((tree_.path() / "root" / "a.py").c_str()).valid());
}

}  // namespace
}  // namespace brightloom::testing
