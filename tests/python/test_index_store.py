"""The stored index: incremental refresh against a rebuild from scratch, the
schema version, damaged files, a refresh killed part-way, refreshes and
readers at the same time, and independence from the scan's worker count."""
import hashlib
import json
import os
import signal
import sqlite3
import subprocess
import time

import pytest

from conftest import CLI_ENV, PROGRAM

from brightloom_index import digests, index_job, store
from brightloom_index.native_calls import NativeCaller
from brightloom_index_native import run
from test_cli import cli, json_lines
from test_index_selection import make_tree

ENV = CLI_ENV


def db_of(root):
    return root / ".brightloom" / "index.sqlite"


def dump(location):
    """Every stored row, read with sqlite3 alone, in a stable order."""
    with sqlite3.connect(location) as connection:
        files = connection.execute(
            "SELECT path, language, digest, lines, symbol_count, error_count FROM files ORDER BY path").fetchall()
        symbols = connection.execute(
            "SELECT f.path, d.kind, d.name, d.line, d.end_line, d.depth, d.signature, d.column, d.scope"
            " FROM definitions d JOIN files f ON f.id = d.file_id ORDER BY f.path, d.line, d.name").fetchall()
        references = connection.execute(
            "SELECT f.path, r.kind, r.name, r.line, r.column, r.scope"
            " FROM refs r JOIN files f ON f.id = r.file_id ORDER BY f.path, r.ordinal").fetchall()
        errors = connection.execute(
            "SELECT f.path, e.line, e.column, e.kind, e.message FROM syntax_errors e JOIN files f ON f.id = e.file_id"
            " ORDER BY f.path, e.line, e.column").fetchall()
    return files, symbols, errors, references


def index(root, *options, caller=None):
    status, out, err = cli("index", str(root), "--json", *options, caller=caller)
    assert status == 0, err
    return json_lines(out)


def counting_caller():
    calls = []

    def counting_run(command, payload):
        calls.append(command)
        return run(command, payload)

    return NativeCaller(counting_run), calls


@pytest.fixture
def project(tmp_path):
    root = tmp_path / "project"
    make_tree(root, {
        "a.py": "def alpha():\n    pass\n",
        "b.rs": "fn beta() {}\n",
        "c.ts": "function gamma(): void {}\n",
        "d.json": '{"k": 1}\n',
        "sub/e.py": "class Epsilon:\n    def m(self):\n        pass\n",
    })
    return root


class TestIncrementalRefresh:
    def test_second_run_without_changes_parses_nothing(self, project):
        index(project)
        caller, calls = counting_caller()
        records = index(project, caller=caller)
        assert set(calls) == {"scan"}
        assert records[-1]["refresh"] == {"new": 0, "changed": 0, "removed": 0, "unchanged": 5}

    def test_edit_add_delete_rename_parse_only_what_changed(self, project):
        index(project)
        (project / "a.py").write_text("def alpha2():\n    pass\n")
        (project / "new.py").write_text("def delta():\n    pass\n")
        (project / "b.rs").unlink()
        (project / "sub/e.py").rename(project / "sub/f.py")
        caller, calls = counting_caller()
        records = index(project, caller=caller)
        parsed = [r["path"] for r in records if r["record"] == "file"]
        assert parsed == ["a.py", "new.py", "sub/f.py"]
        assert calls.count("symbols") == 3
        assert records[-1]["refresh"] == {"new": 2, "changed": 1, "removed": 2, "unchanged": 2}
        names = {row[2] for row in dump(db_of(project))[1]}
        assert names == {"alpha2", "delta", "gamma", "Epsilon", "m"}

    def test_incremental_result_equals_a_rebuild(self, project):
        index(project)
        (project / "a.py").write_text("def alpha():\n    pass\n\nclass K:\n    def k(self):\n        return (\n")
        (project / "c.ts").write_text("interface I {}\n")
        (project / "g.js").write_text("export function g() {}\n")
        (project / "d.json").unlink()
        index(project)
        incremental = dump(db_of(project))
        index(project, "--rebuild")
        assert dump(db_of(project)) == incremental
        assert ("a.py", "python") == incremental[0][0][:2] and incremental[0][0][5] > 0

    def test_file_turning_into_non_utf8_leaves_the_index_and_is_named(self, project):
        index(project)
        (project / "a.py").write_bytes(b"def alpha():\n    return '\xff'\n")
        summary = index(project)[-1]
        assert summary["refresh"]["removed"] == 1
        assert summary["limits"]["unreadable"] == [{"path": "a.py", "error": "stream did not contain valid UTF-8"}]
        assert "alpha" not in {row[2] for row in dump(db_of(project))[1]}
        status, out, _ = cli("index", str(project))
        assert "Not indexed, could not be read: 1 files" in out and "a.py: stream did not contain valid UTF-8" in out

    @pytest.mark.parametrize("jobs", ["1", "2"])
    def test_stored_digest_is_that_of_the_text_parsed(self, tmp_path, monkeypatch, jobs):
        # Truncated between its digest and its parse, then written back with
        # the same text: the index must not keep the full text's digest with
        # the empty file's symbols, or no refresh would ever parse it again.
        root = tmp_path / "race"
        text = "def kept(): pass\n"
        make_tree(root, {f"f{number:02}.py": text for number in range(70)})
        real_digest = index_job.digest_selection

        def digest_then_truncate(*arguments):
            report = real_digest(*arguments)
            for path in root.glob("*.py"):
                path.write_text("")
            return report

        monkeypatch.setattr(index_job, "digest_selection", digest_then_truncate)
        index(root, "--jobs", jobs)
        monkeypatch.undo()
        files = dump(db_of(root))[0]
        assert {(row[2], row[3], row[4]) for row in files} == {(hashlib.sha256(b"").hexdigest(), 0, 0)}
        for path in root.glob("*.py"):
            path.write_text(text)
        assert index(root)[-1]["refresh"]["changed"] == 70
        assert len(dump(db_of(root))[1]) == 70

    def test_unreadable_file_is_named(self, project):
        if os.geteuid() == 0:
            pytest.skip("root reads every file")
        (project / "a.py").chmod(0)
        summary = index(project)[-1]
        assert summary["limits"]["unreadable"] == [{"path": "a.py", "error": "Permission denied (os error 13)"}]


