"""Whether the tree changed since the index's last refresh, cheaply.

A lookup must not pay for a refresh, but it should say when its answer may
be old. Every indexed file is looked at with one stat (changed or gone
when its modification time is not older than the refresh's start), and
every folder holding indexed files whose own time is newer is listed for
source files the index does not hold (a new or renamed file changes its
folder's time); only when there are such, the selection is made again to
tell them from ignored ones. Reading no file, this costs a few milliseconds
on a tree of a few thousand files.
"""

from __future__ import annotations

import os

from .contract import PRUNED_DIRS, grammar_language

# New folders are looked into this deep for source files, no further.
NEW_FOLDER_ENTRIES = 2000
# Examples named in the notice.
EXAMPLES = 3


class Staleness:
    """What changed since the refresh: a count and a few example paths.

    New entries found in changed folders are only candidates (`unsure`):
    an ignored folder or file is no change. `confirm` keeps those the
    selection takes.
    """

    __slots__ = ("count", "examples", "unsure")

    def __init__(self) -> None:
        self.count = 0
        self.examples: list[str] = []
        # New file paths, and new folders with a trailing `/`.
        self.unsure: list[str] = []

    def add(self, path: str) -> None:
        self.count += 1
        if len(self.examples) < EXAMPLES:
            self.examples.append(path)

    def confirm(self, selected: list[str]) -> None:
        """Counts the candidates that are, or hold, files of the selection."""
        chosen = set(selected)
        folders = {path[: index + 1] for path in selected for index, char in enumerate(path) if char == "/"}
        for candidate in self.unsure:
            if candidate in chosen or candidate in folders:
                self.add(candidate)
        self.unsure = []

    def __bool__(self) -> bool:
        return self.count > 0


def changes_since(root: str, paths: list[str], started_ns: int, stat_files: bool = True) -> Staleness:
    """Indexed `paths` (relative to `root`) changed or gone, and source files new
    in their folders, since `started_ns`; the folders only without `stat_files`."""
    found = Staleness()
    folders: dict[str, set[str]] = {"": set()}
    prefix = root + os.sep
    for path in paths:
        folder, _, name = path.rpartition("/")
        known = folders.get(folder)
        if known is None:
            known = folders[folder] = set()
            # Every folder on the way, so that a new subfolder can be told from a known one.
            child = folder
            while child:
                parent, _, child_name = child.rpartition("/")
                seen = parent in folders
                folders.setdefault(parent, set()).add(child_name)
                if seen:
                    break
                child = parent
        known.add(name)
        if not stat_files:
            continue
        try:
            if os.stat(prefix + path).st_mtime_ns >= started_ns:
                found.add(path)
        except OSError:
            found.add(path)
    for folder, known in folders.items():
        location = os.path.join(root, folder) if folder else root
        try:
            if os.stat(location).st_mtime_ns < started_ns:
                continue
            entries = list(os.scandir(location))
        except OSError:
            continue
        for entry in entries:
            if entry.name in known or entry.name in PRUNED_DIRS or entry.name.startswith("."):
                continue
            relative = f"{folder}/{entry.name}" if folder else entry.name
            if entry.is_dir(follow_symlinks=False):
                if holds_source(entry.path):
                    found.unsure.append(relative + "/")
            elif grammar_language(entry.name) is not None:
                found.unsure.append(relative)
    return found


def holds_source(folder: str) -> bool:
    """Whether a new folder holds a source file, looking at a bounded number of entries."""
    seen = 0
    for current, folders, files in os.walk(folder):
        folders[:] = [name for name in folders if name not in PRUNED_DIRS and not name.startswith(".")]
        if any(grammar_language(name) is not None for name in files):
            return True
        seen += len(files) + len(folders)
        if seen > NEW_FOLDER_ENTRIES:
            return False
    return False
