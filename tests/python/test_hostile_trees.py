"""Bad input, overall: a cloned tree cannot turn the command line against its user.

Each case builds a hostile tree in a temporary folder beside a sentinel
folder, runs the real command line as a user would (from inside the tree),
and checks that the case ends in an answer, or in one line on standard
error with status 2, and that nothing outside the tree changed: the
sentinel's listing (sizes, modes, digests) is the same before and after.
"""
import hashlib
import json
import os
import sqlite3
import stat
import subprocess
import sys
from pathlib import Path

import pytest

import brightloom_index_native
from brightloom_index.tree_files import Unreadable, read_tree_file
from conftest import PACKAGE_DIR

# How the command line is started unless a case says otherwise (set once per module).
CONSOLE_SCRIPT: list = []
ENV = dict(
    os.environ,
    PYTHONPATH=os.pathsep.join([str(PACKAGE_DIR), os.path.dirname(os.path.abspath(brightloom_index_native.__file__))]),
    LC_ALL="C.UTF-8",
)
# Every module the command line and its parse workers import, and names of
# the package and the module themselves: each one, if ever imported from the
# tree, leaves a mark file beside itself.
SHADOWED = [
    "json", "signal", "subprocess", "sqlite3", "argparse", "hashlib", "dataclasses", "tempfile", "typing",
    "errno", "stat", "re", "collections", "importlib", "selectors", "threading", "shutil", "gettext",
    "locale", "inspect", "enum", "functools", "contextlib", "string", "struct", "copy", "fnmatch",
    "brightloom_index_native",
]


def loaded_by_runpy():
    """Modules `python -m` itself imports before any code of ours can act."""
    listing = subprocess.run(
        [sys.executable, "-I", "-c", "import runpy, sys; print(' '.join(sys.modules))"],
        capture_output=True, text=True, check=True,
    ).stdout
    return {name.partition(".")[0] for name in listing.split()}


MARK = "open(__import__('os').path.join(__import__('os').path.dirname(__file__), 'RAN-' + __name__), 'w')\n"


def snapshot(folder):
    """(path, mode, size, digest) of everything under `folder`, links not followed."""
    rows = []
    for directory, dirs, files in os.walk(folder):
        for name in sorted(dirs + files):
            path = os.path.join(directory, name)
            info = os.lstat(path)
            digest = ""
            if stat.S_ISREG(info.st_mode):
                digest = hashlib.sha256(Path(path).read_bytes()).hexdigest()
            rows.append((os.path.relpath(path, folder), info.st_mode, info.st_size, digest))
    return sorted(rows)


@pytest.fixture
def place(tmp_path):
    """(tree, sentinel): the sentinel must come out of every case unchanged."""
    sentinel = tmp_path / "sentinel"
    sentinel.mkdir()
    (sentinel / "secret.json").write_text('{"password": "hunter2"}\n')
    (sentinel / "passwd.py").write_text("root_secret = 1\n")
    (sentinel / "other.sqlite").write_bytes(b"not ours")
    connection = sqlite3.connect(sentinel / "customers.sqlite")
    connection.execute("CREATE TABLE customers (name TEXT)")
    connection.commit()
    connection.close()
    tree = tmp_path / "tree"
    tree.mkdir()
    before = snapshot(sentinel)
    outside_before = sorted(os.listdir(tmp_path))
    yield tree, sentinel
    assert snapshot(sentinel) == before
    assert sorted(os.listdir(tmp_path)) == outside_before


@pytest.fixture(scope="module", autouse=True)
def console_script(tmp_path_factory):
    """A console script as pip writes one: its own folder is first on the path."""
    script = tmp_path_factory.mktemp("bin") / "brightloom-index"
    script.write_text("import sys\nfrom brightloom_index.cli import entry_point\nsys.exit(entry_point())\n")
    CONSOLE_SCRIPT[:] = [sys.executable, str(script)]


