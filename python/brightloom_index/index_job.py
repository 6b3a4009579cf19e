"""The index job: bring the stored index up to date with the selected files.

`refresh` chooses the files, opens the refresh transaction and runs
`refresh_index` inside it. Files whose digest matches the stored one are
left alone; new and changed files are parsed with "symbols"; files no longer
selected, or no longer readable, leave the index. All writes go through the
one transaction, committed once the job has finished: until then readers see
the previous index. Each parsed file and each notice is handed to an
`IndexListener`; nothing here formats output.
"""

from __future__ import annotations

import os
from collections import Counter
from time import perf_counter

from . import index_place, store
from .contract import CHECK_ERROR_LIMIT, DEFAULT_MAX_FILE_SIZE, OUTLINE_SYMBOL_LIMIT, grammar_language
from .digests import Digest, FileStamp, digest_selection, file_clock_ns
from .freshness import changes_since
from .native_calls import NativeCaller, Reply
from .selection import Selection, SelectionRules, is_utf8, select_files

# typing is for the checker only (see cli.py).
TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Iterator
    from typing import Any, Protocol

    from .parsing import ParseOutcome
else:
    Protocol = object


# Plain classes rather than dataclasses, which import inspect: a refresh
# with nothing to do is a few tens of milliseconds.
class FileResult:
    """Outline and check of one parsed file; `error` when it could not be read."""

    __slots__ = ("path", "language", "outline", "check", "error")

    def __init__(
        self,
        path: str,
        language: str,
        outline: Reply | None = None,
        check: Reply | None = None,
        error: str | None = None,
    ) -> None:
        self.path = path
        self.language = language
        self.outline = outline
        self.check = check
        self.error = error


class SlowestStep:
    __slots__ = ("command", "path", "seconds")

    def __init__(self, command: str, path: str, seconds: float) -> None:
        self.command = command
        self.path = path
        self.seconds = seconds


class RefreshCounts:
    """What one refresh did to the stored files."""

    def __init__(self, new: int = 0, changed: int = 0, removed: int = 0, unchanged: int = 0) -> None:
        self.new = new
        self.changed = changed
        self.removed = removed
        self.unchanged = unchanged

    def __eq__(self, other: object) -> bool:
        return isinstance(other, RefreshCounts) and vars(self) == vars(other)

    def __repr__(self) -> str:
        return f"RefreshCounts({vars(self)})"


class IndexSummary:
    """Figures of the index after a refresh, and of the refresh itself."""

    def __init__(self, root: str, location: str, source: str, max_files: int | None, scan_cut: bool = False) -> None:
        self.root = root
        self.location = location
        self.source = source
        self.max_files = max_files
        self.counts = RefreshCounts()
        self.files = 0
        self.lines_by_language: dict[str, int] = {}
        self.files_by_language: dict[str, int] = {}
        # Definitions and references per kind.
        self.symbols_by_kind: Counter[str] = Counter()
        self.references_by_kind: Counter[str] = Counter()
        # (path, error count) of each indexed file whose check found syntax errors.
        self.files_with_errors: list[tuple[str, int]] = []
        self.slowest: SlowestStep | None = None
        self.scan_cut = scan_cut
        self.outlines_cut: list[str] = []
        self.checks_cut: list[str] = []
        # (path, message) of selected files that could not be read in this run.
        self.unreadable: list[tuple[str, str]] = []
        # The latest modification time of a selected file, as the digests found it.
        self.newest_file_ns = 0

    def note_step(self, command: str, path: str, seconds: float) -> None:
        if self.slowest is None or seconds > self.slowest.seconds:
            self.slowest = SlowestStep(command, path, seconds)

    def to_json(self) -> dict[str, Any]:
        return {
            "root": self.root,
            "index": self.location,
            "source": self.source,
            "files": self.files,
            "refresh": vars(self.counts).copy(),
            "languages": [
                {"language": name, "files": self.files_by_language[name], "lines": self.lines_by_language[name]}
                for name in sorted(self.files_by_language)
            ],
            "symbols": dict(sorted(self.symbols_by_kind.items())),
            "references": dict(sorted(self.references_by_kind.items())),
            "files_with_errors": [{"path": path, "error_count": count} for path, count in self.files_with_errors],
            "slowest_step": None
            if self.slowest is None
            else {
                "command": self.slowest.command,
                "path": self.slowest.path,
                "seconds": round(self.slowest.seconds, 6),
            },
            "limits": {
                "scan_cut": self.scan_cut,
                "max_files": self.max_files,
                "outlines_cut": self.outlines_cut,
                "checks_cut": self.checks_cut,
                "unreadable": [{"path": path, "error": message} for path, message in self.unreadable],
            },
        }


