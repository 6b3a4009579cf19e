"""The brightloom-index command line on temporary trees: JSON output against
the module's own replies, exit statuses, the index summary, help texts."""
import io
import json
import subprocess
import sys

import pytest

from conftest import CLI_ENV

from brightloom_index.cli import main
from brightloom_index.native_calls import NativeCaller
from brightloom_index.render import ProgressBar, table
from brightloom_index_native import run

APP_PY = "class A:\n    def f(self):\n        pass\n\ndef g():\n    return 1\n"
LIB_RS = "struct S;\nimpl S {\n    fn new() -> S { S }\n}\n"


@pytest.fixture
def tree(tmp_path):
    files = {
        "app.py": APP_PY,
        "broken.py": "x = (\n",
        "lib.rs": LIB_RS,
        "notes.md": "# notes\n",
        "data.json": '{"a": 1}',
        "node_modules/hidden.py": "def hidden(): pass\n",
        "sub/crlf.py": "def k():\r\n    pass\r\n",
    }
    for name, text in files.items():
        path = tmp_path / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(text.encode())
    return tmp_path


def cli(*argv, caller=None):
    """Runs the command line in-process; returns (status, stdout, stderr)."""
    out, err = io.StringIO(), io.StringIO()
    status = main(list(argv), stdout=out, stderr=err, caller=caller)
    return status, out.getvalue(), err.getvalue()


def json_lines(text):
    return [json.loads(line) for line in text.splitlines()]


def reply(command, payload):
    return json.loads(run(command, json.dumps(payload)))


class TestJsonEqualsReplies:
    def test_hash_gives_one_line_per_file_in_argument_order(self, tree):
        status, out, err = cli("hash", "--json", str(tree / "lib.rs"), str(tree / "app.py"))
        assert (status, err) == (0, "")
        lines = json_lines(out)
        assert [line.pop("path") for line in lines] == [str(tree / "lib.rs"), str(tree / "app.py")]
        assert lines == [reply("hash", {"path": str(tree / name)}) for name in ("lib.rs", "app.py")]

    def test_scan_with_extensions_and_limit(self, tree):
        status, out, _ = cli("scan", str(tree), "--ext", "py,.rs", "--max-files", "3", "--json")
        assert status == 0
        expected = reply("scan", {"root": str(tree), "extensions": ["py", ".rs"], "max_files": 3})
        assert json_lines(out) == [expected]
        assert [entry["path"] for entry in expected["entries"]] == ["app.py", "broken.py", "lib.rs"]

    def test_scan_defaults_are_the_module_defaults(self, tree):
        _, out, _ = cli("--json", "scan", str(tree))
        assert json_lines(out) == [reply("scan", {"root": str(tree)})]

    @pytest.mark.parametrize("command, native", [("outline", "outline"), ("check", "syntax-check")])
    def test_outline_and_check(self, tree, command, native):
        for name in ("app.py", "broken.py", "data.json", "notes.md"):
            _, out, _ = cli(command, "--json", str(tree / name))
            assert json_lines(out) == [reply(native, {"path": str(tree / name)})]
        _, out, _ = cli(command, "--json", "--language", "rust", str(tree / "app.py"))
        assert json_lines(out) == [reply(native, {"path": str(tree / "app.py"), "language": "rust"})]


class TestExitStatus:
    def test_check_is_1_only_when_errors_are_found(self, tree):
        assert cli("check", str(tree / "app.py"))[0] == 0
        assert cli("check", str(tree / "broken.py"))[0] == 1
        assert cli("check", "--json", str(tree / "broken.py"))[0] == 1
        assert cli("check", str(tree / "notes.md"))[0] == 0

    @pytest.mark.parametrize("command", ["hash", "outline", "check"])
    def test_unreadable_file_is_one_line_with_the_module_message(self, tree, command):
        status, out, err = cli(command, str(tree / "missing.py"))
        assert status == 2
        assert out == ""
        assert err.endswith("No such file or directory (os error 2)\n")
        assert err.count("\n") == 1

    def test_hash_goes_on_after_a_bad_file(self, tree):
        status, out, err = cli("hash", str(tree), str(tree / "app.py"))
        assert status == 2
        assert err == f"brightloom-index: error: {tree}: Is a directory (os error 21)\n"
        assert out == reply("hash", {"path": str(tree / "app.py")})["hash"] + f"  {tree / 'app.py'}\n"

    @pytest.mark.parametrize(
        "argv, fragment",
        [
            ([], "the following arguments are required: COMMAND"),
            (["frob"], "invalid choice: 'frob'"),
            (["hash"], "the following arguments are required: FILE"),
            (["scan", "--max-files", "-1"], "out of range"),
            (["scan", "--max-files", "ten"], "not a whole number: 'ten'"),
            (["outline", "a.py", "b.py"], "unrecognized arguments: b.py"),
            (["index", "--bogus"], "unrecognized arguments: --bogus"),
        ],
    )
    def test_usage_errors(self, argv, fragment):
        status, out, err = cli(*argv)
        assert status == 2
        assert out == ""
        assert err.startswith("brightloom-index: error: ") and fragment in err
        assert err.count("\n") == 1

    def test_undecodable_file_name_is_a_clear_failure(self, tree):
        status, _, err = cli("hash", str(tree) + "/\udcff.py")
        assert status == 2
        assert "not valid UTF-8" in err


