"""Keeping an index fresh day to day: the staleness note of `find` and its
auto-refresh setting, `update` rewriting the tags files made before, and a
subfolder of an indexed tree using the enclosing index."""
import json
import os
import sqlite3
import time

import pytest

from conftest import age_tree
from test_cli import cli
from test_index_queries import FILES, indexed  # noqa: F401 (a fixture)
from test_index_selection import git, make_tree


def note_of(*argv):
    status, _, err = cli("find", *argv)
    return err


class TestStaleness:
    @pytest.mark.parametrize("change, named", [
        (lambda root: (root / "app.py").write_text("def other(): pass\n"), "1 file changed since the last refresh (app.py)"),
        (lambda root: (root / "web" / "ui.ts").unlink(), "1 file changed since the last refresh (web/ui.ts)"),
        (lambda root: (root / "lib" / "new.rs").write_text("fn n() {}\n"), "(lib/new.rs)"),
        (lambda root: make_tree(root, {"pkg/deep/m.py": "def m(): pass\n"}), "(pkg/)"),
        (lambda root: os.rename(root / "web", root / "www"), "3 files changed since the last refresh (web/legacy.js, web/ui.ts, www/)"),
    ])
    def test_changes_are_noticed(self, indexed, change, named):
        change(indexed)
        assert named in note_of("Parser")

    def test_refs_notes_changes_and_auto_refreshes_as_find_does(self, indexed):
        (indexed / "app.py").write_text("def other(): return helper()\n")
        status, out, err = cli("refs", "helper")
        assert status == 1 and "1 file changed since the last refresh (app.py)" in err and "`refs --refresh`" in err
        assert cli("index", "-q", "--auto-refresh")[0] == 0
        (indexed / "app.py").write_text("def other(): return helper2()\n")
        status, out, err = cli("refs", "helper2")
        assert (status, err) == (0, "") and out.startswith("app.py:1:21: call helper2\n")

    @pytest.mark.parametrize("change", [
        lambda root: (root / "notes.md").write_text("# not source\n"),
        lambda root: (root / "web" / ".ui.ts.swp").write_text("x"),
        lambda root: make_tree(root, {"docs/a.txt": "text"}),
    ])
    def test_unrelated_files_are_no_change(self, indexed, change):
        change(indexed)
        assert note_of("Parser") == ""

    @pytest.mark.parametrize("change", [
        lambda root: os.utime(root / "app.py"),
        lambda root: os.utime(root / "web"),
    ])
    def test_a_refresh_after_a_touch_without_change_ends_the_note(self, indexed, change):
        change(indexed)
        assert "changed since the last refresh" in note_of("Parser") or os.path.isdir(indexed / "web")
        # Past the clock tick of the change, which a refresh starting within it counts as after it.
        time.sleep(0.05)
        summary = json.loads(cli("index", "--json")[1].splitlines()[-1])
        assert summary["refresh"]["unchanged"] == summary["files"]
        assert note_of("Parser") == ""

    def test_quiet_and_refreshed_lookups_say_nothing(self, indexed):
        (indexed / "app.py").write_text("def other(): pass\n")
        assert cli("find", "-q", "other") == (1, "", "")
        # Written in the refresh's clock tick, a file would still count as changed.
        time.sleep(0.02)
        status, out, err = cli("find", "--refresh", "other")
        assert (status, err) == (0, "")
        assert note_of("other") == ""

    def test_auto_refresh_setting_refreshes_a_stale_index_first(self, indexed):
        assert cli("index", "-q", "--auto-refresh")[0] == 0
        (indexed / "app.py").write_text("def fresh(): pass\n")
        assert cli("find", "fresh") == (0, "app.py:1: function fresh  def fresh(): pass\n", "")
        # Remembered by later refreshes until switched off.
        assert cli("update", "-q")[0] == 0
        (indexed / "app.py").write_text("def fresher(): pass\n")
        assert cli("find", "fresher")[0] == 0
        assert cli("index", "-q", "--no-auto-refresh")[0] == 0
        (indexed / "app.py").write_text("def freshest(): pass\n")
        assert cli("find", "freshest")[0] == 1