class IndexListener(Protocol):
    """Hears of a refresh as it goes."""

    def notice(self, text: str) -> None:
        """Something the user should know (an index rebuilt), as one line."""

    def parsing(self, total: int) -> None:
        """`total` files are about to be parsed."""

    def file_done(self, result: FileResult, done: int, total: int) -> None:
        """One file parsed (and stored when it could be read)."""


class PendingFile:
    __slots__ = ("path", "language", "digest", "stamp")

    def __init__(self, path: str, language: str, digest: Digest, stamp: FileStamp | None) -> None:
        self.path = path
        self.language = language
        self.digest = digest
        self.stamp = stamp


# A refresh storing at least this many files, and at least half as many as
# the index held, rebuilds the name indexes once instead of row by row.
BULK_MIN_FILES = 256


def available_processors() -> int:
    """Processors this process may run on (its affinity), as the scan counts them."""
    return len(os.sched_getaffinity(0))


def refresh(
    root: str,
    rules: SelectionRules,
    location: str | None,
    rebuild: bool,
    wait_seconds: float,
    caller: NativeCaller,
    listener: IndexListener,
    jobs: int | None = None,
    auto_refresh: bool | None = None,
    figures: bool = True,
) -> IndexSummary:
    """Chooses the files, then refreshes the index in one transaction.

    `figures` False leaves the whole-index figures out of the summary (a
    caller that prints only the refresh counts): they read every table.

    `auto_refresh` True or False sets whether lookups refresh a stale index
    first; None leaves the setting as it is.

    `location` None is the default place under `root`, prepared (folder,
    marker and .gitignore) and checked for links here. The files are listed before the index is opened, so a
    bad root creates no index folder; they are digested under the write
    lock, so two refreshes never both act on what they read before the
    other wrote.
    """
    started_ns = file_clock_ns()
    selection = select_files(root, rules)
    for note in selection.notes:
        listener.notice(note)
    at_default_place = location is None
    if location is None:
        location = index_place.prepare_default_place(root)
    transaction = store.RefreshTransaction(location, rebuild, wait_seconds, listener.notice, at_default_place)
    with transaction as index:
        jobs = available_processors() if jobs is None else jobs
        summary = refresh_index(caller, index, selection, listener, jobs, rules.max_file_size, figures)
        absolute_root = os.path.abspath(root)
        # SQLite takes UTF-8 text only: a root under a folder whose name is
        # not UTF-8 is not stored, and lookups name paths from the index's place.
        if is_utf8(absolute_root):
            index.write_meta("root", absolute_root)
        index.write_meta("rules", rules.to_text())
        if needs_new_start(index, summary, selection):
            index.write_meta(store.REFRESH_STARTED_KEY, str(started_ns))
        if auto_refresh is not None:
            index.write_meta(store.AUTO_REFRESH_KEY, "1" if auto_refresh else "0")
    summary.location = location
    summary.max_files = rules.max_files
    return summary


def needs_new_start(index: store.Store, summary: IndexSummary, selection: Selection) -> bool:
    """Whether the stored refresh start must move to this refresh's.

    Lookups compare file times with it. When nothing changed and no file is
    newer than the stored start, it stays, and a refresh that found nothing
    to do writes nothing at all (no commit to wait for).
    """
    counts = summary.counts
    if counts.new or counts.changed or counts.removed:
        return True
    previous = index.read_meta(store.REFRESH_STARTED_KEY)
    if previous is None or not previous.isdigit() or summary.newest_file_ns >= int(previous):
        return True
    # Every file was looked at while digesting: only the folders are left.
    stale = changes_since(selection.root, selection.paths, int(previous), stat_files=False)
    stale.confirm(selection.paths)
    return bool(stale)


