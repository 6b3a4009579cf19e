#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "reference_digest.h"
#include "scan_test_support.h"
#include "temp_dir.h"

namespace brightloom::testing {
namespace {

using Paths = std::vector<std::string>;
namespace fs = std::filesystem;

// Changes the working directory for one test and restores it.
class WorkingDirectory {
public:
    explicit WorkingDirectory(const fs::path& path) : previous_(fs::current_path()) {
        fs::current_path(path);
    }
    ~WorkingDirectory() { fs::current_path(previous_); }

private:
    fs::path previous_;
};

TEST(ScanWorkspace, SortsPathsByBytesAcrossDashDotSlashAndCapitals) {
    TempDir tree;
    for (const char* file : {"a/x.py", "a.py", "a-b/x.py", "b.py", "B.py", "a/B/c.py", "a/b.py"}) {
        tree.write(file, "x");
    }
    EXPECT_EQ(scan_root(tree.path().string()).paths(),
              (Paths{"B.py", "a-b/x.py", "a.py", "a/B/c.py", "a/b.py", "a/x.py", "b.py"}));
}

TEST(ScanWorkspace, KeepsTheDefaultExtensionsOnly) {
    TempDir tree;
    for (const char* file : {"a.py", "b.rs", "c.ts", "d.tsx", "e.js", "f.go", "g.md", "h.toml",
                             "i.yaml", "j.yml", "k.PY", "l.pyc", "Makefile", "m.tar.gz", ".py",
                             ".bashrc", ".eslintrc.js", "n.", "o.jsx", "p.json"}) {
        tree.write(file, "x");
    }
    EXPECT_EQ(scan_root(tree.path().string()).paths(),
              (Paths{".eslintrc.js", "a.py", "b.rs", "c.ts", "d.tsx", "e.js", "f.go", "g.md",
                     "h.toml", "i.yaml", "j.yml"}));
}

TEST(ScanWorkspace, AppliesCustomExtensionListsWithTheirOddElements) {
    TempDir tree;
    for (const char* file : {"x.py", "x.PY", "y.rs", "z.md", "ends.", "noext", "a.tar.gz"}) {
        tree.write(file, "x");
    }
    struct Row {
        const char* label;
        JsonValue extensions;
        Paths expected;
    };
    JsonArray number_and_md;
    number_and_md.emplace_back(std::uint64_t{1});
    number_and_md.emplace_back("md");
    const Row rows[] = {
        {".PY", string_array({".PY"}), {"x.PY"}},
        {"..rs", string_array({"..rs"}), {"y.rs"}},
        {"empty", string_array({}), {}},
        {"1 and md", JsonValue(number_and_md), {"z.md"}},
        {"string", JsonValue("md"), {"x.py", "y.rs", "z.md"}},
        {"lone dot", string_array({"."}), {"ends."}},
        {"tar.gz", string_array({"tar.gz"}), {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.label);
        JsonObject extra;
        extra.emplace("extensions", row.extensions);
        EXPECT_EQ(scan_root(tree.path().string(), extra).paths(), row.expected);
    }
}

TEST(ScanWorkspace, WalksHiddenFoldersAndFiles) {
    TempDir tree;
    for (const char* file : {".github/workflows/ci.yml", ".config/.tool.toml", ".a/.b/c.py"}) {
        tree.write(file, "x");
    }
    EXPECT_EQ(scan_root(tree.path().string()).paths(),
              (Paths{".a/.b/c.py", ".config/.tool.toml", ".github/workflows/ci.yml"}));
}

TEST(ScanWorkspace, NeverEntersPrunedFoldersAtAnyDepth) {
    TempDir tree;
    for (const char* file : {".git/a.py", "sub/node_modules/b.py", "sub/deep/target/c.py",
                             "dist/d.py", "x/y/z/.venv/e.py", "Target/f.py", "targets/g.py",
                             "sub/dist2/h.py", "sub/ok.py"}) {
        tree.write(file, "x");
    }
    EXPECT_EQ(scan_root(tree.path().string()).paths(),
              (Paths{"Target/f.py", "sub/dist2/h.py", "sub/ok.py", "targets/g.py"}));
}

TEST(ScanWorkspace, PrunesTheRootByItsFinalNamedComponent) {
    TempDir tree;
    tree.write("node_modules/a.py", "x");
    tree.write("target/b.py", "x");
    const std::string base = tree.path().string();
    for (const std::string& root : {base + "/node_modules", base + "/target/", base + "/target/.",
                                    base + "//target//"}) {
        SCOPED_TRACE(root);
        EXPECT_EQ(scan_root(root).count, 0u);
    }
    // The same folders reached through links are walked: the root's own type
    // is then a link, whatever its name.
    make_symlink(base + "/node_modules", tree.path() / "links" / "target");
    EXPECT_EQ(scan_root(base + "/links/target").paths(), (Paths{"a.py"}));
}

TEST(ScanWorkspace, WalksARootThatIsALinkToAFolder) {
    TempDir tree;
    tree.write("real/a.py", "x");
    tree.write("real/sub/b.rs", "x");
    make_symlink("real", tree.path() / "link");
    EXPECT_EQ(scan_root((tree.path() / "link").string()).paths(), (Paths{"a.py", "sub/b.rs"}));
    // A link to a file as the root lists nothing.
    make_symlink("real/a.py", tree.path() / "file_link.py");
    EXPECT_EQ(scan_root((tree.path() / "file_link.py").string()).count, 0u);
}

TEST(ScanWorkspace, FollowsNoLinkBelowTheRoot) {
    TempDir tree;
    tree.write("root/real.py", "x");
    tree.write("outside/o.py", "x");
    tree.write("root/inner/i.py", "x");
    make_symlink("real.py", tree.path() / "root" / "file_link.py");
    make_symlink("inner", tree.path() / "root" / "folder_link");
    make_symlink((tree.path() / "outside").string(), tree.path() / "root" / "outside_link");
    make_symlink("missing.py", tree.path() / "root" / "dangling.py");
    EXPECT_EQ(scan_root((tree.path() / "root").string()).paths(),
              (Paths{"inner/i.py", "real.py"}));
}

TEST(ScanWorkspace, ListsNothingForMissingEmptyOrFileRoots) {
    TempDir tree;
    tree.write("only.py", "x");
    for (const std::string& root : {(tree.path() / "missing").string(), std::string(),
                                    (tree.path() / "only.py").string()}) {
        SCOPED_TRACE(root);
        EXPECT_EQ(scan_root(root).count, 0u);
    }
    TempDir empty;
    EXPECT_EQ(scan_root(empty.path().string()).count, 0u);
}

TEST(ScanWorkspace, GivesTheSameEntriesForEverySpellingOfTheRoot) {
    TempDir tree;
    tree.write("proj/a.py", "one\n");
    tree.write("proj/sub/b.md", "two");
    const std::string base = (tree.path() / "proj").string();
    const ScanReply plain = scan_root(base);
    ASSERT_EQ(plain.paths(), (Paths{"a.py", "sub/b.md"}));
    WorkingDirectory cwd(tree.path());
    for (const std::string& root : {base + "/", base + "//", base + "/./", base + "/sub/..",
                                    std::string("proj"), std::string("./proj"),
                                    std::string("./proj/"), std::string("proj/.")}) {
        SCOPED_TRACE(root);
        const ScanReply reply = scan_root(root);
        ASSERT_EQ(reply.paths(), plain.paths());
        EXPECT_EQ(reply.entries[0].file_hash, plain.entries[0].file_hash);
        EXPECT_EQ(reply.entries[1].total_lines, 1u);
    }
    WorkingDirectory inside(tree.path() / "proj");
    EXPECT_EQ(scan_root(".").paths(), plain.paths());
    EXPECT_EQ(scan_root("./").paths(), plain.paths());
}

TEST(ScanWorkspace, CutsTheSortedListAtMaxFilesInEveryForm) {
    TempDir tree;
    for (int i = 0; i < 300; ++i) tree.write("f" + std::to_string(1000 + i).append(".py"), "x");
    struct Row {
        const char* label;
        JsonValue max_files;
        std::uint64_t count;
    };
    const Row rows[] = {
        {"0", JsonValue(std::uint64_t{0}), 0},       {"2", JsonValue(std::uint64_t{2}), 2},
        {"1000", JsonValue(std::uint64_t{1000}), 300}, {"-1", JsonValue(std::int64_t{-1}), 256},
        {"-0", JsonValue(std::int64_t{0}), 256},
        {"2.5", JsonValue(2.5), 256},                {"1e3", JsonValue(1000.0), 256},
        {"\"10\"", JsonValue("10"), 256},            {"null", JsonValue(nullptr), 256},
        {"true", JsonValue(true), 256},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.label);
        JsonObject extra;
        extra.emplace("max_files", row.max_files);
        EXPECT_EQ(scan_root(tree.path().string(), extra).count, row.count);
    }
    JsonObject two;
    two.emplace("max_files", JsonValue(std::uint64_t{2}));
    EXPECT_EQ(scan_root(tree.path().string(), two).paths(), (Paths{"f1000.py", "f1001.py"}));
}

TEST(ScanWorkspace, DropsUnreadableFilesAfterTheLimitWithoutRefilling) {
    TempDir tree;
    tree.write("a.py", "\xff\xfe invalid");
    tree.write("b.py", "b");
    tree.write("c.py", "c");
    tree.write("d.py", "d\xc3");  // cut inside a two-byte character
    tree.write("e.py", "e");
    JsonObject two;
    two.emplace("max_files", JsonValue(std::uint64_t{2}));
    EXPECT_EQ(scan_root(tree.path().string(), two).paths(), (Paths{"b.py"}));
    EXPECT_EQ(scan_root(tree.path().string()).paths(), (Paths{"b.py", "c.py", "e.py"}));

    if (running_as_root()) GTEST_SKIP() << "root reads files without permission";
    ::chmod((tree.path() / "b.py").c_str(), 0);
    EXPECT_EQ(scan_root(tree.path().string(), two).count, 0u);
    EXPECT_EQ(scan_root(tree.path().string()).paths(), (Paths{"c.py", "e.py"}));
}

TEST(ScanWorkspace, CountsLinesAndDigestsLikeTheHashCommand) {
    TempDir tree;
    struct Row {
        const char* name;
        std::string text;
        std::uint64_t lines;
    };
    const Row rows[] = {
        {"empty.py", "", 0},        {"one.py", "a", 1},        {"lf.py", "a\n", 2},
        {"two.py", "a\nb\n", 3},    {"cr.py", "a\rb\r", 1},    {"crlf.py", "a\r\nb", 2},
        {"abc.py", "abc", 1},       {"bom.py", "\xef\xbb\xbfx\n", 2},
    };
    for (const Row& row : rows) tree.write(row.name, row.text);
    const ScanReply reply = scan_root(tree.path().string() + "/");
    ASSERT_EQ(reply.count, std::size(rows));
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const auto it = std::find_if(reply.entries.begin(), reply.entries.end(),
                                     [&](const ScannedFile& e) { return e.path == row.name; });
        ASSERT_NE(it, reply.entries.end());
        EXPECT_EQ(it->total_lines, row.lines);
        EXPECT_EQ(it->file_hash, reference_hash(row.text));
    }
    auto hash_of = [&](const char* name) {
        for (const ScannedFile& entry : reply.entries) {
            if (entry.path == name) return entry.file_hash;
        }
        return std::string();
    };
    EXPECT_EQ(hash_of("abc.py"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(hash_of("empty.py"), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(hash_of("crlf.py"), reference_hash("a\nb"));
    EXPECT_EQ(hash_of("cr.py"), reference_hash("a\nb\n"));
}

}  // namespace
}  // namespace brightloom::testing
