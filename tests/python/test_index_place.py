"""Where the index writes and what it will replace: links inside the tree,
folders and databases that are not ours, indexes planted in a parent folder.
Each case checks that a sentinel folder outside the tree is left unchanged."""
import hashlib
import os
import sqlite3

import pytest

from brightloom_index import index_place, store
from test_cli import cli
from test_index_selection import make_tree


def snapshot(folder):
    """Every entry below `folder` with its type, mode, size and digest."""
    entries = {}
    for directory, folders, files in os.walk(folder):
        for name in folders + files:
            path = os.path.join(directory, name)
            status = os.lstat(path)
            digest = None
            if os.path.isfile(path) and not os.path.islink(path):
                with open(path, "rb") as handle:
                    digest = hashlib.sha256(handle.read()).hexdigest()
            entries[os.path.relpath(path, folder)] = (status.st_mode, status.st_size, digest)
    return entries


@pytest.fixture
def outside(tmp_path):
    """Another program's files: a database with a customer and a notes file."""
    folder = tmp_path / "outside"
    folder.mkdir()
    with sqlite3.connect(folder / "shop.sqlite") as connection:
        connection.execute("CREATE TABLE customers (name TEXT)")
        connection.execute("INSERT INTO customers VALUES ('ada')")
    connection.close()
    (folder / "notes.txt").write_text("keep me\n")
    return folder


@pytest.fixture
def tree(tmp_path):
    root = tmp_path / "tree"
    make_tree(root, {"a.py": "def alpha():\n    pass\n"})
    return root


def marked_folder(root):
    folder = root / ".brightloom"
    folder.mkdir()
    (folder / index_place.MARKER_NAME).write_text(index_place.MARKER_TEXT)
    return folder


# (link inside the tree, its target in `outside`)
LINKS = [
    (".brightloom", "."),
    (".brightloom/index.sqlite", "shop.sqlite"),
    (".brightloom/index.sqlite-wal", "notes.txt"),
    (".brightloom/index.sqlite-journal", "notes.txt"),
    (".brightloom/.gitignore", "notes.txt"),
]


@pytest.mark.parametrize("link, target", LINKS)
def test_a_link_where_the_index_writes_is_refused_by_name(tree, outside, link, target):
    if link != ".brightloom":
        marked_folder(tree)
    os.symlink(outside / target, tree / link)
    before = snapshot(outside)
    commands = [["index", str(tree)], ["index", str(tree), "--rebuild"], ["find", "alpha", "--refresh", "--root", str(tree)]]
    if not link.endswith(".gitignore"):
        # A lookup reads no .gitignore.
        commands.append(["find", "alpha", "--root", str(tree)])
    for argv in commands:
        status, out, err = cli(*argv)
        assert (status, out) == (2, ""), argv
        assert err.count("\n") == 1 and f"{tree / link} is a symbolic link" in err, (argv, err)
    assert snapshot(outside) == before


def test_a_folder_not_made_by_the_tool_is_refused(tree):
    folder = tree / ".brightloom"
    make_tree(folder, {"settings.json": "{}\n"})
    before = snapshot(folder)
    status, _, err = cli("index", str(tree))
    assert status == 2 and "was not made by brightloom-index" in err and err.count("\n") == 1
    assert snapshot(folder) == before


def test_new_folder_is_marked_and_an_earlier_one_is_adopted(tree):
    assert cli("index", str(tree))[0] == 0
    assert index_place.is_marked_folder(str(tree / ".brightloom"))
    # A folder as earlier versions left it: only the .gitignore and the index.
    (tree / ".brightloom" / index_place.MARKER_NAME).unlink()
    assert cli("index", str(tree))[0] == 0
    assert index_place.is_marked_folder(str(tree / ".brightloom"))


@pytest.mark.skipif(os.geteuid() != 0, reason="needs root to give files to another user")
def test_an_index_of_another_user_in_a_parent_is_skipped_with_a_note(tmp_path, monkeypatch):
    shared = tmp_path / "shared"
    make_tree(shared, {"evil.py": "def alpha(): pass\n", "work/mine.py": "def beta(): pass\n"})
    assert cli("index", str(shared))[0] == 0
    for directory, folders, files in os.walk(shared / ".brightloom"):
        for name in [directory] + [os.path.join(directory, f) for f in files]:
            os.chown(name, 65534, 65534)
    monkeypatch.chdir(shared / "work")
    status, out, err = cli("find", "alpha")
    assert (status, out) == (2, "")
    assert err.splitlines() == [
        f"brightloom-index: note: skipped the index in {shared / '.brightloom'}: it belongs to another user (uid 65534)",
        "brightloom-index: error: no index in this folder or its parents; create it with `brightloom-index index`",
    ]
    # The user's own index nearer by is used as before.
    assert cli("index", ".")[0] == 0
    assert cli("find", "beta")[0:2] == (0, "mine.py:1: function beta  def beta(): pass\n")


class TestOnlyOurDatabasesChange:
    @pytest.mark.parametrize("name", ["shop.sqlite", "notes.txt"])
    @pytest.mark.parametrize("command", [["index"], ["index", "--rebuild"], ["find", "alpha"], ["tags", "-o", "-"]])
    def test_another_file_at_db_is_refused_and_left_alone(self, tree, outside, name, command):
        before = snapshot(outside)
        location = outside / name
        argv = command[:1] + ([str(tree)] if command[0] == "index" else []) + command[1:] + ["--db", str(location)]
        status, out, err = cli(*argv)
        assert (status, out) == (2, "")
        assert err == f"brightloom-index: error: {location} is not an index of this tool; it was left alone\n"
        assert snapshot(outside) == before

    def test_new_index_carries_the_mark_and_an_unmarked_one_of_ours_is_adopted(self, tree, tmp_path):
        location = tmp_path / "index.sqlite"
        assert cli("index", str(tree), "--db", str(location))[0] == 0
        with sqlite3.connect(location) as connection:
            assert connection.execute("PRAGMA application_id").fetchone()[0] == store.APPLICATION_ID
            # As versions before the mark made them: their tables, no mark.
            connection.execute("PRAGMA application_id = 0")
            connection.execute("PRAGMA user_version = 2")
            for table in ("definitions", "refs", "name_uses", "texts"):
                connection.execute(f"DROP TABLE {table}")
            connection.execute("CREATE TABLE symbols (file_id INTEGER, name TEXT)")
        connection.close()
        status, _, err = cli("find", "alpha", "--db", str(location))
        assert status == 2 and "schema version 2" in err
        assert cli("index", str(tree), "--db", str(location), "--rebuild")[0] == 0
        with sqlite3.connect(location) as connection:
            assert connection.execute("PRAGMA application_id").fetchone()[0] == store.APPLICATION_ID
        connection.close()
