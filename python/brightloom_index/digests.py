"""Content digests of the selected files, mostly from the module's scan.

The scan digests every matching file below its root on the module's worker
pool, but it knows nothing of ignore rules: scanned from the top, an ignored
`venv/` of ten thousand files would be read and hashed for nothing. So the
scan is sent only to the largest folders that hold no ignored folder of
grammar files; the few files left over (those beside such a folder, or that
the scan does not list: symbolic links, pruned folder names, upper-case
extensions) are digested here the same way the module does it.
"""

from __future__ import annotations

import os
import stat
from collections.abc import Mapping
from dataclasses import dataclass, field
from time import time_ns

from .contract import DEFAULT_MAX_FILE_SIZE, INDEXED_LANGUAGES, UNLIMITED_FILES, scan_payload
from .native_calls import NativeCaller
from .selection import Selection, is_utf8
from .tree_files import Unreadable, digest_bytes, read_tree_file


@dataclass(frozen=True)
class Digest:
    """The scan's figures for one file: normalised-text SHA-256 and line count."""

    file_hash: str
    total_lines: int


@dataclass(frozen=True)
class FileStamp:
    """Size and modification time of a file digested here, to know it unchanged later."""

    size: int
    mtime_ns: int


# A stamp younger than this is not kept: a change in the same clock tick
# that kept the size would otherwise go unseen (git's "racy" files).
RECENT_NS = 2_000_000_000


@dataclass
class DigestReport:
    digests: dict[str, Digest] = field(default_factory=dict)
    # Stamps of files digested here (not by the scan), old enough to trust.
    stamps: dict[str, FileStamp] = field(default_factory=dict)
    # path -> why it could not be read (gone, not UTF-8, no permission).
    unread: dict[str, str] = field(default_factory=dict)
    scan_calls: int = 0
    digested_here: int = 0


def plan_scans(paths: list[str], ignored_dirs: list[str]) -> tuple[list[str], list[str]]:
    """(folders to scan whole, files to digest one by one).

    A folder may be scanned whole when no ignored folder lies inside it. Each
    file goes to the highest such folder above it; a file whose own folder
    holds an ignored folder is left over. "" is the root.
    """
    blocked = set(ignored_dirs)
    above_blocked: set[str] = set()
    for folder in ignored_dirs:
        parts = folder.split("/")
        above_blocked.update("/".join(parts[:depth]) for depth in range(len(parts)))
    scan_roots: dict[str, None] = {}
    loose: list[str] = []
    for path in paths:
        scan_root = scan_root_of(path, blocked, above_blocked)
        if scan_root is None:
            loose.append(path)
        else:
            scan_roots[scan_root] = None
    return list(scan_roots), loose


def scan_root_of(path: str, blocked: set[str], above_blocked: set[str]) -> str | None:
    """The highest folder above `path` with no ignored folder inside it."""
    parts = path.split("/")[:-1]
    for depth in range(len(parts) + 1):
        folder = "/".join(parts[:depth])
        if folder in blocked:
            return None
        if folder not in above_blocked:
            return folder
    return None


def digest_selection(
    caller: NativeCaller,
    selection: Selection,
    known: Mapping[str, tuple[FileStamp, Digest]] | None = None,
    max_size: int = DEFAULT_MAX_FILE_SIZE,
) -> DigestReport:
    """Digests of the selected files; `known` holds stamps and digests stored earlier.

    A file digested here whose stamp matches the stored one keeps its stored
    digest unread: files the scan cannot reach (under a folder of a pruned
    name, say) would otherwise be read on every refresh.
    """
    report = DigestReport()
    known = known or {}
    wanted = set(selection.paths)
    scan_roots, _ = plan_scans(selection.paths, selection.ignored_dirs)
    extensions = sorted(INDEXED_LANGUAGES)
    for folder in scan_roots:
        location = join(selection.root, folder)
        if not is_utf8(location):
            continue  # the module takes UTF-8 text only: these are digested below
        reply = caller.call("scan", scan_payload(location, extensions, UNLIMITED_FILES))
        report.scan_calls += 1
        prefix = folder + "/" if folder else ""
        for entry in reply["entries"]:
            path = prefix + entry["path"]
            if path in wanted:
                report.digests[path] = Digest(entry["file_hash"], entry["total_lines"])
    # The scan leaves out what it cannot read as UTF-8 without saying so;
    # every selected file it did not give is tried here and, failing that,
    # named in the report.
    for path in selection.paths:
        if path in report.digests:
            continue
        try:
            digest_here(selection.root, path, known.get(path), max_size, report)
        except Unreadable as failure:
            report.unread[path] = failure.message
    return report


def digest_here(
    root: str, path: str, previous: tuple[FileStamp, Digest] | None, max_size: int, report: DigestReport
) -> None:
    """Digests one file under the tree's reading rules (no link, no FIFO, the size limit)."""
    try:
        info = os.lstat(join(root, path))
    except OSError:
        info = None  # read_tree_file says why
    if (
        info is not None
        and stat.S_ISREG(info.st_mode)
        and previous is not None
        and previous[0] == FileStamp(info.st_size, info.st_mtime_ns)
    ):
        report.digests[path] = previous[1]
        report.stamps[path] = previous[0]
        return
    report.digested_here += 1
    data, info = read_tree_file(root, path, max_size)
    report.digests[path] = Digest(*digest_bytes(data))
    # The stamp of the descriptor read: a change during the read shows as a new stamp next time.
    if time_ns() - info.st_mtime_ns > RECENT_NS:
        report.stamps[path] = FileStamp(info.st_size, info.st_mtime_ns)


def join(root: str, relative: str) -> str:
    """`relative` under `root` as the scan would name it; "" is the root itself."""
    if not relative:
        return root
    return root + relative if root.endswith("/") else root + "/" + relative