def run_cli(tree, *argv, timeout=60, entry=CONSOLE_SCRIPT):
    """Runs the command line from inside `tree`, as a user would."""
    result = subprocess.run(entry + list(argv), cwd=tree, env=ENV, capture_output=True, timeout=timeout)
    if result.returncode not in (0, 1):
        # One line saying what failed, after notes that say why, if any.
        assert result.returncode == 2, result.stderr
        lines = result.stderr.splitlines()
        assert lines[-1].startswith(b"brightloom-index: error: "), result.stderr
        assert all(line.startswith(b"brightloom-index: note: ") for line in lines[:-1]), result.stderr
    assert b"Traceback" not in result.stderr
    return result


def summary_of(result):
    return json.loads(result.stdout.splitlines()[-1])


def git(tree, *argv):
    subprocess.run(["git", "-c", "user.name=t", "-c", "user.email=t@t", *argv], cwd=tree, check=True, capture_output=True)


class TestNothingOfTheTreeRuns:
    @pytest.mark.parametrize("as_module", [False, True])
    def test_shadowing_modules_never_run_in_the_command_or_its_workers(self, place, as_module):
        tree, _ = place
        for number in range(80):
            (tree / f"m{number}.py").write_text(f"def f{number}(): pass\n")
        for name in set(SHADOWED) - (loaded_by_runpy() if as_module else set()):
            (tree / f"{name}.py").write_text(MARK)
        entry = [sys.executable, "-m", "brightloom_index"] if as_module else CONSOLE_SCRIPT
        for argv in (["index", "--jobs", "2", "."], ["find", "f1"], ["tags", "-o", "-"], ["files"]):
            assert run_cli(tree, *argv, entry=entry).returncode == 0
        assert sorted(path.name for path in tree.glob("RAN-*")) == []

    def test_git_does_not_run_the_trees_monitor_command(self, place):
        tree, _ = place
        git(tree, "init", "-q")
        (tree / "a.py").write_text("def a(): pass\n")
        git(tree, "config", "core.fsmonitor", f"touch {tree}/RAN-monitor; false")
        assert run_cli(tree, "index").returncode == 0
        assert not (tree / "RAN-monitor").exists()


def plant_special_files(tree, sentinel):
    os.symlink("/dev/zero", tree / "zero.py")
    os.symlink(sentinel / "secret.json", tree / "passwd.json")
    os.symlink(sentinel, tree / "linked")
    os.mkfifo(tree / "pipe.py")
    os.mkfifo(tree / ".ignore")
    os.symlink(sentinel / "secret.json", tree / ".gitignore")
    (tree / "good.py").write_text("def good(): pass\n")


class TestNothingOutsideIsRead:
    @pytest.mark.parametrize("in_git", [False, True])
    def test_links_and_fifos_are_listed_not_followed(self, place, in_git):
        tree, sentinel = place
        plant_special_files(tree, sentinel)
        if in_git:
            git(tree, "init", "-q")
            git(tree, "add", "zero.py", "passwd.json", "linked", "good.py")
        result = run_cli(tree, "index", "--json", timeout=30)
        assert result.returncode == 0
        assert b"hunter2" not in result.stdout and b"root_secret" not in result.stdout
        summary = summary_of(result)
        assert summary["files"] == 1
        reasons = {item["path"]: item["error"] for item in summary["limits"]["unreadable"]}
        assert reasons["zero.py"] == reasons["passwd.json"] == "a symbolic link, not followed"
        if not in_git:
            assert reasons["pipe.py"] == "not a regular file"
            assert b".ignore: not read: not a regular file" in result.stderr
            assert b".gitignore: not read: a symbolic link, not followed" in result.stderr
        assert run_cli(tree, "find", "root_secret").returncode == 1

    def test_a_folder_turned_link_after_listing_is_not_followed(self, place):
        tree, sentinel = place
        plant_special_files(tree, sentinel)
        with pytest.raises(Unreadable, match="^a symbolic link, not followed$"):
            read_tree_file(str(tree), "linked/passwd.py", 1 << 20)
        assert read_tree_file(str(tree), "good.py", 1 << 20)[0] == b"def good(): pass\n"

    def test_file_over_the_size_limit_is_skipped_unparsed(self, place):
        tree, _ = place
        (tree / "big.json").write_text("[" + "1," * 600_000 + "1]")
        (tree / "small.py").write_text("def small(): pass\n")
        summary = summary_of(run_cli(tree, "index", "--json", "--max-file-size", "1M"))
        assert summary["files"] == 1
        assert summary["limits"]["unreadable"] == [
            {"path": "big.json", "error": "skipped: larger than 1 MiB (--max-file-size)"}
        ]
        result = run_cli(tree, "index", "--max-file-size", "1X")
        assert result.returncode == 2 and b"not a size" in result.stderr


