"""`watch`: keeps an index and its tags files fresh while files change.

Change notifications come from watchdog (Debian's python3-watchdog), which
follows new, moved and removed folders itself; each burst of changes is
answered by one ordinary refresh, so the index never holds more than git or
the ignore files would choose, and every refresh is one transaction.
"""

from __future__ import annotations

import importlib
import os
import signal
import sys
import threading
from time import monotonic, sleep
from typing import TYPE_CHECKING, Any, Callable

from .contract import grammar_language
from .errors import Failure
from .exit_codes import EXIT_OK

if TYPE_CHECKING:
    import argparse

    from .native_calls import NativeCaller
    from .render import Output

# A burst ends when nothing has changed for QUIET_SECONDS (an editor's save
# is a write and a rename within a millisecond or two); a stream of changes
# that never pauses is still answered every MAX_DELAY_SECONDS.
QUIET_SECONDS = 0.05
MAX_DELAY_SECONDS = 1.0
# While git holds its index lock a checkout or merge is writing files: the
# refresh waits for the lock to go, up to this long.
GIT_LOCK_SECONDS = 30.0
# How often the root is checked for having vanished or been replaced.
ROOT_CHECK_SECONDS = 0.5
# Files that change which files are chosen, wherever they are.
RULE_FILES = frozenset({".gitignore", ".ignore"})


class ChangeFilter:
    """Decides which changed paths can change the index.

    Changes inside `.git` (but for its exclude file), inside the index's own
    folder, and to the tags files written after each refresh are the
    watcher's or git's bookkeeping; files of no indexed language other
    than ignore files change nothing.
    """

    def __init__(self, root: str, own_paths: Callable[[], set[str]]) -> None:
        self.root = os.path.abspath(root)
        self.git_dir = os.path.join(self.root, ".git") + os.sep
        self._own_paths = own_paths

    def matters(self, path: str, is_directory: bool) -> bool:
        if not path:
            return False
        path = os.path.abspath(path)
        if path.startswith(self.git_dir):
            return path.endswith(os.sep + os.path.join("info", "exclude"))
        for own in self._own_paths():
            if path == own or path.startswith(own + os.sep) or path.startswith(own + "-"):
                return False
        name = os.path.basename(path)
        if is_directory:
            return True
        # Tags files are written beside their place under a temporary name.
        if name.startswith(".tags."):
            return False
        return name in RULE_FILES or grammar_language(name) is not None


class ChangeSignal:
    """Collects change notifications from watchdog's thread: when the first
    came since the last refresh and when the latest came."""

    def __init__(self, change_filter: ChangeFilter) -> None:
        self._filter = change_filter
        self._lock = threading.Lock()
        self._wake = threading.Event()
        self.first: float | None = None
        self.latest = 0.0

    # The watchdog handler interface: every event goes through dispatch.
    def dispatch(self, event: Any) -> None:
        if event.event_type not in ("created", "deleted", "modified", "moved", "closed"):
            return
        if event.event_type == "modified" and event.is_directory:
            # A folder's own times change with every file inside: the file
            # events say what happened.
            return
        paths = (event.src_path, getattr(event, "dest_path", ""))
        if not any(self._filter.matters(path, event.is_directory) for path in paths):
            return
        self.note_change()

    def note_change(self) -> None:
        with self._lock:
            now = monotonic()
            if self.first is None:
                self.first = now
            self.latest = now
        self._wake.set()

    def wait(self, seconds: float) -> bool:
        return self._wake.wait(seconds)

    def wake(self) -> None:
        self._wake.set()

    def remaining_wait(self) -> float | None:
        """How long to wait before the burst is over; None when it is over."""
        with self._lock:
            if self.first is None:
                return None
            now = monotonic()
            remaining = min(self.latest + QUIET_SECONDS, self.first + MAX_DELAY_SECONDS) - now
            return remaining if remaining > 0 else None

    def take(self) -> bool:
        """Clears the record of changes; True when there were any."""
        with self._lock:
            had = self.first is not None
            self.first = None
            self._wake.clear()
            return had


class StopRequest:
    """SIGINT and SIGTERM ask the loop to stop between refreshes.

    A refresh under way finishes (or, if a parse process was interrupted
    with it, rolls back), so the index is whole either way.
    """

    def __init__(self, change_signal: ChangeSignal) -> None:
        self.requested = False
        self._signal = change_signal
        self._previous = {
            number: signal.signal(number, self._handle) for number in (signal.SIGINT, signal.SIGTERM)
        }

    def _handle(self, number: int, frame: object) -> None:
        self.requested = True
        self._signal.wake()

    def restore(self) -> None:
        for number, handler in self._previous.items():
            signal.signal(number, handler)


def root_identity(root: str) -> tuple[int, int] | None:
    try:
        status = os.stat(root)
    except OSError:
        return None
    return (status.st_dev, status.st_ino) if os.path.isdir(root) else None


def git_busy(root: str) -> bool:
    return os.path.exists(os.path.join(root, ".git", "index.lock"))


