"""Which files an index holds: the tree as its owner sees it.

Inside a git work tree the list is git's own (`git ls-files`: tracked files
and the untracked ones no ignore rule hides, from `.gitignore` at every level,
`.git/info/exclude` and the global excludes). Elsewhere the tree is walked
here, reading `.gitignore` and `.ignore` at every level with pathspec. Either
way only files of a grammar language are kept, then `--exclude` and
`--include` apply, then `--max-files`.

    selection = select_files("/src/app", SelectionRules())
    selection.paths        # ["lib/a.py", "main.rs", ...], sorted by their bytes
"""

from __future__ import annotations

import importlib
import json
import os
import subprocess
import sys
from collections.abc import Iterable
from dataclasses import dataclass, field
from typing import Any, Protocol

from .contract import PRUNED_DIRS, grammar_language
from .errors import Failure


# The parts of pathspec used here, so that type checking does not need the
# package installed (it is imported only when a tree is walked).
class PathSpec(Protocol):
    def match_file(self, file: str) -> bool: ...


class Pattern(Protocol):
    include: bool | None

    def match_file(self, file: str) -> object: ...


# Files holding ignore rules outside git, in rising precedence within a folder.
IGNORE_FILES = (".gitignore", ".ignore")


class SelectionFailed(Failure):
    """The root cannot be listed; the message names it."""


@dataclass(frozen=True)
class SelectionRules:
    """The user's choices on top of the ignore rules."""

    use_ignore_rules: bool = True
    excludes: tuple[str, ...] = ()
    includes: tuple[str, ...] = ()
    max_files: int | None = None

    def to_text(self) -> str:
        """The rules as one JSON text, as the index stores them."""
        value = {
            "use_ignore_rules": self.use_ignore_rules,
            "excludes": list(self.excludes),
            "includes": list(self.includes),
            "max_files": self.max_files,
        }
        return json.dumps(value, ensure_ascii=False, separators=(",", ":"))

    @classmethod
    def from_text(cls, text: str) -> SelectionRules:
        """Rules as `to_text` wrote them; ValueError for any other text."""
        value = json.loads(text)
        if not isinstance(value, dict):
            raise ValueError("not an object")
        use_ignore_rules = value.get("use_ignore_rules", True)
        excludes = value.get("excludes", [])
        includes = value.get("includes", [])
        max_files = value.get("max_files")
        if not isinstance(use_ignore_rules, bool):
            raise ValueError("use_ignore_rules is not true or false")
        for globs in (excludes, includes):
            if not (isinstance(globs, list) and all(isinstance(glob, str) for glob in globs)):
                raise ValueError("a glob list is not a list of texts")
        if max_files is not None and (
            type(max_files) is not int or not 0 <= max_files < 2**64
        ):
            raise ValueError("max_files is not a file count")
        return cls(use_ignore_rules, tuple(excludes), tuple(includes), max_files)


@dataclass
class Selection:
    """The files chosen under `root`, with what was left out on the way."""

    root: str
    # "git", "ignore files" or "no ignore rules": whose view the list is.
    source: str
    # Paths relative to the root, `/`-separated, sorted by their UTF-8 bytes.
    paths: list[str] = field(default_factory=list)
    # Ignored folders (relative) that hold files of a grammar language: the
    # digest step must not walk into them.
    ignored_dirs: list[str] = field(default_factory=list)
    # True when --max-files left eligible files out.
    cut: bool = False
    # (name, reason) of files that could not be taken, such as names that are not UTF-8.
    unlisted: list[tuple[str, str]] = field(default_factory=list)


def check_root(root: str) -> None:
    """Fails with one clear line when `root` is not an existing folder."""
    if not os.path.exists(root):
        raise SelectionFailed(f"{root}: no such folder")
    if not os.path.isdir(root):
        raise SelectionFailed(f"{root}: not a folder")


