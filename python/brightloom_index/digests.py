"""Content digests of the selected files, mostly from the module's scan.

The scan digests every matching file below its root on the module's worker
pool, but it knows nothing of ignore rules: scanned from the top, an ignored
`venv/` of ten thousand files would be read and hashed for nothing. So the
scan is sent only to the largest folders that hold no ignored folder of
grammar files; the few files left over (those beside such a folder, or that
the scan does not list: symbolic links, pruned folder names, upper-case
extensions) are digested here the same way the module does it.

Every file's stamp (size, times, inode) is kept with its digest: a file whose
stamp has not changed since is not read again, as git trusts its index.
"""

from __future__ import annotations

import os
import stat
import time

from .contract import DEFAULT_MAX_FILE_SIZE, INDEXED_LANGUAGES, UNLIMITED_FILES, scan_payload
from .native_calls import NativeCaller
from .selection import Selection, is_utf8
from .tree_files import Unreadable, digest_bytes, read_tree_file

# typing is for the checker only (see cli.py).
TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Mapping

# Plain classes rather than dataclasses, which import inspect: a refresh
# with nothing to do is a few tens of milliseconds.


class Digest:
    """The scan's figures for one file: normalised-text SHA-256 and line count."""

    __slots__ = ("file_hash", "total_lines")

    def __init__(self, file_hash: str, total_lines: int) -> None:
        self.file_hash = file_hash
        self.total_lines = total_lines

    def __eq__(self, other: object) -> bool:
        return isinstance(other, Digest) and (self.file_hash, self.total_lines) == (other.file_hash, other.total_lines)

    def __repr__(self) -> str:
        return f"Digest({self.file_hash!r}, {self.total_lines})"


# (size, mtime_ns, ctime_ns, inode) of a file. A write changes the times, a
# file renamed over another the inode, and the change time cannot be set
# back, so a file whose stamp still matches is the very file digested.
FileStamp = tuple[int, int, int, int]

# A stamp taken less than this after the file last changed is not kept: a
# change in the same clock tick would leave it as it was (git's "racy" files).
RECENT_NS = 2_000_000_000

# Linux's CLOCK_REALTIME_COARSE, the clock file times are taken from.
FILE_CLOCK = getattr(time, "CLOCK_REALTIME_COARSE", 5)

# A scan root is sent to the module's scan when at least this share of its
# selected files must be read; fewer are cheaper read one by one here.
SCAN_SHARE = 4


def file_clock_ns() -> int:
    """Now, as the kernel stamps a file written now.

    File times come from the coarse clock, which lags the precise one by up
    to a tick: compared with the precise clock, a file written just after a
    refresh began could look older than the refresh.
    """
    try:
        return time.clock_gettime_ns(FILE_CLOCK)
    except OSError:
        return time.time_ns() - 50_000_000


def stamp_of(info: os.stat_result) -> FileStamp:
    return (info.st_size, info.st_mtime_ns, info.st_ctime_ns, info.st_ino)


def settled_stamp(info: os.stat_result, taken_ns: int) -> FileStamp | None:
    """The stamp of `info`, taken at `taken_ns` or later, if it may stand for the
    content: the file had not changed for RECENT_NS, so a later change shows."""
    if taken_ns - max(info.st_mtime_ns, info.st_ctime_ns) > RECENT_NS:
        return stamp_of(info)
    return None


class DigestReport:
    __slots__ = ("digests", "stamps", "unread", "scan_calls", "digested_here", "newest_file_ns")

    def __init__(self) -> None:
        self.digests: dict[str, Digest] = {}
        # Stamps of the files digested, where settled enough to trust next time.
        self.stamps: dict[str, FileStamp] = {}
        # path -> why it could not be read (gone, not UTF-8, no permission).
        self.unread: dict[str, str] = {}
        self.scan_calls = 0
        self.digested_here = 0
        # The latest modification time of a selected file (one that could
        # not be looked at counts as now).
        self.newest_file_ns = 0


def plan_scans(paths: list[str], ignored_dirs: list[str]) -> tuple[list[str], list[str]]:
    """(folders to scan whole, files to digest one by one).

    A folder may be scanned whole when no ignored folder lies inside it. Each
    file goes to the highest such folder above it; a file whose own folder
    holds an ignored folder is left over. "" is the root.
    """
    groups = group_by_scan_root(paths, ignored_dirs)
    return [folder for folder in groups if folder is not None], groups.get(None, [])