class TestUpdate:
    def test_refreshes_and_rewrites_every_tags_file_made_before(self, indexed):
        (indexed / "sub").mkdir()
        assert cli("tags")[0] == 0
        assert cli("tags", "-o", "sub/tags")[0] == 0
        assert cli("tags", "-o", "-")[0] == 0
        (indexed / "app.py").write_text("def renamed(): pass\n")
        status, out, err = cli("update")
        assert (status, err) == (0, "")
        lines = out.splitlines()
        assert lines[0].startswith("refreshed in ") and lines[0].endswith(": 0 new, 1 changed, 0 removed")
        assert lines[1:] == [f"wrote {indexed / 'sub' / 'tags'} (6 tags)", f"wrote {indexed / 'tags'} (6 tags)"]
        assert "renamed\tapp.py\t/^def renamed(): pass$/;" in (indexed / "tags").read_text()
        assert "renamed\t../app.py\t/^def renamed(): pass$/;" in (indexed / "sub" / "tags").read_text()
        assert not (indexed / "-").exists()
        assert cli("update", "-q") == (0, "", "")
        records = [json.loads(line) for line in cli("update", "--json")[1].splitlines()]
        assert [record["record"] for record in records] == ["refresh", "tags", "tags"]
        assert records[0]["unchanged"] == 4 and records[1] == {"record": "tags", "path": str(indexed / "sub" / "tags"),
                                                                "tags": 6}

    def test_each_tags_file_is_rewritten_in_its_own_format(self, indexed):
        assert cli("tags", "-e")[0] == 0
        assert cli("tags", "-o", "ctags.out")[0] == 0
        (indexed / "app.py").write_text("def renamed(): pass\n")
        assert cli("update", "-q") == (0, "", "")
        etags = (indexed / "TAGS").read_bytes()
        assert etags.startswith(b"\x0c\napp.py,") and b"def renamed(): pass\x7frenamed\x011," in etags
        assert "renamed\tapp.py\t/^def renamed(): pass$/;" in (indexed / "ctags.out").read_text()

    def test_a_fifo_written_to_is_not_remembered(self, indexed):
        os.mkfifo(indexed / "pipe")
        reader = os.open(indexed / "pipe", os.O_RDONLY | os.O_NONBLOCK)
        try:
            assert cli("tags", "-o", "pipe")[0] == 0
        finally:
            os.close(reader)
        # With nobody reading, rewriting it would block `update` for good.
        status, out, _ = cli("update", "--json")
        assert status == 0 and '"record":"tags"' not in out

    def test_an_unwritable_tags_file_is_reported_and_the_rest_written(self, indexed):
        (indexed / "gone").mkdir()
        assert cli("tags", "-o", "gone/tags")[0] == 0
        assert cli("tags")[0] == 0
        (indexed / "gone" / "tags").unlink()
        (indexed / "gone").rmdir()
        status, out, err = cli("update")
        assert status == 2
        assert err == f"brightloom-index: error: cannot write {indexed / 'gone' / 'tags'}: No such file or directory\n"
        assert out.splitlines()[-1] == f"wrote {indexed / 'tags'} (8 tags)"

    def test_without_an_index_is_one_line(self, tmp_path, monkeypatch):
        monkeypatch.chdir(tmp_path)
        status, out, err = cli("update")
        assert (status, out) == (2, "")
        assert err.startswith("brightloom-index: error: no index in this folder or its parents")


class TestSubfolder:
    def test_index_in_a_subfolder_refreshes_the_enclosing_index(self, indexed, monkeypatch):
        assert cli("index", "-q", "--exclude", "web/")[0] == 0
        monkeypatch.chdir(indexed / "lib")
        (indexed / "lib" / "more.rs").write_text("fn more() {}\n")
        status, out, err = cli("index")
        assert status == 0
        assert err == (f"brightloom-index: note: refreshing the index of the enclosing tree {indexed};"
                       " give ROOT to index this folder on its own\n")
        assert "Refresh: 1 new, 0 changed, 0 removed, 2 unchanged" in out
        assert not (indexed / "lib" / ".brightloom").exists()
        # The stored rules held: web/ stays out.
        assert cli("find", "renderPage")[0] == 1
        assert cli("find", "more")[1] == "more.rs:1: function more  fn more() {}\n"

    def test_an_explicit_root_or_db_makes_its_own_index(self, indexed, monkeypatch):
        monkeypatch.chdir(indexed / "lib")
        assert cli("index", "-q", ".")[0] == 0
        assert (indexed / "lib" / ".brightloom" / "index.sqlite").exists()


def test_an_empty_selection_names_the_extensions_taken(tmp_path):
    make_tree(tmp_path, {"README.md": "# x\n", "main.zig": "pub fn main() void {}\n"})
    taken = ("files ending in .py, .rs, .js, .mjs, .cjs, .jsx, .ts, .mts, .cts, .tsx, .json, .c, .h, .cc, .cpp,"
             " .cxx, .c++, .hh, .hpp, .hxx, .h++, .go, .java, .cs, .rb, .rake, .gemspec, .php, .phtml, .sh, .bash"
             " are indexed")
    status, out, _ = cli("index", str(tmp_path))
    assert status == 0 and f"No source files found: {taken}" in out
    assert cli("files", str(tmp_path)) == (0, "", f"brightloom-index: note: No source files found: {taken}"
                                              " (ignore rules apply).\n")


def test_a_refresh_that_finds_nothing_to_do_writes_nothing(indexed):
    database = indexed / ".brightloom" / "index.sqlite"
    before = database.read_bytes(), database.stat().st_mtime_ns
    assert cli("index", "-q") == (0, "", "")
    assert (database.read_bytes(), database.stat().st_mtime_ns) == before
    (indexed / "app.py").write_text("def other(): pass\n")
    assert cli("index", "-q") == (0, "", "")
    assert database.read_bytes() != before[0]


@pytest.mark.parametrize("as_git", [False, True])
def test_new_files_in_ignored_folders_are_no_change(tmp_path, monkeypatch, as_git):
    make_tree(tmp_path, {**FILES, ".gitignore": "build/\n"})
    if as_git:
        git(tmp_path, "init", "-q")
    age_tree(tmp_path)
    assert cli("index", str(tmp_path))[0] == 0
    monkeypatch.chdir(tmp_path)
    time.sleep(0.02)
    make_tree(tmp_path, {"build/lib/copy.py": "def copy(): pass\n", "web/extra.ts": "function extra() {}\n"})
    assert note_of("Parser").startswith("brightloom-index: note: 1 file changed since the last refresh (web/extra.ts)")
    (tmp_path / "web" / "extra.ts").unlink()
    assert note_of("Parser") == ""


def test_tags_from_an_index_that_cannot_be_written_still_writes_the_file(indexed):
    # Another writer holds the index: remembering the file gives up at once.
    with sqlite3.connect(indexed / ".brightloom" / "index.sqlite") as holder:
        holder.execute("BEGIN IMMEDIATE")
        status, _, err = cli("tags", "--wait", "0")
        holder.rollback()
    assert status == 0 and (indexed / "tags").exists()
    assert err.startswith("brightloom-index: note: `update` will not rewrite tags: index ")