class TestIndex:
    def test_summary_figures(self, tree):
        status, out, err = cli("index", str(tree), "--json")
        assert (status, err) == (0, "")
        records = json_lines(out)
        assert [r["record"] for r in records] == ["file"] * 5 + ["summary"]
        summary = records[-1]
        assert summary["files"] == 5
        assert summary["refresh"] == {"new": 5, "changed": 0, "removed": 0, "unchanged": 0}
        assert summary["languages"] == [
            {"language": "json", "files": 1, "lines": 1},
            {"language": "python", "files": 3, "lines": 12},
            {"language": "rust", "files": 1, "lines": 5},
        ]
        assert summary["symbols"] == {"class": 1, "function": 2, "impl": 1, "method": 2, "struct": 1}
        broken = reply("syntax-check", {"path": str(tree / "broken.py")})
        assert summary["files_with_errors"] == [{"path": "broken.py", "error_count": broken["error_count"]}]
        assert summary["limits"] == {
            "scan_cut": False, "max_files": None, "outlines_cut": [], "checks_cut": [], "unreadable": []
        }
        assert summary["slowest_step"]["command"] in {"scan", "symbols"}

    def test_file_records_are_the_module_replies(self, tree):
        _, out, _ = cli("index", str(tree), "--json")
        files = [r for r in json_lines(out) if r["record"] == "file"]
        assert [r["path"] for r in files] == ["app.py", "broken.py", "data.json", "lib.rs", "sub/crlf.py"]
        for record in files:
            payload = {"path": f"{tree}/{record['path']}", "language": record["language"]}
            assert record["outline"] == reply("outline", payload)
            assert record["check"] == reply("syntax-check", payload)

    def test_limits_are_reported(self, tmp_path):
        (tmp_path / "many.py").write_text("".join(f"def f{i}(): pass\n" for i in range(250)))
        (tmp_path / "bad.py").write_text("f(1,,2)\n" * 30)
        (tmp_path / "gone.py").write_text("def gone(): pass\n")
        (tmp_path / "zz.py").write_text("def left_out(): pass\n")

        def removing_run(command, payload):
            # The file disappears between its digest and its outline.
            answer = run(command, payload)
            if command == "scan":
                (tmp_path / "gone.py").unlink()
            return answer

        status, out, _ = cli("index", str(tmp_path), "--max-files", "3", "--json", caller=NativeCaller(removing_run))
        assert status == 0
        limits = json_lines(out)[-1]["limits"]
        assert limits == {
            "scan_cut": True,
            "max_files": 3,
            "outlines_cut": ["many.py"],
            "checks_cut": ["bad.py"],
            "unreadable": [{"path": "gone.py", "error": "No such file or directory (os error 2)"}],
        }

    def test_limit_not_reached_is_not_reported_as_cut(self, tmp_path):
        for name in ("a.py", "b.py", "c.py"):
            (tmp_path / name).write_text("x = 1\n")
        _, out, _ = cli("index", str(tmp_path), "--max-files", "3", "--json")
        assert json_lines(out)[-1]["limits"]["scan_cut"] is False

    def test_human_summary_names_languages_kinds_and_errors(self, tree):
        status, out, _ = cli("index", str(tree))
        assert status == 0
        assert "python" in out and "rust" in out
        assert "broken.py" in out
        assert "Slowest step:" in out


class TestPresentation:
    def test_outline_table_and_check_locations(self, tree):
        _, out, _ = cli("outline", str(tree / "app.py"))
        assert out.splitlines() == [
            "LINE  END  KIND      NAME  SIGNATURE",
            "   1    3  class     A     class A:",
            "   2    3  method      f   def f(self):",
            "   5    6  function  g     def g():",
            "3 symbols (python)",
        ]
        _, out, _ = cli("check", str(tree / "broken.py"))
        first = reply("syntax-check", {"path": str(tree / "broken.py")})["errors"][0]
        assert out.startswith(f"{tree / 'broken.py'}:{first['line']}:{first['column']}: {first['kind']}: ")

    def test_table_aligns_numbers_right(self):
        assert table(["NAME", "N"], [["a", 5], ["bbb", 12]]) == "NAME   N\na      5\nbbb   12"

    def test_progress_bar_redraws_one_line_and_clears_it(self):
        stream = io.StringIO()
        bar = ProgressBar(stream)
        bar.update(1, 2, "a.py")
        bar.update(2, 2, "b.py")
        bar.finish()
        text = stream.getvalue()
        assert "\n" not in text
        assert f"[{'#' * 15}{'.' * 15}] 1/2 a.py" in text
        assert f"[{'#' * 30}] 2/2 b.py" in text
        assert text.endswith("\r\x1b[K")

    def test_profile_reports_the_share_inside_run(self, tree):
        status, _, err = cli("index", str(tree), "--profile")
        assert status == 0
        assert err.startswith("profile: ") and "inside run (" in err and "%) over 6 calls" in err


@pytest.mark.parametrize("command", ["hash", "scan", "outline", "check", "files", "index", "find", "refs", "tags", None])
def test_help_for_every_subcommand(command):
    argv = [sys.executable, "-m", "brightloom_index"] + ([command] if command else []) + ["--help"]
    env = CLI_ENV
    done = subprocess.run(argv, capture_output=True, text=True, env=env, timeout=60)
    assert done.returncode == 0
    assert done.stdout.startswith("usage: brightloom-index" + (f" {command}" if command else ""))
    assert "--json" in done.stdout


def test_module_entry_passes_the_exit_status_on(tree):
    env = CLI_ENV
    argv = [sys.executable, "-m", "brightloom_index", "check"]
    broken = subprocess.run(argv + [str(tree / "broken.py")], capture_output=True, text=True, env=env, timeout=60)
    assert broken.returncode == 1
    missing = subprocess.run(argv + [str(tree / "gone.py")], capture_output=True, text=True, env=env, timeout=60)
    assert missing.returncode == 2
    assert missing.stderr == f"brightloom-index: error: {tree / 'gone.py'}: No such file or directory (os error 2)\n"