class TestNamesAndOutput:
    def test_names_that_are_not_utf8_are_reported_not_fatal(self, place):
        tree, _ = place
        root = tree / os.fsdecode(b"caf\xe9")
        root.mkdir()
        (root / "ok.py").write_text("def ok(): pass\n")
        (root / os.fsdecode(b"bad\xff.py")).write_text("def bad(): pass\n")
        result = run_cli(root, "index")
        assert result.returncode == 0 and b"bad\\xff.py: file name is not valid UTF-8" in result.stdout
        result = run_cli(root, "index", "--json")
        assert summary_of(result)["limits"]["unreadable"][0]["path"] == "bad\udcff.py"
        assert run_cli(root, "find", "ok").stdout == b"ok.py:1: function ok  def ok(): pass\n"
        result = run_cli(root, "find", os.fsdecode(b"\xff"))
        assert (result.returncode, result.stderr) == (2, b"brightloom-index: error: \\xff: not valid UTF-8, so no declaration can match it\n")
        assert run_cli(tree, "index", os.fsdecode(b"gone\xff")).stderr.endswith(b"gone\\xff: no such folder\n")
        assert run_cli(root, "index", "--exclude", os.fsdecode(b"x\xff")).returncode == 0
        assert run_cli(root, "find", "--refresh", "ok").returncode == 0

    def test_control_characters_cannot_forge_output(self, place):
        tree, _ = place
        (tree / "a\nb.py:1: function fake.py").write_text("def real(): pass\n")
        (tree / "e.js").write_text("class C { forged() {} }\n")
        run_cli(tree, "index")
        lines = run_cli(tree, "find", "real").stdout.decode().splitlines()
        assert lines == ["a\\nb.py:1: function fake.py:1: function real  def real(): pass"]
        # A name holding a line break, whichever grammar gives one.
        with sqlite3.connect(tree / ".brightloom/index.sqlite") as connection:
            connection.execute("UPDATE definitions SET name = 'x' || char(10) || 'fake.py:1: function forged'"
                               " WHERE name = 'forged'")
        connection.close()
        forged = run_cli(tree, "find", "--glob", "*forged*").stdout.decode()
        assert forged.startswith("e.js:1: method x\\nfake.py:1: function forged") and forged.count("\n") == 1
        (tree / "\x1b[2J.py").write_text("")
        listing = run_cli(tree, "files").stdout.decode()
        assert "\x1b" not in listing and "\\x1b[2J.py" in listing and len(listing.splitlines()) == 3
        found = run_cli(tree, "find", "--json", "real").stdout
        assert json.loads(found)["path"] == "a\nb.py:1: function fake.py"

    def test_bad_numbers_are_one_line(self, place):
        tree, _ = place
        result = run_cli(tree, "index", "--jobs", "-1")
        assert result.returncode == 2 and b"out of range (1 to 256): -1" in result.stderr


class TestIgnoreFilesAndGit:
    def test_pathological_and_invalid_ignore_lines(self, place):
        tree, _ = place
        (tree / ".gitignore").write_text("!\n[oops\n*a*a*a*a*a*a*a*a*a*a*b\n")
        (tree / ("a" * 200 + ".py")).write_text("")
        (tree / "kept.py").write_text("")
        result = run_cli(tree, "index", timeout=20)
        assert result.returncode == 0
        assert result.stderr.count(b"skipped") == 2

    def test_sparse_checkout_leaves_skipped_files_out_quietly(self, place):
        tree, _ = place
        git(tree, "init", "-q")
        for name in ("in/a.py", "out/b.py"):
            (tree / name).parent.mkdir(exist_ok=True)
            (tree / name).write_text("x = 1\n")
        git(tree, "add", ".")
        git(tree, "commit", "-qm", "x")
        git(tree, "sparse-checkout", "set", "in")
        summary = summary_of(run_cli(tree, "index", "--json"))
        assert (summary["files"], summary["limits"]["unreadable"]) == (1, [])

    @pytest.mark.skipif(os.geteuid() != 0, reason="making a tree another user owns needs root")
    def test_repository_of_another_user_is_refused_in_one_line(self, place):
        tree, _ = place
        git(tree, "init", "-q")
        (tree / "a.py").write_text("")
        for folder, dirs, files in os.walk(tree):
            for name in [folder, *(os.path.join(folder, entry) for entry in dirs + files)]:
                os.lchown(name, 4321, 4321)
        result = run_cli(tree, "files")
        assert result.returncode == 2 and b"dubious ownership" in result.stderr and b"safe.directory" in result.stderr

    def test_submodule_and_nested_repository_get_a_note(self, place):
        tree, _ = place
        git(tree, "init", "-q")
        nested = tree / "nested"
        nested.mkdir()
        git(nested, "init", "-q")
        (nested / "n.py").write_text("")
        (tree / "top.py").write_text("")
        result = run_cli(tree, "index")
        assert b"nested: a repository of its own, not indexed" in result.stderr


