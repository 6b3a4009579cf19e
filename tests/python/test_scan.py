"""The scan through run(): a smoke call, the error text, and scans in forked
children after the parent has made its worker pool."""
import json
import multiprocessing
import os
import signal

import pytest

from brightloom_index_native import run


def _make_tree(root):
    (root / "src").mkdir()
    (root / "src" / "a.py").write_text("print(1)\n")
    (root / "src" / "b.rs").write_bytes(b"fn main() {}\r\n")
    (root / "README.md").write_text("hello")
    (root / "node_modules").mkdir()
    (root / "node_modules" / "x.js").write_text("x")
    (root / "notes.txt").write_text("not listed")


def _scan(root, **options):
    return json.loads(run("scan", json.dumps({"root": str(root), **options})))


def test_scan_reply_text(tmp_path):
    _make_tree(tmp_path)
    reply = run("scan", json.dumps({"root": str(tmp_path), "max_files": 2}))
    readme_hash = json.loads(run("hash", json.dumps({"path": str(tmp_path / "README.md")})))["hash"]
    a_hash = json.loads(run("hash", json.dumps({"path": str(tmp_path / "src" / "a.py")})))["hash"]
    assert reply == (
        '{"count":2,"entries":['
        '{"file_hash":"%s","path":"README.md","total_lines":1},'
        '{"file_hash":"%s","path":"src/a.py","total_lines":2}],"ok":true}' % (readme_hash, a_hash)
    )


def test_scan_without_root_raises(tmp_path):
    for payload in ("{}", "null", '{"root": 1}', '{"max_files": 3}'):
        with pytest.raises(RuntimeError) as caught:
            run("scan", payload)
        assert str(caught.value) == "missing required field: root"


def test_scan_of_missing_root_is_empty(tmp_path):
    assert _scan(tmp_path / "gone") == {"count": 0, "entries": [], "ok": True}


def _paths(root):
    return [entry["path"] for entry in _scan(root)["entries"]]


def test_scan_in_a_child_after_os_fork(tmp_path):
    _make_tree(tmp_path)
    expected = ["README.md", "src/a.py", "src/b.rs"]
    assert _paths(tmp_path) == expected  # the parent's pool exists now
    pid = os.fork()
    if pid == 0:
        code = 1
        try:
            signal.alarm(30)  # a hang kills the child instead of the suite
            code = 0 if _paths(tmp_path) == expected else 1
        finally:
            os._exit(code)
    _, status = os.waitpid(pid, 0)
    assert os.WIFEXITED(status), "child ended by a signal (a hang was stopped)"
    assert os.WEXITSTATUS(status) == 0


def test_scan_in_multiprocessing_fork_workers(tmp_path):
    _make_tree(tmp_path)
    expected = _paths(tmp_path)
    context = multiprocessing.get_context("fork")
    with context.Pool(2) as pool:
        results = pool.map_async(_paths, [tmp_path] * 4).get(timeout=60)
    assert results == [expected] * 4
