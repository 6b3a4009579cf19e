"""What the index keeps of "symbols": definitions at any depth with their scope,
references with their source line (`refs`), tags files with scopes and
patterns, the new languages' files, and rows that always describe the text
parsed."""
import sqlite3

import pytest

from conftest import age_tree
from test_cli import cli, json_lines
from test_index_selection import make_tree

from brightloom_index.native_calls import NativeCaller
from brightloom_index_native import run

# Per language: a file, its text, and the start of `find`/`refs` lines it must give.
LANGUAGE_CASES = [
    ("app/shapes.py",
     "import os\n\nclass Shape:\n    def area(self):\n        def inner():\n            return os.sep\n"
     "        return inner()\n\nUNIT = Shape()\n",
     [("find", "inner", "app/shapes.py:5: function inner  def inner():"),
      ("find", "UNIT", "app/shapes.py:9: constant UNIT  UNIT = Shape()"),
      ("refs", "Shape", "app/shapes.py:9:8: call Shape"),
      ("refs", "os", "app/shapes.py:1:8: import os")]),
    ("src/task.rs",
     "mod inner {\n    pub struct JoinHandle<T>(T);\n    impl<T> Future for JoinHandle<T> {\n"
     "        fn poll(&self) { trace!(1); }\n    }\n}\n",
     [("find", "JoinHandle", "src/task.rs:2: struct JoinHandle  pub struct JoinHandle<T>(T);"),
      ("find", "poll", "src/task.rs:4: method poll  fn poll(&self) { trace!(1); }"),
      ("refs", "Future", "src/task.rs:3:13: implementation Future"),
      ("refs", "trace", "src/task.rs:4:26: macro trace")]),
    ("lib/rule.js",
     "module.exports = {\n  create(context) {\n    return new Visitor(context);\n  },\n};\n",
     [("find", "create", "lib/rule.js:2: method create  create(context) {"),
      ("refs", "Visitor", "lib/rule.js:3:16: new Visitor")]),
    ("cmd/main.go",
     "package main\n\nfunc Serve() {\n\tListen()\n}\n",
     [("find", "Serve", "cmd/main.go:3: function Serve  func Serve() {"),
      ("refs", "Listen", "cmd/main.go:4:2: call Listen")]),
    ("native/io.c",
     "static int read_all(int fd) {\n    return fill(fd);\n}\n",
     [("find", "read_all", "native/io.c:1: function read_all"),
      ("refs", "fill", "native/io.c:2:12: call fill")]),
]


@pytest.fixture
def indexed(tmp_path, monkeypatch):
    root = tmp_path / "repo"
    make_tree(root, {path: text for path, text, _ in LANGUAGE_CASES})
    age_tree(root)
    status, _, err = cli("index", str(root))
    assert status == 0, err
    monkeypatch.chdir(root)
    return root


@pytest.mark.parametrize("path, text, expected", LANGUAGE_CASES, ids=[case[0] for case in LANGUAGE_CASES])
def test_definitions_and_references_per_language(indexed, path, text, expected):
    for command, name, line in expected:
        status, out, err = cli(command, name)
        assert (status, err) == (0, ""), (command, name)
        assert any(shown.startswith(line) for shown in out.splitlines()), (command, name, out)