def link_index_file(tree, sentinel):
    (tree / ".brightloom").mkdir()
    os.symlink(sentinel / "other.sqlite", tree / ".brightloom" / "index.sqlite")


def link_index_folder(tree, sentinel):
    os.symlink(sentinel, tree / ".brightloom")


def link_index_gitignore(tree, sentinel):
    (tree / ".brightloom").mkdir()
    os.symlink(sentinel / "secret.json", tree / ".brightloom" / ".gitignore")


def nothing(tree, sentinel):
    """The sentinel's own files are the target."""


def link_tags_file(tree, sentinel):
    os.symlink(sentinel / "secret.json", tree / "tags")


# (what the tree plants, the command line run from inside it). Each must end
# in an answer or one line with status 2, and leave the sentinel as it was.
PLANTED = [
    (link_index_file, ["index"]),
    (link_index_file, ["index", "--rebuild"]),
    (link_index_file, ["find", "x"]),
    (link_index_folder, ["index"]),
    (link_index_folder, ["tags"]),
    (link_index_gitignore, ["index"]),
    (nothing, ["index", "--db", "../sentinel/customers.sqlite"]),
    (nothing, ["index", "--db", "../sentinel/customers.sqlite", "--rebuild"]),
    (nothing, ["index", "--db", "../sentinel/secret.json", "--rebuild"]),
    (link_tags_file, ["tags"]),
]


class TestPlantedPlaces:
    @pytest.mark.parametrize("plant, argv", PLANTED, ids=lambda value: " ".join(value) if isinstance(value, list) else value.__name__)
    def test_nothing_outside_the_tree_changes(self, place, plant, argv):
        tree, sentinel = place
        (tree / "a.py").write_text("def a(): pass\n")
        plant(tree, sentinel)
        run_cli(tree, *argv)


def make_deep_file(tree):
    """A file whose path is over 4,096 bytes, made one folder at a time."""
    folder = os.open(tree, os.O_RDONLY)
    for level in range(20):
        name = f"d{level:02}" + "x" * 240
        os.mkdir(name, dir_fd=folder)
        inner = os.open(name, os.O_RDONLY, dir_fd=folder)
        os.close(folder)
        folder = inner
    os.close(os.open("deep.py", os.O_CREAT | os.O_WRONLY, dir_fd=folder))
    os.close(folder)


class TestWhatIsLeftOutIsSaid:
    @pytest.mark.parametrize("in_git", [False, True])
    def test_path_too_long_for_the_system_gets_a_note(self, place, in_git):
        tree, _ = place
        make_deep_file(tree)
        (tree / "top.py").write_text("")
        if in_git:
            git(tree, "init", "-q")
        result = run_cli(tree, "files")
        assert (result.returncode, result.stdout) == (0, b"top.py\n")
        assert b"d00xxx" in result.stderr and b"note:" in result.stderr

    def test_root_that_git_ignores_gets_a_note(self, place):
        tree, _ = place
        git(tree, "init", "-q")
        (tree / ".gitignore").write_text("build/\n")
        (tree / "build").mkdir()
        (tree / "build" / "gen.py").write_text("")
        result = run_cli(tree / "build", "files")
        assert result.stdout == b"" and b"git ignores this folder" in result.stderr
