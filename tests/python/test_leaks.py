"""Resident memory stays flat over many calls of each command, whether the
call returns a reply, raises RuntimeError or raises TypeError."""
import gc
import os

import pytest

from brightloom_index_native import run

CALLS = 100_000
WARM_UP = 5_000
# One leaked allocation per call, however small, costs at least 32 bytes
# of heap: 3 MiB over the loop. Growth below 1.5 MiB is allocator noise.
MAX_GROWTH = 1536 * 1024

pytestmark = pytest.mark.skipif(
    bool(os.environ.get("BRIGHTLOOM_SANITIZER")),
    reason="a sanitizer's quarantine holds freed memory, so RSS says nothing there",
)


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def assert_flat(label, call):
    for _ in range(WARM_UP):
        call()
    gc.collect()
    before = resident_bytes()
    for _ in range(CALLS):
        call()
    gc.collect()
    growth = resident_bytes() - before
    print(f"{label}: resident memory grew by {growth} bytes over {CALLS} calls")
    assert growth < MAX_GROWTH, label


def raises(exception, command, payload):
    def call():
        try:
            run(command, payload)
        except exception:
            return
        raise AssertionError(f"{command} {payload!r} did not raise {exception.__name__}")

    return call


@pytest.fixture(scope="module")
def tree(tmp_path_factory):
    root = tmp_path_factory.mktemp("leaks")
    (root / "pkg").mkdir()
    (root / "pkg" / "a.py").write_text("class A:\n    def f(self):\n        return 1\n")
    (root / "pkg" / "b.rs").write_text("fn main() {\n    let x = ;\n}\n")
    (root / "c.ts").write_text("interface I { x: number }\r\n")
    (root / "bad.py").write_bytes(b"x = '\xff'\n")
    return root


def quoted(path):
    return '"' + str(path).replace("\\", "\\\\").replace('"', '\\"') + '"'


def test_hash(tree):
    payload = '{"path": %s}' % quoted(tree / "pkg" / "a.py")
    assert_flat("hash reply", lambda: run("hash", payload))
    missing = '{"path": %s}' % quoted(tree / "missing.py")
    assert_flat("hash RuntimeError", raises(RuntimeError, "hash", missing))
    assert_flat("hash TypeError", raises(TypeError, "hash", b"{}"))


def test_argument_errors_with_names_that_have_no_utf8_form():
    odd = type("Odd", (), {})
    odd.__qualname__ = "\ud800"
    instance = odd()

    def odd_type():
        try:
            run(instance, "{}")
        except TypeError:
            return
        raise AssertionError("an argument of an unnamable type did not raise TypeError")

    def odd_keyword():
        try:
            run("hash", "{}", **{"\udc80": 1})
        except TypeError:
            return
        raise AssertionError("a keyword with a lone surrogate did not raise TypeError")

    assert_flat("TypeError for an unnamable type", odd_type)
    assert_flat("TypeError for a keyword with a lone surrogate", odd_keyword)
    assert_flat("UnicodeEncodeError for a command", raises(UnicodeEncodeError, "\ud800", "{}"))


def test_scan(tree):
    payload = '{"root": %s, "max_files": 10}' % quoted(tree)
    assert_flat("scan reply", lambda: run("scan", payload))
    assert_flat("scan RuntimeError", raises(RuntimeError, "scan", '{"max_files": 10}'))
    assert_flat("scan TypeError", raises(TypeError, "scan", None))


def test_outline(tree):
    payload = '{"path": %s}' % quoted(tree / "pkg" / "a.py")
    assert_flat("outline reply", lambda: run("outline", payload))
    not_utf8 = '{"path": %s}' % quoted(tree / "bad.py")
    assert_flat("outline RuntimeError", raises(RuntimeError, "outline", not_utf8))
    assert_flat("outline TypeError", raises(TypeError, "outline", 12))


def test_syntax_check(tree):
    payload = '{"path": %s}' % quoted(tree / "pkg" / "b.rs")
    assert_flat("syntax-check reply", lambda: run("syntax-check", payload))
    # A malformed payload fails in the reader, before the command runs.
    assert_flat("syntax-check RuntimeError", raises(RuntimeError, "syntax-check", '{"content": "x", ]'))
    assert_flat("syntax-check TypeError", unexpected_keyword)


def unexpected_keyword():
    try:
        run("syntax-check", payload="{}")
    except TypeError:
        return
    raise AssertionError("an unexpected keyword did not raise TypeError")


# A big text's tree passes a hundred megabytes. The parse keeps up to 8 MiB
# of its arena for the next request; anything much beyond that stayed behind.
MAX_KEPT_AFTER_BIG_TEXT = 12 * 1024 * 1024
BIG_TEXT_PROBE = """
import json, os
from brightloom_index_native import run

def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

run("symbols", json.dumps({"content": "x = 1\\n", "language": "javascript"}))
big = json.dumps({"content": "function f(a) { return g(a, [1, 2, {b: 3}]); }\\n" * 8000,
                  "language": "javascript"})
before = resident_bytes()
reply = run("symbols", big)
del big, reply
print(resident_bytes() - before)
"""


def test_a_big_text_gives_its_memory_back():
    """A parse worker that met one big file does not stay that big for the rest of its life."""
    import subprocess
    import sys

    done = subprocess.run([sys.executable, "-c", BIG_TEXT_PROBE], capture_output=True, text=True, check=True)
    assert int(done.stdout) < MAX_KEPT_AFTER_BIG_TEXT, done.stdout