def refresh_index(
    caller: NativeCaller,
    index: store.Store,
    selection: Selection,
    listener: IndexListener,
    jobs: int = 1,
    max_size: int = DEFAULT_MAX_FILE_SIZE,
    figures: bool = True,
) -> IndexSummary:
    """Updates `index` inside its open transaction; returns the figures.

    `jobs` processes parse new and changed files (see parse_pool).
    """
    summary = IndexSummary(
        root=selection.root, location="", source=selection.source, max_files=None, scan_cut=selection.cut
    )
    stored = index.stored_files()
    known = known_digests(stored)
    started = perf_counter()
    report = digest_selection(caller, selection, known, max_size)
    summary.note_step("scan", selection.root, perf_counter() - started)
    summary.newest_file_ns = report.newest_file_ns

    pending = []
    for path, row in stored.items():
        if path not in report.digests:
            index.delete_file(row.file_id)
            summary.counts.removed += 1
    # In path order, whichever way each digest was obtained.
    for path in selection.paths:
        new_digest = report.digests.get(path)
        if new_digest is None:
            continue
        language = grammar_language(path)
        assert language is not None, "the selection keeps grammar files only"
        stamp = report.stamps.get(path)
        old = stored.get(path)
        if old is not None and (old.digest, old.language) == (new_digest.file_hash, language):
            summary.counts.unchanged += 1
            if old.stamp != stamp:
                index.write_stamp(old.file_id, stamp)
            continue
        if old is None:
            summary.counts.new += 1
        else:
            summary.counts.changed += 1
            index.delete_file(old.file_id)
        pending.append(PendingFile(path, language, new_digest, stamp))

    unreadable = selection.unlisted + list(report.unread.items())
    bulk = len(pending) >= BULK_MIN_FILES and len(pending) * 2 >= len(stored)
    if bulk:
        index.drop_name_indexes()
    listener.parsing(len(pending))
    outcomes = parse_pending(caller, selection.root, pending, jobs, max_size) if pending else ()
    for done, (item, outcome) in enumerate(zip(pending, outcomes), start=1):
        summary.note_step("symbols", item.path, outcome.seconds)
        if outcome.error is None and outcome.file_hash is not None:
            # The digest of what was parsed; the stamp only if that is what was digested.
            stamp = item.stamp if outcome.file_hash == item.digest.file_hash else None
            index.insert_file(item.path, item.language, stamp, outcome)
        else:
            # It changed or vanished after its digest: it stays out until readable.
            unreadable.append((item.path, outcome.error or ""))
        result = FileResult(item.path, item.language, outcome.outline, outcome.check, outcome.error)
        listener.file_done(result, done, len(pending))
    if bulk:
        index.create_name_indexes()
    summary.unreadable = sorted(unreadable)
    if figures:
        add_stored_figures(index, summary)
    return summary


def known_digests(stored: dict[str, store.StoredFile]) -> dict[str, tuple[FileStamp, Digest]]:
    """The stored digest of each file with a stamp, for digest_selection."""
    return {path: (row.stamp, Digest(row.digest, row.lines)) for path, row in stored.items() if row.stamp is not None}


def parse_pending(
    caller: NativeCaller, root: str, pending: list[PendingFile], jobs: int, max_size: int
) -> Iterator[ParseOutcome]:
    # Imported only when there is something to parse.
    from .parse_pool import parse_files
    from .parsing import ParseRequest

    # Workers start in "/": they get the root as an absolute path.
    absolute_root = os.path.abspath(root)
    requests = [ParseRequest(absolute_root, item.path, item.language, max_size) for item in pending]
    return parse_files(caller, requests, jobs)


def add_stored_figures(index: store.Store, summary: IndexSummary) -> None:
    """Fills the summary's whole-index figures from the tables."""
    figures = index.figures(OUTLINE_SYMBOL_LIMIT, CHECK_ERROR_LIMIT)
    summary.files_by_language = figures.files_by_language
    summary.lines_by_language = figures.lines_by_language
    summary.files = sum(figures.files_by_language.values())
    summary.symbols_by_kind = Counter(figures.symbols_by_kind)
    summary.references_by_kind = Counter(figures.references_by_kind)
    summary.files_with_errors = figures.files_with_errors
    summary.outlines_cut = figures.outlines_cut
    summary.checks_cut = figures.checks_cut
