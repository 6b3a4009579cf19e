"""Ignore files read outside git give the very list git gives, and no pattern
can stall the walk: parity with `git ls-files --others --exclude-standard`
on generated trees and on black's own test data."""
import os
import random
import shutil
import subprocess
import time
from pathlib import Path

import pytest

from brightloom_index.ignore_rules import decide, parse_ignore_text
from brightloom_index.selection import SelectionRules, select_files
from test_cli import cli

BLACK = Path("/tmp/corpus/black")

# Lines git reads in its own way: negations, anchors, `**`, brackets and
# classes, escapes, trailing blanks, lines that never match, and the
# patterns that make a backtracking matcher take minutes.
PATTERN_POOL = [
    "*.gen.py", "!keep*.py", "b/", "/a", "a/**/c.py", "**/d/*.py", "x/**", "[ab].py", "[!a]*.py",
    "[^b]x.py", "[a-c]?.py", "[[:digit:]]*.py", "[[:alpha:]][[:alpha:]].py", "\\#h.py", "\\!e.py",
    "c.py   ", "c.py\\ ", "!", "/", "[abc", "foo\\", "[[:nope:]].py", "**", "a/*", "*/c.py",
    "**/", "d/**/", "!d/", "*a*a*a*a*a*a*b.py", "a**b.py", "***/x.py", "?.py", "é*.py", "#c.py",
    " lead.py", "[]]x.py", "[a-]y.py", "\\[a].py", "*\r", "x.py\r", "ab/cd/", "a/b/c/",
    "!a.py", "!b/", "!x", "*", "!*/", "!ab.py", "!d/*.py", "x/**", "!x/a.py", "a[!x]b.py",
]
NAMES = ["a", "b", "c", "d", "x", "ab", "ba", "e", "é", "1x", "#h", "!e", "lead", "[a]", "]x", "-y", "aaaaaaaaab"]


def git_untracked(root):
    """The files git itself would index: untracked and not ignored, `.py` only."""
    listing = subprocess.run(
        ["git", "-c", "core.excludesFile=/dev/null", "ls-files", "-z", "--others", "--exclude-standard"],
        cwd=root, check=True, capture_output=True,
    ).stdout
    return sorted(os.fsdecode(name) for name in listing.split(b"\0") if name.endswith(b".py"))


def walked(root):
    selection = select_files(str(root), SelectionRules())
    assert selection.source == "ignore files"
    return sorted(path for path in selection.paths if path.endswith(".py")), selection.notes


def ignored_with_folders(root, path):
    """Git's answer for one path: ignored itself, or below an ignored folder."""
    parts = path.split("/")
    levels = []
    for depth in range(len(parts)):
        base = "/".join(parts[:depth]) + "/" if depth else ""
        ignore_file = root / base / ".gitignore"
        if ignore_file.is_file():
            levels.append((base, parse_ignore_text(ignore_file.read_bytes(), "").patterns))
        prefix = "/".join(parts[: depth + 1])
        if decide(levels, prefix, (root / prefix).is_dir()):
            return True
    return False


def make_random_tree(root, rng):
    folders = [""] + ["/".join(rng.choice(NAMES) for _ in range(rng.randint(1, 3))) + "/" for _ in range(8)]
    for folder in folders:
        (root / folder).mkdir(parents=True, exist_ok=True)
        for name in rng.sample(NAMES, 6):
            (root / folder / f"{name}.py").write_text("")
        (root / folder / "c.py\r").write_text("") if rng.random() < 0.1 else None
    for folder in rng.sample(folders, 4):
        lines = rng.sample(PATTERN_POOL, rng.randint(2, 8))
        ending = "\r\n" if rng.random() < 0.2 else "\n"
        (root / folder / ".gitignore").write_bytes(ending.join(lines).encode() + b"\n")