class TestRefs:
    def test_each_reference_is_followed_by_its_source_line(self, indexed):
        status, out, _ = cli("refs", "inner")
        assert (status, out) == (0, "app/shapes.py:7:16: call inner\n    return inner()\n")

    @pytest.mark.parametrize("argv, expected", [
        (["Shape"], ["app/shapes.py:9:8"]),
        (["--prefix", "Vis"], ["lib/rule.js:3:16"]),
        (["--glob", "*i*", "--kind", "call"], ["app/shapes.py:7:16", "cmd/main.go:4:2", "native/io.c:2:12"]),
        (["-i", "future"], ["src/task.rs:3:13"]),
        (["--language", "go,javascript", "--glob", "*"], ["cmd/main.go:4:2", "lib/rule.js:3:16"]),
        (["--kind", "macro,new", "--glob", "*"], ["lib/rule.js:3:16", "src/task.rs:4:26"]),
    ])
    def test_matching_as_find_does(self, indexed, argv, expected):
        status, out, _ = cli("refs", *argv)
        assert status == 0
        assert [line.rsplit(":", 1)[0] for line in out.splitlines()[::2]] == expected

    def test_nothing_found_is_status_1(self, indexed):
        assert cli("refs", "Nowhere") == (1, "", "")
        assert cli("refs", "Shape", "--kind", "import") == (1, "", "")

    def test_json_names_the_enclosing_definition(self, indexed, monkeypatch):
        monkeypatch.chdir(indexed / "lib")
        status, out, _ = cli("refs", "--json", "Visitor")
        assert json_lines(out) == [{
            "path": "rule.js", "line": 3, "column": 16, "kind": "new", "name": "Visitor",
            "language": "javascript", "scope": "create", "text": "    return new Visitor(context);",
        }]

    def test_lines_are_those_indexed_until_the_next_refresh(self, indexed):
        (indexed / "cmd/main.go").write_text("package main\n\nfunc Serve() {\n\tListen() // edited\n}\n")
        assert cli("refs", "Listen")[1].splitlines()[1] == "    Listen()"
        assert cli("refs", "--refresh", "Listen")[1].splitlines()[1] == "    Listen() // edited"


def test_tags_carry_scopes_and_patterns_for_every_depth(indexed):
    status, out, _ = cli("tags", "-o", "-")
    body = [line for line in out.splitlines() if not line.startswith("!_TAG_")]
    assert 'inner\tapp/shapes.py\t/^        def inner():$/;"\tkind:function\tline:5\tmethod:Shape.area\tend:6' in body
    assert 'poll\tsrc/task.rs\t/^        fn poll(&self) { trace!(1); }$/;"\tkind:method\tline:4' \
        '\timpl:inner::JoinHandle\tend:4' in body
    assert cli("tags", "-e") == (0, "", "")
    etags = (indexed / "TAGS").read_bytes()
    assert b"\x0c\napp/shapes.py," in etags and b"        def inner():\x7finner\x015,\n" in etags


def test_a_file_rewritten_during_a_refresh_is_stored_as_parsed(tmp_path):
    """The scan digests the whole text; the file is emptied before it is parsed.
    What is stored must be the empty text's digest, so the next refresh
    parses the file again instead of calling it unchanged."""
    root = tmp_path / "repo"
    text = "def survivor():\n    pass\n"
    make_tree(root, {"a.py": text})

    def emptying_run(command, payload):
        reply = run(command, payload)
        if command == "scan":
            (root / "a.py").write_text("")
        return reply

    assert cli("index", str(root), caller=NativeCaller(emptying_run))[0] == 0
    (root / "a.py").write_text(text)
    status, out, _ = cli("index", str(root), "--json")
    assert json_lines(out)[-1]["refresh"]["changed"] == 1
    assert cli("find", "survivor", "--root", str(root))[0] == 0


def test_a_large_first_index_builds_its_name_indexes(tmp_path):
    root = tmp_path / "repo"
    make_tree(root, {f"m{i:03}.py": f"def f{i}():\n    g{i}()\n" for i in range(300)})
    assert cli("index", str(root), "--jobs", "2")[0] == 0
    with sqlite3.connect(root / ".brightloom/index.sqlite") as connection:
        names = {row[0] for row in connection.execute("SELECT name FROM sqlite_master WHERE type = 'index'")}
        plan = connection.execute("EXPLAIN QUERY PLAN SELECT * FROM refs WHERE name = 'g7'").fetchall()
    connection.close()
    assert {"definitions_by_name", "refs_by_name", "definitions_by_folded_name", "refs_by_folded_name"} <= names
    assert "refs_by_name" in str(plan)
    assert cli("refs", "g299", "--root", str(root))[1].endswith("m299.py:2:5: call g299\n    g299()\n")
