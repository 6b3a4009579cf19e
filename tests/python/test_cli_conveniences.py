"""Small things a daily user meets: --version and -q everywhere, checked
--kind and --language, a closed output pipe, and the progress bar in real
terminals of several widths."""
import os
import re
import shutil
import subprocess
import time

import pytest

from brightloom_index.contract import DEFINITION_KINDS, DEFINITION_KINDS_BY_LANGUAGE, REFERENCE_KINDS
from brightloom_index.render import progress_line
from conftest import CLI_ENV, PROGRAM, SOURCE_DIR as REPO, age_tree
from test_cli import cli
from test_index_queries import indexed  # noqa: F401 (a fixture)
from test_index_selection import make_tree

SUBCOMMANDS = ["hash", "scan", "outline", "check", "files", "index", "find", "refs", "tags", "update", "watch"]


def program(*argv):
    """The command line as a real process, and its environment."""
    return [*PROGRAM, *argv], CLI_ENV


@pytest.mark.parametrize("words", [[]] + [[name] for name in SUBCOMMANDS])
def test_version_everywhere(words):
    argv, env = program(*words, "--version")
    done = subprocess.run(argv, capture_output=True, text=True, env=env, timeout=60)
    assert (done.returncode, done.stdout, done.stderr) == (0, "brightloom-index 0.1.0\n", "")


class TestQuiet:
    def test_every_subcommand_prints_only_errors(self, indexed):
        for argv in (["hash", "app.py"], ["scan", "."], ["outline", "app.py"], ["files"], ["index"],
                     ["find", "Parser"], ["refs", "Parser"], ["tags", "-o", "-"]):
            assert cli(*argv, "-q") == (0, "", ""), argv
        assert cli("find", "-q", "Nowhere") == (1, "", "")
        status, out, err = cli("hash", "-q", "gone.py")
        assert (status, out) == (2, "")
        assert err.startswith("brightloom-index: error: gone.py: ")


class TestKindsAndLanguages:
    @pytest.mark.parametrize("option, expected", [
        (["--kind", "function"], ["app.py:6", "lib/tool.rs:3", "web/legacy.js:1", "web/ui.ts:1"]),
        (["--kind", "fn"], ["app.py:6", "lib/tool.rs:3", "web/legacy.js:1", "web/ui.ts:1"]),
        (["--kind", "fn", "--language", "RS"], ["lib/tool.rs:3"]),
        (["--kind", "Interface,struct"], ["lib/tool.rs:1", "web/ui.ts:3"]),
        (["--language", "Rust"], ["lib/tool.rs:1", "lib/tool.rs:3"]),
        (["--language", "ts,js", "--kind", "def"], ["web/legacy.js:1", "web/ui.ts:1"]),
    ])
    def test_aliases_and_case(self, indexed, option, expected):
        status, out, err = cli("find", "--glob", "*", *option)
        assert (status, err) == (0, "")
        assert [line.split(": ")[0] for line in out.splitlines()] == expected

    @pytest.mark.parametrize("option, listed", [
        (["find", "--kind", "foo"], f"kinds: {', '.join(DEFINITION_KINDS)}"),
        (["find", "--kind", "class,foo"], "kinds: class, function, method"),
        (["refs", "--kind", "function"], "kinds: call, new, type, import, macro, implementation"),
        (["find", "--language", "cobol"], "languages: bash, c, c_sharp, cpp, go, java, javascript, json, php, python,"
                                          " ruby, rust, tsx, typescript"),
    ])
    def test_unknown_values_are_usage_errors_listing_the_valid_ones(self, indexed, option, listed):
        status, out, err = cli(option[0], "Parser", *option[1:])
        assert (status, out) == (2, "")
        assert err.count("\n") == 1 and listed in err

    def test_help_lists_kinds_per_language_and_languages(self):
        argv, env = program("find", "--help")
        done = subprocess.run(argv, capture_output=True, text=True, env=dict(env, COLUMNS="200"), timeout=60)
        assert "python: class constant field function method variable;" in done.stdout
        assert "bash: function variable" in done.stdout
        assert "javascript, json, php, python, ruby, rust, tsx, typescript" in done.stdout
        argv, env = program("refs", "--help")
        done = subprocess.run(argv, capture_output=True, text=True, env=dict(env, COLUMNS="200"), timeout=60)
        assert "call, new, type, import, macro, implementation" in done.stdout


