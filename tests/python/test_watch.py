"""`watch` as a real process on real trees: edits, a git checkout as one
burst, removed and renamed folders, new ignore rules, a root that vanishes
and comes back, and a clean stop on SIGTERM and SIGINT."""
import os
import signal
import sqlite3
import subprocess
import sys
import time

import pytest

from conftest import CLI_ENV, PROGRAM
from test_cli import cli
from test_index_selection import git, make_tree

pytest.importorskip("watchdog")


class Watch:
    """A running `watch`, its output lines read as they come."""

    def __init__(self, root, *options, cwd=None):
        self.root = root
        self.log = root.parent / f"watch-{root.name}.log"
        self.log_file = open(self.log, "w")
        # Started inside a folder (cwd), it is given no ROOT.
        where = [] if cwd else [str(root)]
        self.process = subprocess.Popen(
            [*PROGRAM, "watch", *where, *options], stdout=self.log_file, stderr=subprocess.STDOUT, env=CLI_ENV, cwd=cwd,
        )
        self.wait_for_lines(1)

    def lines(self):
        return self.log.read_text().splitlines()

    def wait_for_lines(self, count, timeout=30):
        deadline = time.monotonic() + timeout
        while len(self.lines()) < count:
            assert self.process.poll() is None, self.lines()
            assert time.monotonic() < deadline, self.lines()
            time.sleep(0.02)
        return self.lines()

    def stop(self, number=signal.SIGTERM):
        self.process.send_signal(number)
        status = self.process.wait(timeout=20)
        self.log_file.close()
        return status

    def close(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        self.log_file.close()


@pytest.fixture
def watched(tmp_path):
    root = tmp_path / "tree"
    make_tree(root, {"a.py": "def alpha(): pass\n", "sub/b.py": "def beta(): pass\n"})
    watches = []

    def start(*options, at=root, cwd=None):
        watches.append(Watch(at, *options, cwd=cwd))
        return watches[-1]

    yield root, start
    for watch in watches:
        watch.close()


def found(root, name):
    status, out, _ = cli("find", name, "--root", str(root))
    shown = [line.split(":")[0] for line in out.splitlines()] if status == 0 else []
    return [os.path.relpath(os.path.abspath(path), root) for path in shown]


def settle(watch, count):
    """Waits for the count-th refresh line and returns it."""
    return watch.wait_for_lines(count)[count - 1]


class TestWatch:
    def test_edits_removed_and_renamed_folders_and_ignore_rules(self, watched):
        root, start = watched
        watch = start()
        assert watch.lines() == ["refreshed in " + watch.lines()[0].split("refreshed in ")[1]]
        assert watch.lines()[0].endswith(": 2 new, 0 changed, 0 removed")
        steps = [
            (lambda: (root / "a.py").write_text("def alpha(): pass\ndef gamma(): pass\n"),
             "0 new, 1 changed, 0 removed", ("gamma", ["a.py"])),
            (lambda: os.rename(root / "sub", root / "moved"), "1 new, 0 changed, 1 removed",
             ("beta", ["moved/b.py"])),
            (lambda: subprocess.run(["rm", "-r", str(root / "moved")], check=True),
             "0 new, 0 changed, 1 removed", ("beta", [])),
            (lambda: make_tree(root, {"new/deep/er/c.py": "def delta(): pass\n"}), "1 new, 0 changed, 0 removed",
             ("delta", ["new/deep/er/c.py"])),
            (lambda: (root / ".gitignore").write_text("new/\n"), "0 new, 0 changed, 1 removed", ("delta", [])),
        ]
        for count, (change, counts, (name, paths)) in enumerate(steps, start=2):
            change()
            assert settle(watch, count).endswith(counts), watch.lines()
            assert found(root, name) == paths
        assert watch.stop() == 0
        assert len(watch.lines()) == len(steps) + 1

    def test_a_checkout_of_many_files_is_one_refresh(self, watched):
        root, start = watched
        git(root, "init", "-q")
        git(root, "-c", "user.name=t", "-c", "user.email=t@t", "commit", "-q", "--allow-empty", "-m", "base")
        git(root, "checkout", "-q", "-b", "wide")
        make_tree(root, {f"pkg{n % 10}/m{n}.py": f"def f{n}(): pass\n" for n in range(600)})
        git(root, "add", "-A")
        git(root, "-c", "user.name=t", "-c", "user.email=t@t", "commit", "-q", "-m", "wide")
        git(root, "checkout", "-q", "-")
        watch = start()
        assert watch.lines()[0].endswith(": 0 new, 0 changed, 0 removed")
        git(root, "checkout", "-q", "wide")
        assert settle(watch, 2).endswith(": 602 new, 0 changed, 0 removed")
        time.sleep(1.5)
        assert len(watch.lines()) == 2, watch.lines()
        assert found(root, "f599") == ["pkg9/m599.py"]

    def test_the_root_vanishes_and_comes_back(self, watched):
        root, start = watched
        watch = start()
        os.rename(root, root.parent / "away")
        lines = watch.wait_for_lines(2)
        assert lines[1] == f"brightloom-index: note: {root} vanished; waiting for it to come back"
        make_tree(root, {"c.py": "def gamma(): pass\n"})
        assert settle(watch, 3).endswith(": 1 new, 0 changed, 0 removed")
        assert found(root, "gamma") == ["c.py"]
        (root / "c.py").write_text("def epsilon(): pass\n")
        assert settle(watch, 4).endswith(": 0 new, 1 changed, 0 removed")
        assert watch.stop() == 0

    @pytest.mark.parametrize("number", [signal.SIGTERM, signal.SIGINT])
    def test_a_stop_during_a_large_refresh_leaves_the_index_whole(self, watched, number):
        root, start = watched
        db = root.parent / "index.sqlite"
        watch = start("--db", str(db), "--jobs", "2")
        make_tree(root, {f"many/m{n}.py": "def f(): pass\n" * 200 for n in range(400)})
        time.sleep(0.3)
        assert watch.stop(number) == 0
        # Either the refresh finished or it rolled back: the index reads.
        with sqlite3.connect(db) as connection:
            assert connection.execute("PRAGMA integrity_check").fetchone() == ("ok",)
            files = connection.execute("SELECT count(*) FROM files").fetchone()[0]
        assert files in (2, 402)
        assert not list(root.parent.glob("**/.tags.*"))

    def test_inside_an_indexed_tree_it_keeps_the_enclosing_index(self, watched):
        root, start = watched
        assert cli("index", "-q", str(root))[0] == 0
        watch = start(cwd=root / "sub")
        assert watch.lines()[0] == (f"brightloom-index: note: refreshing the index of the enclosing tree {root};"
                                    " give ROOT to index this folder on its own")
        assert settle(watch, 2).endswith(": 0 new, 0 changed, 0 removed")
        (root / "a.py").write_text("def gamma(): pass\n")
        assert settle(watch, 3).endswith(": 0 new, 1 changed, 0 removed")
        assert not (root / "sub" / ".brightloom").exists()
        assert watch.stop() == 0
