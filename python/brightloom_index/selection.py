"""Which files an index holds: the tree as its owner sees it.

Inside a git work tree the list is git's own (`git ls-files`: tracked files
and the untracked ones no ignore rule hides, from `.gitignore` at every level,
`.git/info/exclude` and the global excludes). Elsewhere the tree is walked
here, reading `.gitignore` and `.ignore` at every level as git reads them. Either
way only files of a grammar language are kept, then `--exclude` and
`--include` apply, then `--max-files`.

    selection = select_files("/src/app", SelectionRules())
    selection.paths        # ["lib/a.py", "main.rs", ...], sorted by their bytes
"""

from __future__ import annotations

import json
import os
import subprocess

from .contract import DEFAULT_MAX_FILE_SIZE, PRUNED_DIRS, grammar_language
from .errors import Failure
from .ignore_rules import IgnorePattern, covers, decide, parse_globs, parse_ignore_text
from .index_place import INDEX_FOLDER
from .tree_files import Unreadable, read_tree_file

# typing is for the checker only (see cli.py).
TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Iterable


# Files holding ignore rules outside git, in rising precedence within a folder.
IGNORE_FILES = (".gitignore", ".ignore")
# Longer paths are left out with a note: the system cannot open them whole.
MAX_PATH_BYTES = 4096
# A larger ignore file is not read, with a note (git takes up to 100 MiB; no real one comes near).
MAX_IGNORE_FILE_BYTES = 16 << 20


class SelectionFailed(Failure):
    """The root cannot be listed; the message names it."""


# Plain classes rather than dataclasses, which import inspect: a refresh
# with nothing to do is a few tens of milliseconds.
class SelectionRules:
    """The user's choices on top of the ignore rules."""

    __slots__ = ("use_ignore_rules", "excludes", "includes", "max_files", "max_file_size")

    def __init__(
        self,
        use_ignore_rules: bool = True,
        excludes: tuple[str, ...] = (),
        includes: tuple[str, ...] = (),
        max_files: int | None = None,
        # Larger files are listed as skipped, never parsed.
        max_file_size: int = DEFAULT_MAX_FILE_SIZE,
    ) -> None:
        self.use_ignore_rules = use_ignore_rules
        self.excludes = excludes
        self.includes = includes
        self.max_files = max_files
        self.max_file_size = max_file_size

    def values(self) -> tuple[object, ...]:
        return tuple(getattr(self, name) for name in self.__slots__)

    def __eq__(self, other: object) -> bool:
        return isinstance(other, SelectionRules) and self.values() == other.values()

    def __hash__(self) -> int:
        return hash(self.values())

    def __repr__(self) -> str:
        return f"SelectionRules{self.values()!r}"

    def to_text(self) -> str:
        """The rules as one JSON text, as the index stores them."""
        value = {
            "use_ignore_rules": self.use_ignore_rules,
            "excludes": list(self.excludes),
            "includes": list(self.includes),
            "max_files": self.max_files,
            "max_file_size": self.max_file_size,
        }
        # ASCII with escapes: a glob that is not UTF-8 keeps its surrogate
        # escapes, which SQLite could not store as text.
        return json.dumps(value, separators=(",", ":"))

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
        max_file_size = value.get("max_file_size", DEFAULT_MAX_FILE_SIZE)
        if not isinstance(use_ignore_rules, bool):
            raise ValueError("use_ignore_rules is not true or false")
        for globs in (excludes, includes):
            if not (isinstance(globs, list) and all(isinstance(glob, str) for glob in globs)):
                raise ValueError("a glob list is not a list of texts")
        if max_files is not None and (
            type(max_files) is not int or not 0 <= max_files < 2**64
        ):
            raise ValueError("max_files is not a file count")
        if type(max_file_size) is not int or max_file_size < 0:
            raise ValueError("max_file_size is not a size")
        return cls(use_ignore_rules, tuple(excludes), tuple(includes), max_files, max_file_size)


class Selection:
    """The files chosen under `root`, with what was left out on the way."""

    __slots__ = ("root", "source", "paths", "ignored_dirs", "cut", "unlisted", "notes")

    def __init__(self, root: str, source: str) -> None:
        self.root = root
        # "git", "ignore files" or "no ignore rules": whose view the list is.
        self.source = source
        # Paths relative to the root, `/`-separated, sorted by their UTF-8 bytes.
        self.paths: list[str] = []
        # Ignored folders (relative) that hold files of a grammar language: the
        # digest step must not walk into them.
        self.ignored_dirs: list[str] = []
        # True when --max-files left eligible files out.
        self.cut = False
        # (name, reason) of files that could not be taken, such as names that are not UTF-8.
        self.unlisted: list[tuple[str, str]] = []
        # One line each: ignore lines skipped, folders not read, subtrees left out.
        self.notes: list[str] = []


