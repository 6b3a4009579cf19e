"""Presentation: where output goes, tables, JSON Lines, the progress bar and
the index summary.

Everything that decides how a result looks is here; the command handlers
hand over replies, rows and summaries.
"""

from __future__ import annotations

from collections.abc import Sequence
from time import monotonic

from .contract import CHECK_ERROR_LIMIT, OUTLINE_SYMBOL_LIMIT

# Read as true by the type checker only: `find` imports this module and
# does without typing (see cli.py).
TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, TextIO

    from .index_job import FileResult, IndexSummary

# Rows of the summary's syntax-error table on a terminal; --json has them all.
LISTED_ERROR_FILES = 10


class Output:
    """Where results go and in which form."""

    __slots__ = ("stdout", "stderr", "as_json", "progress", "quiet")

    def __init__(
        self, stdout: TextIO, stderr: TextIO, as_json: bool, progress: bool, quiet: bool = False
    ) -> None:
        self.stdout = stdout
        self.stderr = stderr
        self.as_json = as_json
        self.progress = progress and not quiet
        self.quiet = quiet

    def line(self, text: str = "") -> None:
        self.stdout.write(text + "\n")

    def error(self, text: str) -> None:
        self.stderr.write(f"brightloom-index: {text}\n")

    def note(self, text: str) -> None:
        """A remark on standard error that --quiet silences, unlike errors."""
        if not self.quiet:
            self.error(text)


def is_terminal(stream: TextIO) -> bool:
    isatty = getattr(stream, "isatty", None)
    return bool(isatty and isatty())


def json_line(value: Any) -> str:
    """One compact JSON text, the way the module writes its replies."""
    # Imported here: `find` without --json does without the json package.
    import json

    return json.dumps(value, ensure_ascii=False, separators=(",", ":"))


def table(headers: Sequence[str], rows: Sequence[Sequence[object]]) -> str:
    """Columns padded to their widest cell; numbers are right-aligned.

    The last column is not padded, so long signatures or snippets do not
    drag trailing blanks behind them.
    """
    cells = [[str(cell) for cell in row] for row in rows]
    numeric = [
        bool(rows) and all(isinstance(row[index], int) for row in rows)
        for index in range(len(headers))
    ]
    widths = [
        max([len(header)] + [len(row[index]) for row in cells])
        for index, header in enumerate(headers)
    ]
    lines = []
    for row in [list(headers)] + cells:
        padded = []
        for index, cell in enumerate(row):
            if index == len(row) - 1:
                padded.append(cell.rjust(widths[index]) if numeric[index] else cell)
            elif numeric[index]:
                padded.append(cell.rjust(widths[index]))
            else:
                padded.append(cell.ljust(widths[index]))
        lines.append("  ".join(padded).rstrip())
    return "\n".join(lines)


class ProgressBar:
    """A one-line bar redrawn in place on a terminal, at most ten times a second.

    The line is fitted to the terminal's width at every redraw (the window
    may be resized meanwhile): a line that wrapped would leave its first row
    behind at each redraw.
    """

    WIDTH = 30
    INTERVAL = 0.1

    def __init__(self, stream: TextIO) -> None:
        self._stream = stream
        self._last_draw = 0.0
        self._drawn = False

    def update(self, done: int, total: int, label: str) -> None:
        now = monotonic()
        if done < total and now - self._last_draw < self.INTERVAL:
            return
        self._last_draw = now
        self._stream.write("\r" + progress_line(done, total, label, stream_columns(self._stream)) + "\x1b[K")
        self._stream.flush()
        self._drawn = True

    def finish(self) -> None:
        if self._drawn:
            self._stream.write("\r\x1b[K")
            self._stream.flush()
            self._drawn = False


def stream_columns(stream: TextIO) -> int:
    """The width of the terminal `stream` writes to (80 when unknown)."""
    import os

    try:
        return os.get_terminal_size(stream.fileno()).columns or 80
    except (AttributeError, ValueError, OSError):
        return 80