class TestParityWithGit:
    @pytest.mark.parametrize("seed", range(30))
    def test_generated_trees(self, tmp_path, seed):
        rng = random.Random(seed)
        plain = tmp_path / "plain"
        make_random_tree(plain, rng)
        # Walked as a plain folder first, then made a repository for git's answer.
        ours, _ = walked(plain)
        subprocess.run(["git", "init", "-q", str(plain)], check=True)
        assert ours == git_untracked(plain)

    @pytest.mark.parametrize("seed", range(30, 50))
    def test_every_path_against_check_ignore(self, tmp_path, seed):
        # Files and folders alike, also inside ignored folders, where a
        # negation further down must not bring anything back.
        make_random_tree(tmp_path, random.Random(seed))
        subprocess.run(["git", "init", "-q", str(tmp_path)], check=True)
        paths = sorted(
            os.path.relpath(os.path.join(folder, name), tmp_path)
            for folder, dirs, files in os.walk(tmp_path)
            for name in dirs + files
            if ".git" not in os.path.relpath(os.path.join(folder, name), tmp_path).split(os.sep)
        )
        answer = subprocess.run(
            ["git", "-c", "core.excludesFile=/dev/null", "check-ignore", "--no-index", "-v", "-n", "-z", "--stdin"],
            cwd=tmp_path, input=b"\0".join(os.fsencode(path) for path in paths) + b"\0", capture_output=True,
        ).stdout.split(b"\0")
        fields = [answer[index : index + 4] for index in range(0, len(answer) - 1, 4)]
        theirs = {os.fsdecode(path): bool(pattern) and not pattern.startswith(b"!") for _, _, pattern, path in fields}
        assert {path: ignored_with_folders(tmp_path, path) for path in paths} == theirs

    @pytest.mark.skipif(not BLACK.is_dir(), reason="the benchmark corpus is not laid out")
    def test_black_test_data(self, tmp_path):
        copy = tmp_path / "black"
        shutil.copytree(BLACK, copy, ignore=shutil.ignore_patterns(".git"), symlinks=True)
        ours, notes = walked(copy)
        # black's deliberately invalid ignore file gets a note, not a traceback.
        assert any("invalid_gitignore_tests/.gitignore" in note and "'!'" in note for note in notes)
        subprocess.run(["git", "init", "-q", str(copy)], check=True)
        theirs = [path for path in git_untracked(copy) if not set(path.split("/")) & {"dist", "target", ".venv"}]
        assert ours == theirs


class TestPatterns:
    def test_backtracking_families_answer_at_once(self):
        name = "a" * 4000
        started = time.process_time()
        for stars in range(2, 16):
            rules = parse_ignore_text(("*a" * stars + "*b\n" + "a/" + "*a" * stars + "*b/**\n").encode(), "g")
            assert not decide([("", rules.patterns)], name, False)
            assert not decide([("", rules.patterns)], "a/" + name + "/c", False)
        assert time.process_time() - started < 1.0

    @pytest.mark.parametrize("line, path, is_dir, ignored", [
        # Written from git's answers (`git check-ignore --no-index`).
        ("x/**", "x", True, False), ("x/**", "x/a.py", False, True), ("a/**/b", "a/b", False, True),
        ("a/**/b", "a/x/y/b", False, True), ("**/b", "b", False, True), ("a**b", "a/b", False, False),
        ("c.py\\ ", "c.py ", False, True), ("c.py   ", "c.py", False, True), ("c.py\\ ", "c.py", False, False),
        ("d/", "d", False, False), ("d/", "s/d", True, True), ("/d", "s/d", False, False),
        ("[!a]", "/", False, False), ("\\#h", "#h", False, True), ("?", "é", False, False),
    ])
    def test_single_patterns(self, line, path, is_dir, ignored):
        rules = parse_ignore_text(line.encode() + b"\n", "g")
        assert decide([("", rules.patterns)], path, is_dir) is ignored

    @pytest.mark.parametrize("line, note", [
        (b"!", "nothing to match"), (b"/", "nothing to match"), (b"[abc", "never closed"),
        (b"a\\", "lone backslash"), (b"[[:nope:]]", "unknown class"),
    ])
    def test_lines_that_never_match_get_a_note_with_their_place(self, line, note):
        rules = parse_ignore_text(b"ok.py\n" + line + b"\n", "sub/.gitignore")
        assert len(rules.patterns) == 1 and len(rules.notes) == 1
        assert rules.notes[0].startswith("sub/.gitignore:2: pattern ") and note in rules.notes[0]

    def test_invalid_line_is_a_note_and_the_index_is_made(self, tmp_path):
        (tmp_path / ".gitignore").write_text("!\nskip.py\n")
        (tmp_path / "skip.py").write_text("")
        (tmp_path / "keep.py").write_text("")
        status, out, err = cli("files", str(tmp_path))
        assert (status, out) == (0, "keep.py\n")
        assert err == "brightloom-index: note: .gitignore:1: pattern '!' skipped: nothing to match\n"

    def test_exclude_takes_a_folder_and_git_patterns(self, tmp_path):
        for name in ("a/x.py", "a/b/y.py", "c/a/z.py", "top.py"):
            (tmp_path / name).parent.mkdir(parents=True, exist_ok=True)
            (tmp_path / name).write_text("")
        status, out, _ = cli("files", str(tmp_path), "--no-ignore", "--exclude", "/a/", "--include", "**/*.py")
        assert (status, out.split()) == (0, ["c/a/z.py", "top.py"])
