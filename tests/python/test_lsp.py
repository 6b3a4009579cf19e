"""The language server: position arithmetic and framing alone, the query
layer on a real index, and whole sessions through Neovim's client, the
vscode-jsonrpc client (tests/lsp_client) and a raw client for faults."""
import json
import os
import shutil
import subprocess
import sys
import time
from pathlib import Path

import pytest

import brightloom_index_native

SOURCE_DIR = Path(os.environ.get("BRIGHTLOOM_SOURCE_DIR", Path(__file__).resolve().parents[2]))
sys.path.insert(0, str(SOURCE_DIR / "python"))

from brightloom_index.lsp import jsonrpc  # noqa: E402
from brightloom_index.lsp.code_queries import Buffer, CodeQueries, Definition, nest  # noqa: E402
from brightloom_index.lsp.documents import (  # noqa: E402
    UTF8, UTF16, TextDocument, character_in_line, index_in_line, index_of_byte_column, word_at,
)
from brightloom_index.native_calls import NativeCaller  # noqa: E402
from test_cli import cli  # noqa: E402
from test_index_selection import make_tree  # noqa: E402

SERVER = [sys.executable, "-m", "brightloom_index", "lsp"]
ENVIRONMENT = {
    **os.environ,
    "PYTHONPATH": os.pathsep.join([os.path.dirname(brightloom_index_native.__file__), str(SOURCE_DIR / "python")]),
}

SAMPLE = {
    "pkg/shapes.py": "class Circle:\n    def area(self, radius):\n        return 3.14 * radius * radius\n\n\n"
    "def make_circle():\n    return Circle()\n",
    "app/main.py": "from pkg.shapes import make_circle, Circle\n\nshape = make_circle()\nprint(shape.area(2), Circle)\n",
    "app/broken.py": "def ok():\n    pass\n\ndef broken(:\n    pass\n",
}


@pytest.fixture
def sample(tmp_path):
    root = tmp_path / "sample"
    make_tree(root, SAMPLE)
    subprocess.run(["git", "init", "-q", str(root)], check=True)
    assert cli("index", str(root))[0] == 0
    return root


# Positions: (line, character in the encoding, index in the line) -------------------

LINE = 'a = "é😀"; b'
POSITIONS = [
    # encoding, character, index
    (UTF16, 5, 5),   # é is one unit
    (UTF16, 6, 6),   # 😀 starts here
    (UTF16, 7, 6),   # inside the surrogate pair: the character's start
    (UTF16, 8, 7),
    (UTF16, 99, len(LINE)),
    (UTF8, 5, 5),
    (UTF8, 7, 6),    # é is two bytes
    (UTF8, 11, 7),   # 😀 is four bytes
]


@pytest.mark.parametrize("encoding, character, index", POSITIONS)
def test_positions_convert_both_ways(encoding, character, index):
    assert index_in_line(LINE, character, encoding) == index
    if character < 99 and (encoding, character) != (UTF16, 7):
        assert character_in_line(LINE, index, encoding) == character


def test_byte_columns_and_words():
    assert index_of_byte_column("é = x", 4) == 2  # "=" is the fourth byte
    assert index_of_byte_column("abc", 10) == 3
    assert word_at("foo(bar_baz)", 6) == (4, 11)
    assert word_at("foo(bar_baz)", 11) == (4, 11)  # just after the word
    assert word_at("x + 1", 2) is None
    assert word_at("12abc", 3) is None


def test_incremental_edits_in_either_encoding():
    document = TextDocument("file:///t.js", "😀x\r\nsecond\nthird", 1, "javascript")
    document.apply_change({"range": {"start": {"line": 0, "character": 2}, "end": {"line": 0, "character": 3}},
                           "text": "Y"}, UTF16)
    assert document.line(0) == "😀Y"
    document.apply_change({"range": {"start": {"line": 1, "character": 6}, "end": {"line": 2, "character": 0}},
                           "text": " and "}, UTF8)
    assert document.text == "😀Y\r\nsecond and third"
    assert document.position(len("😀Y\r\nsec"), UTF16) == {"line": 1, "character": 3}
    document.apply_change({"text": "whole"}, UTF16)
    assert (document.text, document.line_count) == ("whole", 1)


# Framing -------------------------------------------------------------------------

class Stream:
    def __init__(self, data):
        import io

        self.buffer = io.BytesIO(data)

    def readline(self, limit):
        return self.buffer.readline(limit)

    def read(self, count):
        return self.buffer.read(count)


@pytest.mark.parametrize("data, fault", [
    (b"Content-Length: 5\r\n\r\nab", "inside a message body"),
    (b"Content-Length: x\r\n\r\n", "bad Content-Length"),
    (b"Content-Type: a\r\n\r\n{}", "without Content-Length"),
    (b"Content-Length: 2\r\n", "inside a header"),
    (b"X: " + b"a" * 9000 + b"\r\n", "too long"),
], ids=["short body", "bad length", "no length", "cut header", "long header"])
def test_broken_frames_stop_the_reader(data, fault):
    with pytest.raises(jsonrpc.ProtocolError, match=fault):
        jsonrpc.read_frame(Stream(data))


