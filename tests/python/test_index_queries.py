"""Answers from the stored index: `find` in each matching mode with its exit
statuses and paths, and `tags` files read back by readtags and Vim."""
import os
import shutil
import subprocess
import time

import pytest

from conftest import age_tree
from test_cli import cli, json_lines
from test_index_selection import make_tree

FILES = {
    "app.py": "class Parser:\n    def parse(self):\n        pass\n\n\ndef parse_all():\n    return 1\n",
    "lib/tool.rs": "struct Parser;\n\nfn parser_new() -> Parser {\n    Parser\n}\n",
    "web/ui.ts": "export function renderPage(): void {}\n\ninterface PageProps {}\n",
    "web/legacy.js": "function RenderPage() {}\n",
}


@pytest.fixture
def indexed(tmp_path, monkeypatch):
    root = tmp_path / "repo"
    make_tree(root, FILES)
    age_tree(root)
    assert cli("index", str(root))[0] == 0
    monkeypatch.chdir(root)
    return root


def found(*argv):
    status, out, err = cli("find", *argv)
    assert err == ""
    return status, out.splitlines()


class TestFind:
    def test_exact_name_prints_path_line_kind_name_signature(self, indexed):
        assert found("Parser") == (0, [
            "app.py:1: class Parser  class Parser:",
            "lib/tool.rs:1: struct Parser  struct Parser;",
        ])

    @pytest.mark.parametrize("argv, expected", [
        (["parse"], ["app.py:2"]),
        (["--prefix", "parse"], ["app.py:2", "app.py:6", "lib/tool.rs:3"]),
        (["--prefix", "Parse"], ["app.py:1", "lib/tool.rs:1"]),
        (["-i", "renderpage"], ["web/legacy.js:1", "web/ui.ts:1"]),
        (["--glob", "*Page*"], ["web/legacy.js:1", "web/ui.ts:1", "web/ui.ts:3"]),
        (["--glob", "[pP]age*"], ["web/ui.ts:3"]),
        (["--glob", "parse?all"], ["app.py:6"]),
        (["--glob", "-i", "*PAGE"], ["web/legacy.js:1", "web/ui.ts:1"]),
        (["-i", "--prefix", "PARSER"], ["app.py:1", "lib/tool.rs:1", "lib/tool.rs:3"]),
        (["--kind", "method", "--glob", "*"], ["app.py:2"]),
        (["--kind", "class,struct", "--glob", "*"], ["app.py:1", "lib/tool.rs:1"]),
        (["--language", "rust", "--glob", "*"], ["lib/tool.rs:1", "lib/tool.rs:3"]),
        (["--language", "typescript", "--language", "javascript", "-i", "RENDERPAGE"],
         ["web/legacy.js:1", "web/ui.ts:1"]),
    ])
    def test_matching_modes_and_filters(self, indexed, argv, expected):
        status, lines = found(*argv)
        assert status == 0
        assert [line.split(": ", 1)[0] for line in lines] == expected

    @pytest.mark.parametrize("argv", [["parse*"], ["--prefix", "pars?"], ["[pP]arser"]])
    def test_glob_characters_are_literal_without_glob_and_get_a_hint(self, indexed, argv):
        status, out, err = cli("find", *argv)
        assert (status, out) == (1, "")
        assert err == f"brightloom-index: note: {argv[-1]!r} is matched as a plain name; add --glob to match it as a pattern\n"
        assert cli("find", "-q", *argv) == (1, "", "")

    def test_nothing_found_is_status_1_and_silent(self, indexed):
        assert found("Nowhere") == (1, [])
        assert found("parse", "--kind", "class") == (1, [])

    def test_paths_are_relative_to_the_current_folder(self, indexed, monkeypatch):
        monkeypatch.chdir(indexed / "web")
        assert found("renderPage") == (0, ["ui.ts:1: function renderPage  function renderPage(): void {}"])
        assert found("parse_all")[1] == ["../app.py:6: function parse_all  def parse_all():"]
        monkeypatch.chdir(indexed.parent)
        assert found("parse_all", "--root", "repo")[1] == ["repo/app.py:6: function parse_all  def parse_all():"]

    def test_json_lines(self, indexed):
        status, out, _ = cli("find", "--json", "parse")
        assert status == 0
        assert json_lines(out) == [{
            "path": "app.py", "line": 2, "column": 9, "end_line": 3, "kind": "method", "name": "parse",
            "signature": "def parse(self):", "language": "python", "depth": 1, "scope": "Parser",
        }]

    def test_missing_index_is_status_2_with_a_hint(self, tmp_path, monkeypatch):
        monkeypatch.chdir(tmp_path)
        status, out, err = cli("find", "x")
        assert (status, out) == (2, "")
        assert "no index in this folder or its parents" in err and "brightloom-index index" in err
        status, _, err = cli("find", "x", "--db", str(tmp_path / "none.sqlite"))
        assert status == 2 and f"no index at {tmp_path / 'none.sqlite'}" in err
        assert not (tmp_path / "none.sqlite").exists()

    def test_db_elsewhere_remembers_its_root(self, tmp_path, monkeypatch):
        make_tree(tmp_path / "src", FILES)
        age_tree(tmp_path / "src")
        assert cli("index", str(tmp_path / "src"), "--db", str(tmp_path / "x.sqlite"))[0] == 0
        monkeypatch.chdir(tmp_path)
        assert found("parse_all", "--db", "x.sqlite")[1] == ["src/app.py:6: function parse_all  def parse_all():"]

    def test_refreshes_only_when_asked(self, indexed):
        (indexed / "app.py").write_text("def brand_new():\n    pass\n")
        status, out, err = cli("find", "brand_new")
        assert (status, out) == (1, "")
        assert err.startswith("brightloom-index: note: 1 file changed since the last refresh (app.py)")
        # Written in the refresh's clock tick, the file would still count as changed.
        time.sleep(0.02)
        status, out, err = cli("find", "--refresh", "brand_new")
        assert status == 0 and out == "app.py:1: function brand_new  def brand_new():\n"
        assert found("parse_all") == (1, [])

    def test_refresh_creates_a_missing_index_in_its_default_place(self, tmp_path):
        make_tree(tmp_path, FILES)
        status, out, _ = cli("find", "--refresh", "parse_all", "--root", str(tmp_path))
        assert status == 0
        assert out == f"{os.path.relpath(tmp_path / 'app.py')}:6: function parse_all  def parse_all():\n"
        assert (tmp_path / ".brightloom/.gitignore").read_text() == "*\n"

    def test_refresh_keeps_the_rules_of_the_last_index(self, tmp_path, monkeypatch):
        make_tree(tmp_path, FILES)
        assert cli("index", str(tmp_path), "--exclude", "lib/")[0] == 0
        monkeypatch.chdir(tmp_path)
        assert found("--refresh", "Parser")[1] == ["app.py:1: class Parser  class Parser:"]


