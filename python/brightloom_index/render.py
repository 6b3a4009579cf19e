"""Presentation: where output goes, tables, JSON Lines, the progress bar,
each command's results and the index summary.

Everything that decides how a result looks for people is here; the command
handlers hand over replies, rows and summaries, and choose nothing of the
form. (Failure messages are written where the failure is found, as one line.)
"""

from __future__ import annotations

import os
import re
from collections.abc import Callable, Sequence
from time import monotonic

from .contract import CHECK_ERROR_LIMIT, OUTLINE_SYMBOL_LIMIT

# Read as true by the type checker only: `find` imports this module and
# does without typing (see cli.py).
TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, TextIO

    from .index_job import FileResult, IndexSummary
    from .native_calls import Reply
    from .queries import Match
    from .selection import Selection

# Rows of the summary's syntax-error table on a terminal; --json has them all.
LISTED_ERROR_FILES = 10


# What a terminal would act on rather than show: C0 and C1 controls, DEL,
# the bidirectional overrides that reorder what is shown, and the surrogate
# escapes that stand for bytes of a name that are not UTF-8.
UNSAFE_CHARACTERS = re.compile("[\x00-\x1f\x7f-\x9f\u202a-\u202e\u2066-\u2069\udc80-\udcff]")
NAMED_ESCAPES = {"\n": "\\n", "\t": "\\t", "\r": "\\r"}


def escape_character(match: re.Match[str]) -> str:
    character = match.group()
    code = ord(character)
    if character in NAMED_ESCAPES:
        return NAMED_ESCAPES[character]
    if code >= 0xDC80:
        return f"\\x{code - 0xDC00:02x}"  # the byte the name holds
    return f"\\x{code:02x}" if code < 0x100 else f"\\u{code:04x}"


def shown(text: str) -> str:
    """`text` safe for a terminal, one line: control characters and bytes
    that are not UTF-8 are written as backslash escapes, as ls and ripgrep
    do. `--json` output is exact instead."""
    return UNSAFE_CHARACTERS.sub(escape_character, text)


class Output:
    """Where results go and in which form.

    A reader that goes away (`| head`) is not a failure: what is left to
    print is dropped and the command finishes its work (an index refresh
    is committed, not rolled back).
    """

    __slots__ = ("stdout", "stderr", "as_json", "progress", "closed")

    def __init__(self, stdout: TextIO, stderr: TextIO, as_json: bool, progress: bool) -> None:
        self.stdout = stdout
        self.stderr = stderr
        self.as_json = as_json
        self.progress = progress
        # True once the reader of standard output has gone.
        self.closed = False

    def line(self, text: str = "") -> None:
        self.write(text + "\n")

    def write(self, text: str) -> None:
        if self.closed:
            return
        try:
            self.stdout.write(text)
        except BrokenPipeError:
            self.reader_gone()

    def flush(self) -> None:
        if self.closed:
            return
        try:
            self.stdout.flush()
        except BrokenPipeError:
            self.reader_gone()

    def reader_gone(self) -> None:
        self.closed = True
        # What is still buffered, and the interpreter's flush at exit, would
        # meet the same closed pipe: send it all to the null device instead.
        try:
            null = os.open(os.devnull, os.O_WRONLY)
        except OSError:
            return
        try:
            os.dup2(null, self.stdout.fileno())
        except (OSError, ValueError):
            pass
        finally:
            os.close(null)

    def text(self, text: str) -> None:
        """One human-readable line whose parts come from files: escaped for a terminal."""
        self.write(shown(text) + "\n")

    def error(self, text: str) -> None:
        write_error(self.stderr, text)

    def note(self, text: str) -> None:
        """Something the user should know that is not a failure."""
        write_error(self.stderr, f"note: {text}")


def write_error(stderr: TextIO, text: str) -> None:
    """One line on standard error, under the program's name."""
    stderr.write(f"brightloom-index: {shown(text)}\n")


def print_profile(total: float, seconds_in_run: float, calls: int, stderr: TextIO) -> None:
    share = 100.0 * seconds_in_run / total if total > 0 else 0.0
    stderr.write(
        f"profile: {total:.3f} s in all, {seconds_in_run:.3f} s inside run ({share:.1f}%) over {calls} calls\n"
    )


def is_terminal(stream: TextIO) -> bool:
    isatty = getattr(stream, "isatty", None)
    return bool(isatty and isatty())


def json_line(value: Any) -> str:
    """One compact JSON text, the way the module writes its replies."""
    # Imported here: `find` without --json does without the json package.
    import json

    text = json.dumps(value, ensure_ascii=False, separators=(",", ":"))
    if not text.isascii():
        try:
            text.encode("utf-8")
        except UnicodeEncodeError:
            # A name that is not UTF-8 holds surrogate escapes: written as
            # `\udcXX`, which a reader decoding with surrogateescape turns
            # back into the very bytes.
            text = json.dumps(value, separators=(",", ":"))
    return text