def test_frames_read_back():
    stream = Stream(jsonrpc.frame({"a": "é"}) + b"\r\ncontent-length: 2\r\n\r\n{}")
    assert json.loads(jsonrpc.read_frame(stream)) == {"a": "é"}
    assert jsonrpc.read_frame(stream) == b"{}"
    assert jsonrpc.read_frame(stream) is None


# The query layer ------------------------------------------------------------------

def test_nesting_follows_scopes():
    def at(name, scope):
        return Definition("/p", 1, 1, 0, "function", name, "", scope)

    # A scope pointing at itself or past the list is taken as file level.
    roots = nest([at("A", None), at("a1", 0), at("inner", 1), at("B", None), at("b1", 3), at("odd", 5), at("far", 99)])
    def shape(nodes):
        return [(node.definition.name, shape(node.children)) for node in nodes]

    assert shape(roots) == [
        ("A", [("a1", [("inner", [])])]), ("B", [("b1", [])]), ("odd", []), ("far", []),
    ]


def test_ranking_of_definitions_and_symbols(tmp_path):
    root = tmp_path / "ranked"
    make_tree(root, {
        "a/b/here.py": "handle()\n",
        "a/b/near.py": "def handle():\n    pass\n",
        "a/mid.py": "def handle():\n    pass\n",
        "z/far.py": "def handle():\n    pass\n\ndef handler_of_everything():\n    handle()\n",
        "z/sub.py": "class Unhandled:\n    pass\n",
    })
    assert cli("index", str(root))[0] == 0
    queries = CodeQueries([str(root)], NativeCaller())
    here = str(root / "a/b/here.py")
    buffers = {here: Buffer(here, "def handle():\n    pass\n\nhandle()\n", "python")}
    found = queries.definitions("handle", here, buffers)
    assert [os.path.relpath(item.path, root) for item in found] == [
        "a/b/here.py", "a/b/near.py", "a/mid.py", "z/far.py",
    ]
    assert [item.name for item in queries.workspace_symbols("HANDLE", buffers)] == [
        "handle", "handle", "handle", "handle", "handler_of_everything", "Unhandled",
    ]
    # Calls only (a definition is not a reference), the buffer's rather than its file's.
    references = queries.references("handle", buffers)
    assert [(os.path.relpath(item.path, root), item.line, item.column) for item in references] == [
        ("a/b/here.py", 4, 0), ("z/far.py", 5, 4),
    ]
    queries.close()


# Whole sessions -----------------------------------------------------------------------

class RawClient:
    """Frames messages by hand, to send what a well-behaved client library never would."""

    def __init__(self, cwd):
        import queue
        import threading

        self.process = subprocess.Popen(
            SERVER, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, env=ENVIRONMENT, cwd=cwd
        )
        self.inbox = queue.Queue()
        self.held = []
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        while (body := jsonrpc.read_frame(self.process.stdout)) is not None:
            self.inbox.put(json.loads(body))

    def send(self, message):
        self.process.stdin.write(jsonrpc.frame(message))
        self.process.stdin.flush()

    def wait_for(self, accept):
        """The first message `accept` takes; the others are held for later calls."""
        for message in self.held:
            if accept(message):
                self.held.remove(message)
                return message
        while True:
            message = self.inbox.get(timeout=20)
            if accept(message):
                return message
            self.held.append(message)

    def request(self, request_id, method, params):
        self.send({"jsonrpc": "2.0", "id": request_id, "method": method, "params": params})
        return self.wait_for(lambda message: message.get("id") == request_id)

    def finish(self):
        self.process.stdin.close()
        status = self.process.wait(timeout=10)
        self.process.stdout.close()
        return status


def test_faults_get_answers_and_the_server_goes_on(sample, tmp_path):
    outside = tmp_path / "outside.py"
    outside.write_text("def elsewhere():\n    pass\n")
    (sample / "app/latin1.py").write_bytes(b"caf\xe9 = 1\n")
    client = RawClient(sample)
    assert client.request(1, "initialize", {"rootUri": sample.as_uri(), "capabilities": {}})["result"]
    client.send({"jsonrpc": "2.0", "method": "initialized", "params": {}})
    main = (sample / "app/main.py").as_uri()
    at_circle = {"textDocument": {"uri": main}, "position": {"line": 0, "character": 38}}
    crashed = client.request(2, "textDocument/references", {**at_circle, "context": "not an object"})
    assert crashed["error"]["code"] == jsonrpc.INTERNAL_ERROR
    for request_id, uri in ((3, outside.as_uri()), (4, (sample / "app/latin1.py").as_uri()), (5, "untitled:1")):
        answer = client.request(request_id, "textDocument/documentSymbol", {"textDocument": {"uri": uri}})
        assert answer["result"] == []
    # A text past the parse limits: no symbols, and a warning instead of errors.
    dense = (sample / "app/runaway.ts").as_uri()
    # A text whose error recovery runs away (found by fuzzing the module).
    runaway = "let x: = 1;\nik\x00[\x00ntace langua" + "\n" * 50 + "}m" + "\n" * 17 + "\x00\x00\x00\n{"
    client.send({"jsonrpc": "2.0", "method": "textDocument/didOpen", "params": {"textDocument": {
        "uri": dense, "languageId": "typescript", "version": 1, "text": runaway}}})
    assert client.request(6, "textDocument/documentSymbol", {"textDocument": {"uri": dense}})["result"] == []
    published = client.wait_for(lambda message: message.get("params", {}).get("uri") == dense)
    assert published["params"]["diagnostics"][0]["message"].startswith("not checked: source text is too costly")
    found = client.request(7, "textDocument/references", {**at_circle, "context": {"includeDeclaration": True}})
    # The import, the definition and the call; `Circle` passed as a value names no definition.
    assert len(found["result"]) == 3
    assert client.finish() == 1  # input closed without shutdown