def check_root(root: str) -> None:
    """Fails with one clear line when `root` is not an existing folder."""
    if not os.path.exists(root):
        raise SelectionFailed(f"{root}: no such folder")
    if not os.path.isdir(root):
        raise SelectionFailed(f"{root}: not a folder")


def select_files(root: str, rules: SelectionRules) -> Selection:
    check_root(root)
    excludes = parse_globs(rules.excludes, "--exclude")
    includes = parse_globs(rules.includes, "--include")
    listing = git_listing(root) if rules.use_ignore_rules else None
    if listing is not None:
        selection = Selection(root, "git")
        names, ignored, selection.notes = listing
    else:
        selection = Selection(root, "ignore files" if rules.use_ignore_rules else "no ignore rules")
        walk = TreeWalk(root, rules.use_ignore_rules, excludes.patterns)
        walk.run()
        names, ignored = walk.files, walk.ignored
        selection.notes.extend(walk.notes)
    selection.notes[:0] = excludes.notes + includes.notes
    # The scan never enters folders of the pruned names: no need to steer around them.
    selection.ignored_dirs = [
        name
        for name in ignored
        if name.rpartition("/")[2] not in PRUNED_DIRS and holds_grammar_file(os.path.join(root, name))
    ]
    kept = keep_files(names, excludes.patterns, includes.patterns, selection.unlisted)
    if rules.max_files is not None and len(kept) > rules.max_files:
        selection.cut = True
        del kept[rules.max_files :]
    selection.paths = kept
    return selection


def keep_files(
    names: Iterable[str],
    excludes: list[IgnorePattern],
    includes: list[IgnorePattern],
    unlisted: list[tuple[str, str]],
) -> list[str]:
    """Grammar-language files passing --exclude/--include, sorted by bytes."""
    kept = []
    for name in names:
        if grammar_language(name) is None:
            continue
        if excludes and covers(excludes, name):
            continue
        if includes and not covers(includes, name):
            continue
        if not is_utf8(name):
            unlisted.append((name, "file name is not valid UTF-8"))
            continue
        if len(os.fsencode(name)) > MAX_PATH_BYTES:
            unlisted.append((name, f"path longer than {MAX_PATH_BYTES} bytes"))
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