class Watcher:
    """The watch loop: one observer on the root, one refresh per burst."""

    def __init__(
        self,
        root: str,
        refresh: Callable[[], str],
        own_paths: Callable[[], set[str]],
        report: Callable[[str], None],
    ) -> None:
        self.root = os.path.abspath(root)
        self._refresh = refresh
        self._report = report
        self.changes = ChangeSignal(ChangeFilter(self.root, own_paths))
        self._observer: Any = None
        self.refreshes = 0

    def _start_observer(self) -> None:
        # By name: watchdog has no type information.
        observer: Any = importlib.import_module("watchdog.observers").Observer()
        observer.schedule(self.changes, self.root, recursive=True)
        observer.daemon = True
        observer.start()
        self._observer = observer

    def _stop_observer(self) -> None:
        if self._observer is not None:
            self._observer.stop()
            self._observer.join(timeout=5)
            self._observer = None

    def run_refresh(self) -> None:
        try:
            line = self._refresh()
        except Failure as failure:
            # A refresh that fails (a file vanishing under the scan, a busy
            # index) is tried again at the next change; the index is whole.
            self._report(f"error: {failure.message}")
            return
        except OSError as error:
            self._report(f"error: {error.filename or self.root}: {error.strerror}")
            return
        self.refreshes += 1
        self._report(line)

    def run(self, stop: StopRequest) -> None:
        identity = root_identity(self.root)
        if identity is None:
            raise Failure(f"{self.root}: no such folder")
        self._start_observer()
        try:
            self.run_refresh()
            while not stop.requested:
                self.changes.wait(ROOT_CHECK_SECONDS)
                if stop.requested:
                    break
                current = root_identity(self.root)
                if current != identity:
                    identity = self._root_changed(current, stop)
                    continue
                if self._burst_over(stop) and self.changes.take():
                    self.run_refresh()
        finally:
            self._stop_observer()

    def _burst_over(self, stop: StopRequest) -> bool:
        """Waits out the burst (and a git operation under way); False when stopping."""
        deadline = monotonic() + GIT_LOCK_SECONDS
        while not stop.requested:
            remaining = self.changes.remaining_wait()
            if remaining is None and git_busy(self.root) and monotonic() < deadline:
                remaining = 0.02
            if remaining is None:
                return True
            sleep(min(remaining, 0.05))
        return False

    def _root_changed(self, current: tuple[int, int] | None, stop: StopRequest) -> tuple[int, int] | None:
        """The root vanished or was replaced: waits for it, then watches it afresh."""
        self._stop_observer()
        if current is None:
            self._report(f"note: {self.root} vanished; waiting for it to come back")
            while current is None and not stop.requested:
                self.changes.take()
                self.changes.wait(ROOT_CHECK_SECONDS)
                current = root_identity(self.root)
            if stop.requested:
                return current
        self._start_observer()
        self.changes.take()
        self.run_refresh()
        return current


def missing_watchdog_message() -> str:
    """Says how to get watchdog for the interpreter that lacks it.

    Debian's package serves only Debian's own interpreter (and environments
    made from it with --system-site-packages); any other one, such as a
    pyenv build, needs the package installed for itself.
    """
    interpreter = sys.executable
    if sys.prefix == sys.base_prefix and os.path.realpath(interpreter).startswith("/usr/bin/"):
        remedy = "apt-get install python3-watchdog"
    else:
        remedy = f"{interpreter} -m pip install watchdog"
    return f"watch needs the Python package watchdog, which is not installed for {interpreter} ({remedy})"


class QuietListener:
    """Hears a refresh without drawing anything; notices go to the report."""

    def __init__(self, report: Callable[[str], None]) -> None:
        self._report = report

    def notice(self, text: str) -> None:
        self._report(f"note: {text}")

    def parsing(self, total: int) -> None:
        pass

    def file_done(self, result: object, done: int, total: int) -> None:
        pass


def run_watch(args: argparse.Namespace, caller: NativeCaller, out: Output) -> int:
    # Imported here so that the loop above loads without the indexing code.
    from . import index_place, render
    from .commands import index_target
    from .index_job import refresh
    from .queries import IndexPlace, rewrite_tags_files
    from .render import Output

    try:
        importlib.import_module("watchdog.observers")
    except ImportError:
        raise Failure(missing_watchdog_message()) from None
    # As for `index`: inside an indexed tree, without ROOT, the enclosing index.
    root, rules, database = index_target(args, out)
    location = database if database is not None else index_place.default_location(root)

    def report(line: str) -> None:
        render.print_watch_line(line, out)

    listener = QuietListener(report)
    silent = Output(out.stdout, out.stderr, as_json=False, progress=False, quiet=True)
    first_refresh = True

    place = IndexPlace(location, root, is_default=database is None)

    def refresh_once() -> str:
        nonlocal first_refresh
        started = monotonic()
        summary = refresh(root, rules, database, False, args.wait, caller, listener, jobs=args.jobs, figures=False)
        counts = summary.counts
        if counts.new or counts.changed or counts.removed or first_refresh:
            # The tags files follow the index; failures are reported, the watch goes on.
            for message in rewrite_tags_files(place, silent)[1]:
                report(f"error: {message}")
        first_refresh = False
        return render.refresh_line(counts, monotonic() - started, out.as_json)

    def own_paths() -> set[str]:
        index = os.path.abspath(location)
        return {os.path.dirname(index) if database is None else index}

    watcher = Watcher(root, refresh_once, own_paths, report)
    stop = StopRequest(watcher.changes)
    try:
        watcher.run(stop)
    finally:
        stop.restore()
    return EXIT_OK