def progress_line(done: int, total: int, label: str, columns: int) -> str:
    """`[####....] done/total label` in at most columns - 1 cells.

    The last column stays free: writing into it leaves some terminals waiting
    to wrap. The bar narrows on small terminals and the label keeps its end
    (a path's file name) behind a `...`.
    """
    room = max(columns - 1, 1)
    counts = f"{done}/{total}"
    width = max(0, min(ProgressBar.WIDTH, (room - len(counts) - 3) // 2))
    filled = width * done // total if total else width
    line = f"[{'#' * filled}{'.' * (width - filled)}] {counts}" if width else counts
    line = line[:room]
    space = room - len(line) - 1
    if label and space > 0:
        line += " " + fit_cells(label, space)
    return line


def fit_cells(text: str, cells: int) -> str:
    """`text`, or `...` and its end, in at most `cells` terminal cells."""
    import unicodedata

    def width(char: str) -> int:
        if unicodedata.combining(char):
            return 0
        return 2 if unicodedata.east_asian_width(char) in "WF" else 1

    # Control characters would move the cursor: shown as `?`.
    text = "".join("?" if ord(char) < 32 or ord(char) == 127 else char for char in text)
    if sum(map(width, text)) <= cells:
        return text
    if cells < 4:
        return ""
    kept: list[str] = []
    used = 3
    for char in reversed(text):
        used += width(char)
        if used > cells:
            break
        kept.append(char)
    return "..." + "".join(reversed(kept))


class IndexPresenter:
    """Streams index results as JSON Lines and drives the progress bar."""

    def __init__(self, out: Output) -> None:
        self._out = out
        self._bar = ProgressBar(out.stderr) if out.progress else None

    def parsing(self, total: int) -> None:
        if self._bar is not None:
            self._bar.update(0, total, "")

    def file_done(self, result: FileResult, done: int, total: int) -> None:
        if self._out.as_json:
            record: dict[str, Any] = {"record": "file", "path": result.path, "language": result.language}
            if result.outline is not None:
                record["outline"] = result.outline
            if result.check is not None:
                record["check"] = result.check
            if result.error is not None:
                record["error"] = result.error
            self._out.line(json_line(record))
            # Streamed as it happens, so a reader sees progress through a pipe.
            self._out.stdout.flush()
        if self._bar is not None:
            self._bar.update(done, total, result.path)

    def finish(self) -> None:
        if self._bar is not None:
            self._bar.finish()


def print_summary(summary: IndexSummary, out: Output) -> None:
    counts = summary.counts
    out.line(f"Index of {summary.root} in {summary.location} (files chosen by {summary.source})")
    out.line(
        f"Refresh: {counts.new} new, {counts.changed} changed, {counts.removed} removed,"
        f" {counts.unchanged} unchanged"
    )
    out.line()
    rows: list[list[object]] = [
        [name, summary.files_by_language[name], summary.lines_by_language[name]]
        for name in sorted(summary.files_by_language)
    ]
    rows.append(["total", summary.files, sum(summary.lines_by_language.values())])
    out.line(table(["LANGUAGE", "FILES", "LINES"], rows))
    out.line()
    if summary.symbols_by_kind:
        kinds = sorted(summary.symbols_by_kind.items())
        out.line(table(["KIND", "SYMBOLS"], [[kind, count] for kind, count in kinds]))
    else:
        out.line("No symbols.")
    out.line()
    if summary.files_with_errors:
        shown = summary.files_with_errors[:LISTED_ERROR_FILES]
        out.line(table(["FILE WITH SYNTAX ERRORS", "ERRORS"], [list(row) for row in shown]))
        hidden = len(summary.files_with_errors) - len(shown)
        if hidden:
            out.line(f"... and {hidden} more (--json lists them all)")
    else:
        out.line("No syntax errors.")
    out.line()
    if summary.slowest is not None:
        slowest = summary.slowest
        out.line(f"Slowest step: {slowest.command} {slowest.path} ({slowest.seconds * 1000:.1f} ms)")
    for line in limit_lines(summary):
        out.line(line)


def limit_lines(summary: IndexSummary) -> list[str]:
    lines = []
    if summary.scan_cut:
        lines.append(f"Limit reached: only the first {summary.max_files} files are indexed (--max-files).")
    for path in summary.outlines_cut:
        lines.append(f"Limit reached: the outline of {path} stops at {OUTLINE_SYMBOL_LIMIT} symbols.")
    for path in summary.checks_cut:
        lines.append(f"Limit reached: the check of {path} stops at {CHECK_ERROR_LIMIT} errors.")
    if summary.unreadable:
        lines.append(f"Not indexed, could not be read: {len(summary.unreadable)} files")
    for path, message in summary.unreadable:
        lines.append(f"  {path}: {message}")
    return lines