def refreshes_running(server_pid):
    """Whether the server has a refresh child at the moment."""
    for entry in Path("/proc").iterdir():
        try:
            if entry.name.isdigit() and int((entry / "stat").read_text().rsplit(")", 1)[1].split()[1]) == server_pid:
                if b"brightloom_index.lsp.refresh" in (entry / "cmdline").read_bytes():
                    return True
        except (OSError, ValueError, IndexError):
            continue
    return False


def wait_until(condition, seconds=30):
    deadline = time.monotonic() + seconds
    while not condition():
        assert time.monotonic() < deadline, "timed out"
        time.sleep(0.05)


def test_a_saved_file_reaches_the_index(sample):
    client = RawClient(sample)
    client.request(1, "initialize", {"rootUri": sample.as_uri(), "capabilities": {}})
    client.send({"jsonrpc": "2.0", "method": "initialized", "params": {}})
    # The refresh that follows initialized starts at once; let it finish first.
    wait_until(lambda: refreshes_running(client.process.pid))
    wait_until(lambda: not refreshes_running(client.process.pid))
    added = sample / "pkg" / "added.py"
    added.write_text("def saved_just_now():\n    pass\n")
    query = {"query": "saved_just"}
    assert client.request(2, "workspace/symbol", query)["result"] == []
    client.send({"jsonrpc": "2.0", "method": "textDocument/didSave", "params": {"textDocument": {"uri": added.as_uri()}}})
    asked = iter(range(3, 10_000))
    wait_until(lambda: client.request(next(asked), "workspace/symbol", query)["result"] != [])
    assert [symbol["name"] for symbol in client.request(0, "workspace/symbol", query)["result"]] == ["saved_just_now"]
    client.request(1, "shutdown", None)
    client.send({"jsonrpc": "2.0", "method": "exit"})
    assert client.process.wait(timeout=10) == 0


def test_neovim_session(sample, tmp_path):
    if shutil.which("nvim") is None:
        pytest.skip("Neovim is not installed (Debian: apt-get install neovim)")
    result = tmp_path / "result.json"
    environment = {**ENVIRONMENT, "SAMPLE_ROOT": str(sample), "RESULT_FILE": str(result),
                   "LSP_SERVER_COMMAND": json.dumps(SERVER)}
    script = Path(__file__).parent / "nvim" / "lsp_session.lua"
    subprocess.run(["nvim", "--headless", "--clean", "-c", f"luafile {script}"],
                   env=environment, timeout=120, check=True, stdin=subprocess.DEVNULL)
    findings = json.loads(result.read_text())
    assert "failure" not in findings, findings.get("failure")
    assert findings["definition"] == {"file": str(sample / "pkg/shapes.py"), "cursor": [6, 4]}
    assert [(os.path.relpath(item["file"], sample), item["line"], item["col"]) for item in findings["references"]] == [
        ("app/main.py", 1, 37), ("pkg/shapes.py", 1, 7), ("pkg/shapes.py", 7, 12),
    ]
    assert findings["workspace_symbols"] == ["Circle", "make_circle"]
    assert findings["diagnostics"] == [{"line": 3, "col": 11, "message": "missing )"}]


def test_protocol_through_vscode_jsonrpc():
    client_folder = SOURCE_DIR / "tests" / "lsp_client"
    if shutil.which("node") is None or not (client_folder / "node_modules" / "vscode-jsonrpc").is_dir():
        pytest.skip("node or tests/lsp_client/node_modules missing (scripts/setup.sh installs them)")
    completed = subprocess.run(
        ["node", "--test", "--test-timeout=60000", str(client_folder / "protocol_test.js")],
        env={**ENVIRONMENT, "LSP_SERVER_COMMAND": json.dumps(SERVER)},
        capture_output=True, text=True, timeout=300, stdin=subprocess.DEVNULL,
    )
    assert completed.returncode == 0, completed.stdout[-4000:] + completed.stderr[-2000:]