def select_files(root: str, rules: SelectionRules) -> Selection:
    check_root(root)
    listing = git_listing(root) if rules.use_ignore_rules else None
    if listing is not None:
        selection = Selection(root, "git")
        names, ignored = listing
    else:
        selection = Selection(root, "ignore files" if rules.use_ignore_rules else "no ignore rules")
        names, ignored = walk_tree(root, rules.use_ignore_rules, compile_globs(rules.excludes))
    # The scan never enters folders of the pruned names: no need to steer around them.
    selection.ignored_dirs = [
        name
        for name in ignored
        if name.rpartition("/")[2] not in PRUNED_DIRS and holds_grammar_file(os.path.join(root, name))
    ]
    kept = keep_files(names, rules, selection.unlisted)
    if rules.max_files is not None and len(kept) > rules.max_files:
        selection.cut = True
        del kept[rules.max_files :]
    selection.paths = kept
    return selection


def keep_files(names: Iterable[str], rules: SelectionRules, unlisted: list[tuple[str, str]]) -> list[str]:
    """Grammar-language files passing --exclude/--include, sorted by bytes."""
    excludes = compile_globs(rules.excludes)
    includes = compile_globs(rules.includes)
    kept = []
    for name in names:
        if grammar_language(name) is None:
            continue
        if excludes is not None and excludes.match_file(name):
            continue
        if includes is not None and not includes.match_file(name):
            continue
        if not is_utf8(name):
            unlisted.append((name, "file name is not valid UTF-8"))
            continue
        kept.append(name)
    # Byte order of the UTF-8 text, which is code point order: `str` sorts alike.
    kept.sort()
    return kept


def is_utf8(name: str) -> bool:
    """False for names holding undecodable bytes (as surrogate escapes)."""
    try:
        name.encode("utf-8")
    except UnicodeEncodeError:
        return False
    return True


def compile_globs(globs: Iterable[str]) -> PathSpec | None:
    """Gitignore-style globs as one matcher; None when there are none."""
    lines = list(globs)
    if not lines:
        return None
    matcher: PathSpec = load_pathspec().GitIgnoreSpec.from_lines(lines)
    return matcher


def load_pathspec() -> Any:
    # Imported on demand, and by name so that type checking does without
    # the package: git trees and `find` never need it.
    try:
        return importlib.import_module("pathspec")
    except ImportError:
        raise SelectionFailed(missing_pathspec_message()) from None


def missing_pathspec_message() -> str:
    """Says how to get pathspec for the interpreter that lacks it.

    Debian's package serves only Debian's own interpreter (and environments
    made from it with --system-site-packages); any other one, such as a
    pyenv build, needs the package installed for itself.
    """
    interpreter = sys.executable
    if sys.prefix == sys.base_prefix and os.path.realpath(interpreter).startswith("/usr/bin/"):
        remedy = "apt-get install python3-pathspec"
    else:
        remedy = f"{interpreter} -m pip install pathspec, or run the installed brightloom-index"
    return (
        f"the Python package pathspec, needed for ignore files outside git and for --exclude/--include,"
        f" is not installed for {interpreter} ({remedy})"
    )


def git_listing(root: str) -> tuple[list[str], list[str]] | None:
    """(files, ignored folders) as git sees them; None outside a work tree.

    The two listings run side by side. `-t` tags each file, so files deleted
    from the work tree but still in git's index (tag R, listed a second time
    as cached) can be left out: they are gone, not unreadable.
    """
    base = ["git", "-c", "core.quotepath=off", "ls-files", "-z"]
    # Git's messages are matched below, so they must not be translated.
    environment = dict(os.environ, LC_ALL="C")
    try:
        files = subprocess.Popen(
            base + ["-t", "--cached", "--deleted", "--others", "--exclude-standard"],
            cwd=root, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=environment,
        )
        ignored = subprocess.Popen(
            base + ["--others", "--ignored", "--exclude-standard", "--directory"],
            cwd=root, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, env=environment,
        )
    except FileNotFoundError:
        return None  # git is not installed: walk the tree instead.
    except OSError as error:
        raise SelectionFailed(f"{root}: {error.strerror}") from None
    listed, errors = files.communicate()
    ignored_out, _ = ignored.communicate()
    if files.returncode != 0:
        message = os.fsdecode(errors).strip()
        if "not a git repository" in message or "must be run in a work tree" in message:
            return None
        last_line = message.splitlines()[-1] if message else f"exit status {files.returncode}"
        raise SelectionFailed(f"{root}: git ls-files failed: {last_line}")
    return parse_tagged_listing(listed), parse_ignored_dirs(ignored_out)