@pytest.mark.parametrize("argv", [["find", "--glob", "*"], ["tags", "-o", "-"], ["files"]])
def test_a_reader_that_stops_early_ends_the_command_quietly(tmp_path, argv):
    # Far more output than a pipe holds, so the writer meets the closed end.
    make_tree(tmp_path, {f"m{n}.py": "".join(f"def f{n}_{i}(): pass\n" for i in range(400)) for n in range(40)})
    age_tree(tmp_path)
    assert cli("index", str(tmp_path))[0] == 0
    command, env = program(*argv)
    with subprocess.Popen(command, cwd=tmp_path, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE) as child:
        assert child.stdout.readline()
        child.stdout.close()
        assert child.wait(timeout=60) == 0
        assert child.stderr.read() == b""


@pytest.mark.parametrize("columns", [12, 40, 80, 200])
def test_progress_line_fits_in_the_columns(columns):
    for label in ("a.py", "deep/" * 30 + "name.py", "日本語/" * 20 + "x.py", "tab\there\x1b[31m.py"):
        line = progress_line(123, 4567, label, columns)
        wide = sum(2 if "\u3000" <= char <= "\u9fff" else 1 for char in line)
        assert wide <= columns - 1
        assert "\t" not in line and "\x1b" not in line
        assert "123/4567" in line


@pytest.mark.skipif(shutil.which("tmux") is None, reason="tmux is not installed")
@pytest.mark.parametrize("columns", [40, 80])
def test_progress_bar_leaves_no_stale_rows_in_a_terminal(tmp_path, columns):
    root = tmp_path / "tree"
    long_folder = "a_rather_long_folder_name/" * 4
    make_tree(root, {f"{long_folder}module_{n:03}.py": "def f(): pass\n" * 50 for n in range(300)})
    argv, env = program("index", str(root), "--jobs", "1")
    script = tmp_path / "run.sh"
    script.write_text(
        f"export PYTHONPATH='{env['PYTHONPATH']}'\n"
        f"{' '.join(argv)} > {tmp_path / 'out.txt'}\n"
        "echo; echo INDEX-DONE; sleep 60\n"
    )
    server = ["tmux", "-L", f"brightloom-test-{os.getpid()}-{columns}"]
    subprocess.run(server + ["new-session", "-d", "-x", str(columns), "-y", "30", "bash", "--norc", str(script)],
                   check=True, env=dict(os.environ, TERM="xterm"))
    try:
        deadline = time.monotonic() + 120
        while True:
            screen = subprocess.run(server + ["capture-pane", "-p"], capture_output=True, text=True).stdout
            if "INDEX-DONE" in screen or time.monotonic() > deadline:
                break
            time.sleep(0.2)
    finally:
        subprocess.run(server + ["kill-server"], capture_output=True)
    assert "INDEX-DONE" in screen
    # Everything above the marker is what the bar left behind: nothing.
    before = screen[: screen.index("INDEX-DONE")]
    assert before.strip() == ""
    assert "Refresh: 300 new" in (tmp_path / "out.txt").read_text()


# Each language's rules: the grammar package's queries and ours, as the
# build embeds them. The kinds --kind lists per language follow them.
QUERY_ROWS = re.findall(r'"(\w+)\|([^"]+)"', (REPO / "cmake" / "SymbolQueries.cmake").read_text())


def captured_kinds(files, role):
    words = set()
    for file in files.split(","):
        path = REPO / file.replace("${TAGS}", "third_party/node_modules").replace("${OWN}", "src/symbols/queries")
        words |= set(re.findall(rf"@{role}\.(\w+)", path.read_text()))
    return words


def test_kind_lists_match_the_rules():
    assert sorted(language for language, _ in QUERY_ROWS) == sorted(DEFINITION_KINDS_BY_LANGUAGE)
    for language, files in QUERY_ROWS:
        assert sorted(captured_kinds(files, "definition") & set(DEFINITION_KINDS)) == \
            sorted(DEFINITION_KINDS_BY_LANGUAGE[language]), language
        # "class" is reported as `new` or `type`, "send" as `call`, "interface" as `type`.
        renamed = {"class": "type", "send": "call", "interface": "type"}
        assert {renamed.get(word, word) for word in captured_kinds(files, "reference")} <= set(REFERENCE_KINDS)