def git_listing(root: str) -> tuple[list[str], list[str], list[str]] | None:
    """(files, ignored folders, notes) as git sees them; None outside a work tree.

    The two listings run side by side. `-t` tags each file, so files deleted
    from the work tree but still in git's index (tag R, listed a second time
    as cached) can be left out: they are gone, not unreadable; `-s` gives
    the mode that marks a submodule.
    """
    # A tree's own configuration may name a file-system monitor, a command
    # git would run: turned off, as nothing of the tree may run.
    base = ["git", "-c", "core.quotepath=off", "-c", "core.fsmonitor=false", "ls-files", "-z"]
    # Git's messages are matched below, so they must not be translated.
    environment = dict(os.environ, LC_ALL="C")
    try:
        files = subprocess.Popen(
            base + ["-t", "-s", "--cached", "--deleted", "--others", "--exclude-standard"],
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
        raise SelectionFailed(f"{root}: git ls-files failed: {git_failure(message, files.returncode)}")
    names, notes = parse_tagged_listing(listed)
    # git goes on past a folder it cannot open (no permission, a path too
    # long for the system) with a warning: each becomes a note.
    notes.extend(
        f"git: {line.partition('warning: ')[2]}"
        for line in os.fsdecode(errors).splitlines()
        if line.startswith("warning: ")
    )
    ignored_dirs = parse_ignored_dirs(ignored_out)
    if "." in ignored_dirs:
        notes.append(f"{root}: git ignores this folder, so only its tracked files are taken (--no-ignore takes all)")
        ignored_dirs.remove(".")
    return names, ignored_dirs, notes


def git_failure(message: str, status: int) -> str:
    """git's own reason, from its "fatal:" line (advice lines follow it)."""
    lines = message.splitlines()
    reason = next((line[len("fatal: ") :] for line in lines if line.startswith("fatal: ")), None)
    if reason is None:
        return lines[-1].strip() if lines else f"exit status {status}"
    if "dubious ownership" in reason:
        # git will not read a repository another user owns, as it could run that user's settings.
        reason += " (see git's safe.directory, or --no-ignore to walk the tree without git)"
    return reason


# Tags of `ls-files -t` for entries not in the work tree: removed, and
# skip-worktree (left out by a sparse checkout).
ABSENT_TAGS = (b"R", b"S")
SUBMODULE_MODE = b"160000"


def parse_tagged_listing(output: bytes) -> tuple[list[str], list[str]]:
    """Names of `ls-files -t -s -z` output, without those absent from the work tree,
    and a note for each repository inside (a submodule, a nested clone) left out."""
    present: dict[str, None] = {}
    absent = set()
    notes = []
    for record in output.split(b"\0"):
        if len(record) < 3:
            continue
        tag, rest = record[:1], record[2:]
        mode = b""
        if tag != b"?":
            # "MODE OBJECT STAGE<TAB>NAME"; the name itself may hold tabs.
            stage, _, rest = rest.partition(b"\t")
            mode = stage.partition(b" ")[0]
        name = os.fsdecode(rest)
        if tag in ABSENT_TAGS:
            absent.add(name)
        elif mode == SUBMODULE_MODE:
            notes.append(f"{name}: a submodule, not indexed (index it on its own)")
        elif name.endswith("/"):
            notes.append(f"{name[:-1]}: a repository of its own, not indexed (index it on its own)")
        else:
            present[name] = None
    return [name for name in present if name not in absent], notes


def parse_ignored_dirs(output: bytes) -> list[str]:
    """Folders of `ls-files --ignored --directory -z` output, without their slash."""
    return [os.fsdecode(record[:-1]) for record in output.split(b"\0") if record.endswith(b"/")]


class TreeWalk:
    """Files and ignored folders under `root`, read outside git.

    Ignored folders are not entered, as git does not enter them: a file in
    one cannot be brought back by a negated pattern further down. Lines of
    ignore files that can never match, and folders that cannot be listed,
    become notes.
    """

    def __init__(self, root: str, use_ignore_rules: bool, excludes: list[IgnorePattern]) -> None:
        self.root = root
        self.use_ignore_rules = use_ignore_rules
        self.excludes = excludes
        self.files: list[str] = []
        self.ignored: list[str] = []
        self.notes: list[str] = []

    def run(self) -> None:
        # A stack, not recursion: the depth of a tree is not ours to choose.
        stack: list[tuple[str, list[tuple[str, list[IgnorePattern]]]]] = [("", [])]
        while stack:
            relative, levels = stack.pop()
            folder = os.path.join(self.root, relative) if relative else self.root
            if self.use_ignore_rules:
                patterns = self.read_ignore_files(folder, relative)
                if patterns:
                    levels = levels + [(relative, patterns)]
            try:
                entries = list(os.scandir(folder))
            except OSError as error:
                self.notes.append(f"{relative or '.'}: folder not read: {error.strerror}")
                continue
            for entry in entries:
                path = relative + entry.name
                if entry.is_dir(follow_symlinks=False):
                    # The index's own folder holds no source, and its files
                    # are the index's to check, not the walk's.
                    if entry.name == ".git" or (not relative and entry.name == INDEX_FOLDER):
                        continue
                    if self.is_pruned(entry.name, levels, path):
                        self.ignored.append(path)
                    else:
                        stack.append((path + "/", levels))
                elif grammar_language(entry.name) is not None and not (
                    # Matching the name first saves an ignore test for every other file.
                    self.use_ignore_rules and decide(levels, path, False)
                ):
                    self.files.append(path)

    def is_pruned(self, name: str, levels: list[tuple[str, list[IgnorePattern]]], path: str) -> bool:
        return self.use_ignore_rules and (
            name in PRUNED_DIRS
            or decide(levels, path, True)
            or (bool(self.excludes) and decide([("", self.excludes)], path, True))
        )

    def read_ignore_files(self, folder: str, relative: str) -> list[IgnorePattern]:
        patterns: list[IgnorePattern] = []
        for name in IGNORE_FILES:
            if not os.path.lexists(os.path.join(folder, name)):
                continue
            # Read as git reads it: a link is not followed, and a FIFO in its
            # place must not stop the walk.
            try:
                data, _ = read_tree_file(folder, name, MAX_IGNORE_FILE_BYTES)
            except Unreadable as failure:
                self.notes.append(f"{relative}{name}: not read: {failure.message}")
                continue
            rules = parse_ignore_text(data, relative + name)
            patterns.extend(rules.patterns)
            self.notes.extend(rules.notes)
        return patterns


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