def group_by_scan_root(paths: list[str], ignored_dirs: list[str]) -> dict[str | None, list[str]]:
    """`paths` by the folder plan_scans would scan them in; None for files left over."""
    blocked = set(ignored_dirs)
    above_blocked: set[str] = set()
    for folder in ignored_dirs:
        parts = folder.split("/")
        above_blocked.update("/".join(parts[:depth]) for depth in range(len(parts)))
    groups: dict[str | None, list[str]] = {}
    for path in paths:
        scan_root = scan_root_of(path, blocked, above_blocked) if above_blocked else ""
        groups.setdefault(scan_root, []).append(path)
    return groups

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

    A file whose stamp matches the stored one keeps its stored digest
    unread, so a refresh with nothing changed reads no file and does not
    load the module. The rest are read by the module's scan where they make
    up much of a scan root, else here.
    """
    report = DigestReport()
    known = known or {}
    root = selection.root
    # Before any file is looked at: stamps are trusted only against an earlier time.
    taken_ns = file_clock_ns()
    unsettled: dict[str, os.stat_result | None] = {}
    for path in selection.paths:
        info: os.stat_result | None
        try:
            info = os.lstat(join(root, path))
            changed_ns = info.st_mtime_ns
        except OSError:
            info = None  # read_tree_file says why
            changed_ns = taken_ns
        report.newest_file_ns = max(report.newest_file_ns, changed_ns)
        previous = known.get(path)
        if (
            previous is not None
            and info is not None
            and stat.S_ISREG(info.st_mode)
            and previous[0] == stamp_of(info)
            # Under a lower limit than it was indexed with, it leaves the index.
            and info.st_size <= max_size
        ):
            report.digests[path] = previous[1]
            report.stamps[path] = previous[0]
        else:
            unsettled[path] = info
    if not unsettled:
        return report
    groups = group_by_scan_root(selection.paths, selection.ignored_dirs)
    extensions = sorted(INDEXED_LANGUAGES)
    for folder, paths in groups.items():
        location = join(root, folder or "")
        due = sum(1 for path in paths if path in unsettled)
        # The module takes UTF-8 text only: such a folder is digested below.
        if folder is None or due * SCAN_SHARE < len(paths) or not is_utf8(location):
            continue
        reply = caller.call("scan", scan_payload(location, extensions, UNLIMITED_FILES))
        report.scan_calls += 1
        prefix = folder + "/" if folder else ""
        for entry in reply["entries"]:
            path = prefix + entry["path"]
            info = unsettled.get(path)
            # The scan knows no size limit: a file over it is left to digest_here, which names it.
            if path in unsettled and (info is None or info.st_size <= max_size):
                report.digests[path] = Digest(entry["file_hash"], entry["total_lines"])
                # Looked at before the scan read it: a change since shows as another stamp.
                del unsettled[path]
                stamp = settled_stamp(info, taken_ns) if info is not None and stat.S_ISREG(info.st_mode) else None
                if stamp is not None:
                    report.stamps[path] = stamp
    # The scan leaves out what it cannot read as UTF-8 without saying so;
    # every file it did not give is tried here and, failing that, named in
    # the report.
    for path in unsettled:
        try:
            digest_here(root, path, max_size, report)
        except Unreadable as failure:
            report.unread[path] = failure.message
    return report


def digest_here(root: str, path: str, max_size: int, report: DigestReport) -> None:
    """Digests one file under the tree's reading rules (no link, no FIFO, the size limit)."""
    report.digested_here += 1
    taken_ns = file_clock_ns()
    data, info = read_tree_file(root, path, max_size)
    report.digests[path] = Digest(*digest_bytes(data))
    # The stamp of the descriptor read: a change during the read shows as a new stamp next time.
    stamp = settled_stamp(info, taken_ns)
    if stamp is not None:
        report.stamps[path] = stamp


def join(root: str, relative: str) -> str:
    """`relative` under `root` as the scan would name it; "" is the root itself."""
    if not relative:
        return root
    return root + relative if root.endswith("/") else root + "/" + relative