def stored_stamps(location):
    with sqlite3.connect(location) as connection:
        rows = connection.execute("SELECT path, size, mtime_ns, ctime_ns, inode FROM files ORDER BY path")
        return {path: None if None in stamp else stamp for path, *stamp in rows}


class TestStamps:
    """A file whose size, times and inode are as stored is not read again;
    one that changed too recently to tell is read until it settles."""

    @pytest.fixture(name="later")
    def later_fixture(self, monkeypatch):
        self.later(monkeypatch)

    @staticmethod
    def later(monkeypatch):
        """Every stamp taken as if three seconds had passed since the files were written."""
        real_clock = digests.file_clock_ns
        monkeypatch.setattr(digests, "file_clock_ns", lambda: real_clock() + 3_000_000_000)

    @pytest.fixture
    def reads(self, monkeypatch):
        paths = []
        real_read = digests.read_tree_file
        monkeypatch.setattr(
            digests, "read_tree_file", lambda root, path, size: paths.append(path) or real_read(root, path, size)
        )
        return paths

    def test_settled_tree_is_refreshed_without_reading_a_file_or_calling_the_module(self, tmp_path, later, reads):
        # The scan matches extensions case-sensitively: `Loose.PY` is digested by the package.
        root = tmp_path / "settled"
        make_tree(root, {"Loose.PY": "def loose(): pass\n", **{f"m{n}.py": f"def m{n}(): pass\n" for n in range(8)}})
        index(root)
        assert None not in stored_stamps(db_of(root)).values()
        reads.clear()
        caller, calls = counting_caller()
        assert index(root, caller=caller)[-1]["refresh"]["unchanged"] == 9
        assert (calls, reads) == ([], [])
        # One file of eight changed: read here, no scan of the whole folder.
        (root / "m3.py").write_text("def m3_longer(): pass\n")
        (root / "Loose.PY").write_text("def loose2(): pass\n")
        records = index(root, caller=caller)
        assert records[-1]["refresh"]["changed"] == 2 and "scan" not in calls
        assert sorted(reads) == ["Loose.PY", "m3.py"]
        # Most of them changed: one scan reads them all.
        for n in range(8):
            (root / f"m{n}.py").write_text(f"def m{n}_again(): pass\n")
        assert index(root, caller=caller)[-1]["refresh"]["changed"] == 8 and calls.count("scan") == 1
        assert {f"m{n}_again" for n in range(8)} <= {row[2] for row in dump(db_of(root))[1]}

    def test_file_changed_in_the_tick_of_its_stamp_is_still_read(self, tmp_path, reads):
        root = tmp_path / "racy"
        make_tree(root, {"a.py": "def one(): pass\n", "B.PY": "def two(): pass\n"})
        old = time.time_ns() - 3_600_000_000_000
        os.utime(root / "a.py", ns=(old, old))
        first = {name: os.stat(root / name) for name in ("a.py", "B.PY")}
        index(root)
        # Changed moments ago (a.py's change time is the utime call): no stamp kept.
        assert stored_stamps(db_of(root)) == {"B.PY": None, "a.py": None}
        # Rewritten with the same size and modification time, as within one clock tick.
        for name, text in (("a.py", "def eno(): pass\n"), ("B.PY", "def owt(): pass\n")):
            (root / name).write_text(text)
            os.utime(root / name, ns=(first[name].st_atime_ns, first[name].st_mtime_ns))
        reads.clear()
        assert index(root)[-1]["refresh"]["changed"] == 2
        assert {"eno", "owt"} <= {row[2] for row in dump(db_of(root))[1]}

    @pytest.mark.parametrize("settled", [False, True])
    def test_a_lower_size_limit_takes_an_indexed_file_out(self, tmp_path, monkeypatch, settled):
        if settled:
            self.later(monkeypatch)
        root = tmp_path / "limit"
        make_tree(root, {"big.py": "x = 1\n" * 400, "small.py": "def s(): pass\n"})
        index(root)
        summary = index(root, "--max-file-size", "1K")[-1]
        assert summary["refresh"]["removed"] == 1
        assert summary["limits"]["unreadable"] == [{"path": "big.py", "error": "skipped: larger than 1 KiB (--max-file-size)"}]
        assert [row[0] for row in dump(db_of(root))[0]] == ["small.py"]

    def test_file_replaced_by_another_of_the_same_size_and_time_is_read(self, tmp_path, later):
        root = tmp_path / "replaced"
        make_tree(root, {"a.py": "def one(): pass\n", "b.py": ""})
        index(root)
        before = os.stat(root / "a.py")
        (root / "new.tmp").write_text("def two(): pass\n")
        os.utime(root / "new.tmp", ns=(before.st_atime_ns, before.st_mtime_ns))
        os.replace(root / "new.tmp", root / "a.py")
        assert index(root)[-1]["refresh"]["changed"] == 1
        assert "two" in {row[2] for row in dump(db_of(root))[1]}