def tags_for(root, *argv):
    status, out, err = cli("tags", *argv)
    assert (status, err) == (0, "")
    return out


class TestTags:
    def test_format_header_and_bytewise_order(self, indexed):
        lines = tags_for(indexed, "-o", "-").splitlines()
        assert lines[:2] == [
            '!_TAG_FILE_FORMAT\t2\t/extended format; --format=1 will not append ;" to lines/',
            "!_TAG_FILE_SORTED\t1\t/0=unsorted, 1=sorted, 2=foldcase/",
        ]
        assert "!_TAG_PROGRAM_NAME\tbrightloom-index\t//" in lines
        body = [line for line in lines if not line.startswith("!_TAG_")]
        assert [line.split("\t")[0] for line in body] == [
            "PageProps", "Parser", "Parser", "RenderPage", "parse", "parse_all", "parser_new", "renderPage",
        ]
        assert 'parse_all\tapp.py\t/^def parse_all():$/;"\tkind:function\tline:6\tend:7' in body
        assert 'parse\tapp.py\t/^    def parse(self):$/;"\tkind:method\tline:2\tclass:Parser\tend:3' in body

    def test_paths_are_relative_to_the_tags_file(self, indexed):
        (indexed / "out").mkdir()
        tags_for(indexed, "-o", "out/tags")
        assert "\t../lib/tool.rs\t/^fn parser_new() -> Parser {$/;\"" in (indexed / "out/tags").read_text()

    def test_rewrite_replaces_the_file_instead_of_writing_into_it(self, indexed):
        tags_for(indexed)
        os.link(indexed / "tags", indexed / "tags.before")
        (indexed / "app.py").write_text("def replaced():\n    pass\n")
        assert cli("index", ".")[0] == 0
        tags_for(indexed)
        assert "replaced" in (indexed / "tags").read_text()
        assert "replaced" not in (indexed / "tags.before").read_text()
        assert sorted(p.name for p in indexed.iterdir() if p.name.startswith(".tags")) == []

    def test_unwritable_output_is_one_line_and_status_2(self, indexed):
        status, out, err = cli("tags", "-o", "missing/tags")
        assert (status, out) == (2, "")
        assert err == "brightloom-index: error: cannot write missing/tags: No such file or directory\n"

    @pytest.mark.skipif(shutil.which("readtags") is None, reason="universal-ctags not installed")
    def test_readtags_finds_every_symbol(self, indexed):
        tags_for(indexed, "-o", "tags")
        for name, path, line in [("Parser", "app.py", 1), ("parser_new", "lib/tool.rs", 3),
                                 ("renderPage", "web/ui.ts", 1), ("PageProps", "web/ui.ts", 3),
                                 ("parse", "app.py", 2)]:
            done = subprocess.run(["readtags", "-e", "-n", "-t", "tags", name], capture_output=True, text=True,
                                  check=True)
            entries = [entry.split("\t") for entry in done.stdout.splitlines()]
            assert [path, f"line:{line}"] in [[entry[1], entry[4]] for entry in entries], done.stdout
        # Binary search relies on the sort: a name absent from the file is not found.
        assert subprocess.run(["readtags", "-t", "tags", "Nowhere"], capture_output=True, text=True).stdout == ""

    @pytest.mark.skipif(shutil.which("vim") is None, reason="vim not installed")
    def test_vim_jumps_to_the_declaration(self, indexed, tmp_path):
        (indexed / "out").mkdir()
        tags_for(indexed, "-o", "out/tags")
        for name, path, line in [("parse_all", "app.py", 6), ("parser_new", "lib/tool.rs", 3),
                                 ("PageProps", "web/ui.ts", 3)]:
            report = tmp_path / "where"
            script = (f"set tags={indexed / 'out/tags'}", f"tag {name}",
                      f"call writefile([expand('%:p') . ':' . line('.')], '{report}')", "qa!")
            argv = ["vim", "-es", "-N", "-u", "NONE", "-i", "NONE"]
            for command in script:
                argv += ["-c", command]
            subprocess.run(argv, cwd=indexed, capture_output=True, timeout=60)
            assert report.read_text() == f"{indexed / path}:{line}\n", name