def parse_tagged_listing(output: bytes) -> list[str]:
    """Names of `ls-files -t -z` output, without those deleted from the work tree."""
    present: dict[str, None] = {}
    deleted = set()
    for record in output.split(b"\0"):
        if len(record) < 3:
            continue
        tag, name = record[:1], os.fsdecode(record[2:])
        if tag == b"R":
            deleted.add(name)
        elif not name.endswith("/"):  # an untracked nested repository
            present[name] = None
    return [name for name in present if name not in deleted]


def parse_ignored_dirs(output: bytes) -> list[str]:
    """Folders of `ls-files --ignored --directory -z` output, without their slash."""
    return [os.fsdecode(record[:-1]) for record in output.split(b"\0") if record.endswith(b"/")]


@dataclass
class IgnoreLevel:
    """The ignore patterns of one folder, `base` being its path with a slash."""

    base: str
    patterns: list[Pattern]


def walk_tree(root: str, use_ignore_rules: bool, excludes: PathSpec | None) -> tuple[list[str], list[str]]:
    """(files, ignored folders) under `root`, read outside git.

    Ignored folders are not entered, as git does not enter them: a file in
    one cannot be brought back by a negated pattern further down.
    """
    files: list[str] = []
    ignored: list[str] = []
    # A stack, not recursion: the depth of a tree is not ours to choose.
    stack: list[tuple[str, list[IgnoreLevel]]] = [("", [])]
    while stack:
        relative, levels = stack.pop()
        folder = os.path.join(root, relative) if relative else root
        if use_ignore_rules:
            level = read_ignore_level(folder, relative)
            if level is not None:
                levels = levels + [level]
        try:
            entries = list(os.scandir(folder))
        except OSError:
            continue  # an unreadable folder holds nothing we could index
        for entry in entries:
            path = relative + entry.name
            if entry.is_dir(follow_symlinks=False):
                if entry.name == ".git":
                    continue
                pruned = use_ignore_rules and (
                    entry.name in PRUNED_DIRS
                    or is_ignored(levels, path + "/")
                    or (excludes is not None and excludes.match_file(path + "/"))
                )
                if pruned:
                    ignored.append(path)
                else:
                    stack.append((path + "/", levels))
            elif grammar_language(entry.name) is not None and not is_ignored(levels, path):
                # Matching the name first saves an ignore test for every other file.
                files.append(path)
    return files, ignored


def read_ignore_level(folder: str, relative: str) -> IgnoreLevel | None:
    lines: list[str] = []
    for name in IGNORE_FILES:
        try:
            with open(os.path.join(folder, name), encoding="utf-8", errors="replace") as handle:
                lines.extend(handle.read().splitlines())
        except OSError:
            continue
    if not lines:
        return None
    matcher = load_pathspec().GitIgnoreSpec.from_lines(lines)
    return IgnoreLevel(relative, list(matcher.patterns))


def is_ignored(levels: list[IgnoreLevel], path: str) -> bool:
    """Git's rule: the last matching pattern decides, deeper files first."""
    for level in reversed(levels):
        local = path[len(level.base) :]
        for pattern in reversed(level.patterns):
            if pattern.include is not None and pattern.match_file(local) is not None:
                return bool(pattern.include)
    return False


def holds_grammar_file(folder: str) -> bool:
    """Whether any file of a grammar language lies under `folder`.

    Stops at the first one. Ignored folders of other files (`__pycache__`,
    object folders) then cost one listing, not a split of the scan.
    """
    for _, dirs, files in os.walk(folder):
        dirs[:] = [name for name in dirs if name not in PRUNED_DIRS]
        if any(grammar_language(name) is not None for name in files):
            return True
    return False