class TestStorage:
    def test_default_place_is_hidden_from_git_and_db_overrides_it(self, project, tmp_path):
        index(project)
        assert (project / ".brightloom/.gitignore").read_text() == "*\n"
        with sqlite3.connect(db_of(project)) as connection:
            assert connection.execute("PRAGMA journal_mode").fetchone()[0] == "wal"
        elsewhere = tmp_path / "other.sqlite"
        summary = index(project, "--db", str(elsewhere))[-1]
        assert summary["index"] == str(elsewhere)
        assert dump(elsewhere) == dump(db_of(project))

    def test_other_schema_version_is_rebuilt_with_a_message(self, project):
        index(project)
        with sqlite3.connect(db_of(project)) as connection:
            connection.execute("PRAGMA user_version = 99")
            connection.execute("DELETE FROM definitions")
        status, _, err = cli("find", "alpha", "--root", str(project))
        assert status == 2 and "schema version 99" in err
        status, out, err = cli("index", str(project))
        assert status == 0 and "schema version 99; rebuilding it" in err
        assert cli("find", "alpha", "--root", str(project))[0] == 0

    def test_db_paths_sqlite_would_not_keep_are_refused_or_taken_as_files(self, project, tmp_path, monkeypatch):
        for argv in (["index", str(project)], ["find", "alpha"], ["tags"]):
            status, out, err = cli(*argv, "--db", "")
            assert (status, out) == (2, "") and "--db: an empty path names no file" in err, argv
        monkeypatch.chdir(tmp_path)
        assert index(project, "--db", ":memory:")[-1]["files"] == 5
        assert cli("find", "alpha", "--db", ":memory:")[0] == 0 and (tmp_path / ":memory:").is_file()

    def test_a_reader_leaving_early_still_gets_the_refresh_committed(self, project):
        # Far more output than a pipe holds, so that the writer meets the closed end.
        for i in range(100):
            (project / f"many{i}.py").write_text("".join(f"def many{i}_{j}(): pass\n" for j in range(40)))
        process = subprocess.Popen(PROGRAM + ["index", str(project), "--json", "--jobs", "1"],
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=ENV)
        assert process.stdout.readline()
        process.stdout.close()
        assert process.wait(timeout=120) == 0
        assert process.stderr.read() == b""
        assert len(dump(db_of(project))[0]) == 105

    @pytest.mark.parametrize("rules", ["{", "[]", '{"excludes": "x"}', '{"max_files": -1}', '{"use_ignore_rules": 0}'])
    def test_malformed_stored_rules_are_one_line_until_the_next_index(self, project, rules):
        index(project)
        with sqlite3.connect(db_of(project)) as connection:
            connection.execute("UPDATE meta SET value = ? WHERE key = 'rules'", (rules,))
        status, out, err = cli("find", "alpha", "--refresh", "--root", str(project))
        assert (status, out) == (2, "") and err.count("\n") == 1 and "unreadable selection rules" in err
        assert cli("index", str(project))[0] == 0
        assert cli("find", "alpha", "--refresh", "--root", str(project))[0] == 0

    @pytest.mark.parametrize("damage", ["garbage", "truncated"])
    def test_damaged_file_is_a_clear_error_until_rebuild(self, project, damage):
        for i in range(300):
            (project / f"m{i}.py").write_text("".join(f"def f{i}_{j}(): pass\n" for j in range(20)))
        index(project)
        location = db_of(project)
        with sqlite3.connect(location) as connection:
            connection.execute("PRAGMA wal_checkpoint(TRUNCATE)")
        data = location.read_bytes()
        damaged = b"this is no database" * 300 if damage == "garbage" else data[: len(data) // 3]
        location.write_bytes(damaged)
        for argv in (["index", str(project)], ["find", "f1_1", "--root", str(project)],
                     ["tags", "-o", "-", "--root", str(project)]):
            status, out, err = cli(*argv)
            assert status == 2, argv
            assert err.startswith(f"brightloom-index: error: index {location} is damaged") and "--rebuild" in err
            assert err.count("\n") == 1
        assert location.read_bytes() == damaged
        status, _, err = cli("index", str(project), "--rebuild")
        assert status == 0 and "damaged" in err
        assert cli("find", "f1_1", "--root", str(project))[0] == 0


def start_refresh(root, *options):
    """An index run in its own process, streaming a record per parsed file."""
    return subprocess.Popen(PROGRAM + ["index", str(root), "--json", *options],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=ENV)


def read_records(process, count):
    for _ in range(count):
        line = process.stdout.readline()
        assert line, process.stderr.read()


def find_in_process(root, name):
    return subprocess.run(PROGRAM + ["find", name, "--root", str(root)], capture_output=True, text=True,
                          env=ENV, timeout=60)


@pytest.fixture
def big_project(tmp_path):
    """Enough parsing that a refresh is still running when the test acts.

    Each file record carries its outline, so a refresh whose output is not
    read stops on the full pipe, holding its transaction open.
    """
    root = tmp_path / "big"
    body = "".join(f"def old_{j}(x):\n    return x\n" for j in range(40))
    make_tree(root, {f"m{i:03}.py": body for i in range(200)})
    index(root)
    for i in range(200):
        (root / f"m{i:03}.py").write_text(body.replace("old_", "new_"))
    return root


class TestAtomicity:
    def test_full_disk_fails_cleanly_and_keeps_the_old_index(self, project, monkeypatch):
        index(project)
        before = dump(db_of(project))
        for i in range(200):
            (project / f"more{i}.py").write_text("".join(f"def g{i}_{j}(): pass\n" for j in range(30)))
        real_connect = store.connect

        def small_disk(location, wait_seconds):
            # SQLite's own page cap stands in for a full disk: the same SQLITE_FULL.
            connection = real_connect(location, wait_seconds)
            pages = connection.execute("PRAGMA page_count").fetchone()[0]
            connection.execute(f"PRAGMA max_page_count = {pages + 8}")
            return connection

        monkeypatch.setattr(store, "connect", small_disk)
        status, out, err = cli("index", str(project))
        assert (status, out) == (2, "")
        assert err == f"brightloom-index: error: index {db_of(project)}: database or disk is full\n"
        monkeypatch.undo()
        assert dump(db_of(project)) == before
        assert index(project)[-1]["refresh"]["new"] == 200

    @pytest.mark.parametrize("sig", [signal.SIGKILL, signal.SIGINT])
    def test_refresh_stopped_part_way_leaves_the_old_index(self, big_project, sig):
        before = dump(db_of(big_project))
        process = start_refresh(big_project)
        try:
            read_records(process, 5)
            # Readers go on meanwhile, and see the old index.
            found = find_in_process(big_project, "old_7")
            assert found.returncode == 0 and len(found.stdout.splitlines()) == 200
            process.send_signal(sig)
            # The parse workers share the error pipe: its end means they ended too.
            _, err = process.communicate(timeout=60)
        finally:
            process.kill()
        assert process.returncode == (-9 if sig == signal.SIGKILL else 130)
        assert err == b""
        assert dump(db_of(big_project)) == before
        with sqlite3.connect(db_of(big_project)) as connection:
            assert connection.execute("PRAGMA integrity_check").fetchone()[0] == "ok"
        summary = index(big_project)[-1]
        assert summary["refresh"]["changed"] == 200
        assert cli("find", "new_7", "--root", str(big_project))[0] == 0


class TestConcurrentRefresh:
    def test_second_refresh_waits_a_bounded_time_then_says_so(self, big_project):
        first = start_refresh(big_project)
        try:
            read_records(first, 1)
            started = time.monotonic()
            status, out, err = cli("index", str(big_project), "--wait", "0.3")
            assert status == 2 and out == ""
            assert "being refreshed by another process; gave up after 0.3 s" in err
            assert time.monotonic() - started < 20
            first.stdout.read()
            assert first.wait(timeout=120) == 0
        finally:
            first.kill()
        assert cli("find", "new_7", "--root", str(big_project))[0] == 0

    def test_two_refreshes_at_once_both_finish_and_agree(self, big_project, tmp_path):
        # Output to files: an undrained pipe would stall the lock holder.
        outputs = [tmp_path / f"out{i}" for i in range(2)]
        processes = [
            subprocess.Popen(PROGRAM + ["index", str(big_project), "--json", "--wait", "120"],
                             stdout=out.open("w"), stderr=subprocess.STDOUT, env=ENV)
            for out in outputs
        ]
        statuses = [process.wait(timeout=300) for process in processes]
        assert statuses == [0, 0], [out.read_text()[-300:] for out in outputs]
        summaries = [json.loads(out.read_text().splitlines()[-1]) for out in outputs]
        # One of them did the work; the other found it done.
        assert sorted(s["refresh"]["changed"] for s in summaries) == [0, 200]
        with sqlite3.connect(db_of(big_project)) as connection:
            assert connection.execute("PRAGMA integrity_check").fetchone()[0] == "ok"
        assert len(find_in_process(big_project, "new_7").stdout.splitlines()) == 200


def test_index_does_not_depend_on_worker_counts(tmp_path):
    """One scan worker and one parse process, or all of them: the same stored rows."""
    files = {}
    for i in range(150):
        files[f"d{i % 7}/f{i}.py"] = f"def f{i}():\r\n    return {i}\n" * (i % 5 + 1)
        files[f"d{i % 3}/g{i}.ts"] = f"class G{i} {{ m(): number {{ return {i}; }} }}\n"
    make_tree(tmp_path / "tree", files)
    dumps = []
    for cpus, jobs in (({0}, "1"), (os.sched_getaffinity(0), "3")):
        location = tmp_path / f"index-{jobs}.sqlite"
        done = subprocess.run(
            PROGRAM + ["index", str(tmp_path / "tree"), "--db", str(location), "--jobs", jobs],
            capture_output=True, text=True, env=ENV, timeout=300,
            preexec_fn=lambda cpus=cpus: os.sched_setaffinity(0, cpus))
        assert done.returncode == 0, done.stderr
        dumps.append(dump(location))
    assert dumps[0] == dumps[1]
    assert len(dumps[0][0]) == 300


@pytest.mark.parametrize("worker_start", ["import sys; sys.exit(3)", "import os; os.read(0, 1); os._exit(3)"])
def test_a_parse_worker_that_dies_fails_the_refresh_in_one_line(tmp_path, monkeypatch, worker_start):
    """Whether the worker is gone before its first request or dies on it."""
    from brightloom_index import parse_pool

    root = tmp_path / "repo"
    make_tree(root, {f"m{i:03}.py": f"def f{i}():\n    pass\n" for i in range(100)})
    assert cli("index", str(root), "--jobs", "1")[0] == 0
    (root / "m000.py").write_text("def changed():\n    pass\n")
    before = dump(db_of(root))
    monkeypatch.setattr(parse_pool, "WORKER_START", worker_start)
    status, out, err = cli("index", str(root), "--rebuild", "--jobs", "2")
    assert (status, out) == (2, "")
    assert err == "brightloom-index: error: a parse worker ended unexpectedly (exit status 3)\n"
    assert dump(db_of(root)) == before