def table(headers: Sequence[str], rows: Sequence[Sequence[object]]) -> str:
    """Columns padded to their widest cell; numbers are right-aligned.

    The last column is not padded, so long signatures or snippets do not
    drag trailing blanks behind them.
    """
    cells = [[shown(str(cell)) for cell in row] for row in rows]
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
    """A one-line bar redrawn in place on a terminal, at most ten times a second."""

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
        filled = self.WIDTH * done // total if total else self.WIDTH
        bar = "#" * filled + "." * (self.WIDTH - filled)
        text = f"[{bar}] {done}/{total} {shown(label)}"
        # Clear to the end of the line: the previous label may be longer.
        self._stream.write("\r" + text[:200] + "\x1b[K")
        self._stream.flush()
        self._drawn = True

    def finish(self) -> None:
        if self._drawn:
            self._stream.write("\r\x1b[K")
            self._stream.flush()
            self._drawn = False


class IndexPresenter:
    """Streams index results as JSON Lines and drives the progress bar."""

    def __init__(self, out: Output) -> None:
        self._out = out
        self._bar = ProgressBar(out.stderr) if out.progress else None

    def parsing(self, total: int) -> None:
        if self._bar is not None:
            self._bar.update(0, total, "")

    def notice(self, text: str) -> None:
        self._out.note(text)

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
            self._out.flush()
        if self._bar is not None:
            self._bar.update(done, total, result.path)

    def finish(self) -> None:
        if self._bar is not None:
            self._bar.finish()


def print_hash(reply: Reply, path: str, out: Output) -> None:
    if out.as_json:
        out.line(json_line({**reply, "path": path}))
    else:
        out.text(f"{reply['hash']}  {path}")


def print_scan(reply: Reply, out: Output) -> None:
    if out.as_json:
        out.line(json_line(reply))
        return
    rows = [[entry["path"], entry["total_lines"], entry["file_hash"][:16]] for entry in reply["entries"]]
    if rows:
        out.line(table(["PATH", "LINES", "HASH"], rows))
    out.line(f"{reply['count']} files")


def describe_unchecked(reply: Reply) -> str:
    language = reply["language"] or "(none)"
    return f"not parsed: {reply['reason']} (language {language})"


def print_outline(reply: Reply, file: str, out: Output) -> None:
    if out.as_json:
        out.line(json_line(reply))
        return
    if not reply["checked"]:
        out.text(f"{file}: {describe_unchecked(reply)}")
        return
    rows = [
        [
            symbol["line"],
            symbol["end_line"],
            symbol["kind"],
            "  " * symbol["depth"] + symbol["name"],
            symbol["signature"],
        ]
        for symbol in reply["symbols"]
    ]
    if rows:
        out.line(table(["LINE", "END", "KIND", "NAME", "SIGNATURE"], rows))
    note = " (limit reached, the rest is not listed)" if reply["symbol_count"] >= OUTLINE_SYMBOL_LIMIT else ""
    out.line(f"{reply['symbol_count']} symbols ({reply['language']}){note}")


def print_check(reply: Reply, file: str, out: Output) -> None:
    if out.as_json:
        out.line(json_line(reply))
        return
    if not reply["checked"]:
        out.text(f"{file}: {describe_unchecked(reply)}")
        return
    for item in reply["errors"]:
        out.text(f"{file}:{item['line']}:{item['column']}: {item['kind']}: {item['message']}")
        out.text(f"    {item['snippet']}")
    if reply["valid"]:
        out.text(f"{file}: no syntax errors ({reply['language']})")
    else:
        note = f" (stopped at {CHECK_ERROR_LIMIT})" if reply["error_count"] >= CHECK_ERROR_LIMIT else ""
        count = reply["error_count"]
        out.line(f"{count} syntax {'error' if count == 1 else 'errors'} ({reply['language']}){note}")


def print_selection(selection: Selection, max_files: int | None, out: Output) -> None:
    for note in selection.notes:
        out.note(note)
    for path in selection.paths:
        if out.as_json:
            out.line(json_line({"path": path}))
        else:
            out.text(path)
    for name, reason in selection.unlisted:
        out.error(f"left out {name}: {reason}")
    if selection.cut:
        out.error(f"only the first {max_files} files are listed (--max-files)")


def print_matches(matches: list[Match], show_path: Callable[[str], str], out: Output) -> None:
    """`find`'s results, paths as `show_path` names them."""
    for match in matches:
        path = show_path(match.path)
        if out.as_json:
            out.line(json_line(match.to_json(path)))
        else:
            out.text(f"{path}:{match.line}: {match.kind} {match.name}  {match.signature}")


def print_tags_left_out(count: int, out: Output) -> None:
    if count:
        out.note(f"{count} symbols left out: a tab or line break in the name or path")


def print_summary(summary: IndexSummary, out: Output) -> None:
    if out.as_json:
        out.line(json_line({"record": "summary", **summary.to_json()}))
        return
    counts = summary.counts
    out.text(f"Index of {summary.root} in {summary.location} (files chosen by {summary.source})")
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
        listed = summary.files_with_errors[:LISTED_ERROR_FILES]
        out.line(table(["FILE WITH SYNTAX ERRORS", "ERRORS"], [list(row) for row in listed]))
        hidden = len(summary.files_with_errors) - len(listed)
        if hidden:
            out.line(f"... and {hidden} more (--json lists them all)")
    else:
        out.line("No syntax errors.")
    out.line()
    if summary.slowest is not None:
        slowest = summary.slowest
        out.text(f"Slowest step: {slowest.command} {slowest.path} ({slowest.seconds * 1000:.1f} ms)")
    for line in limit_lines(summary):
        out.text(line)


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
