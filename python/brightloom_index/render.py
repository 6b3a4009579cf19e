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

from .contract import CHECK_ERROR_LIMIT, INDEXED_LANGUAGES, OUTLINE_SYMBOL_LIMIT

# Read as true by the type checker only: `find` imports this module and
# does without typing (see cli.py).
TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, TextIO

    from .freshness import Staleness
    from .index_job import FileResult, IndexSummary, RefreshCounts
    from .native_calls import Reply
    from .queries import Found, Match, Reference
    from .ranked_map import RankedFile
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

    __slots__ = ("stdout", "stderr", "as_json", "progress", "quiet", "closed")

    def __init__(
        self, stdout: TextIO, stderr: TextIO, as_json: bool, progress: bool, quiet: bool = False
    ) -> None:
        self.stdout = stdout
        self.stderr = stderr
        self.as_json = as_json
        self.progress = progress and not quiet
        self.quiet = quiet
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

    def write_bytes(self, content: bytes) -> None:
        """Bytes as they are (a tags file): to the stream's buffer when it has one."""
        buffer = getattr(self.stdout, "buffer", None)
        if buffer is None:
            self.write(content.decode("utf-8", "surrogateescape"))
            return
        self.flush()
        if self.closed:
            return
        try:
            buffer.write(content)
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
        """Something the user should know that is not a failure; --quiet silences it."""
        if not self.quiet:
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
        self._stream.write("\r" + progress_line(done, total, shown(label), stream_columns(self._stream)) + "\x1b[K")
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
    if not selection.paths:
        out.note(no_files_line())


def no_files_line() -> str:
    """Says what is looked for when nothing was found to index."""
    extensions = ", ".join(f".{extension}" for extension in INDEXED_LANGUAGES)
    return f"No source files found: files ending in {extensions} are indexed (ignore rules apply)."


def print_matches(matches: list[Match], show_path: Callable[[str], str], out: Output) -> None:
    """`find`'s results, paths as `show_path` names them."""
    print_found(matches, show_path, out, lambda match, path: [
        f"{path}:{match.line}: {match.kind} {match.name}  {match.signature}"])


def print_references(references: list[Reference], show_path: Callable[[str], str], out: Output) -> None:
    """`refs`' results: `path:line:column: kind name`, then the source line."""
    print_found(references, show_path, out, lambda reference, path: [
        f"{path}:{reference.line}:{reference.column}: {reference.kind} {reference.name}",
        f"    {reference.text.strip()}"])


def print_found(
    found: Sequence[Found], show_path: Callable[[str], str], out: Output, describe: Callable[[Any, str], list[str]]
) -> None:
    """One JSON line per result with --json, else the lines `describe` gives for it and its shown path."""
    for item in found:
        path = show_path(item.path)
        if out.as_json:
            out.line(json_line(item.to_json(path)))
        else:
            for line in describe(item, path):
                out.text(line)


def print_glob_hint(name: str, out: Output) -> None:
    out.note(f"{name!r} is matched as a plain name; add --glob to match it as a pattern")


def refresh_line(counts: RefreshCounts, seconds: float, as_json: bool = False) -> str:
    """One refresh of `watch` or `update` in a line."""
    if as_json:
        return json_line({
            "record": "refresh", "new": counts.new, "changed": counts.changed, "removed": counts.removed,
            "unchanged": counts.unchanged, "seconds": round(seconds, 3),
        })
    return (
        f"refreshed in {seconds * 1000:.0f} ms: {counts.new} new, {counts.changed} changed,"
        f" {counts.removed} removed"
    )


def print_refresh_line(counts: RefreshCounts, seconds: float, out: Output) -> None:
    out.line(refresh_line(counts, seconds, out.as_json))


def print_tags_written(written: list[tuple[str, int]], out: Output) -> None:
    for path, count in written:
        if out.as_json:
            out.line(json_line({"record": "tags", "path": path, "tags": count}))
        else:
            out.text(f"wrote {path} ({count} tags)")


def print_stale_notice(stale: Staleness, command: str, out: Output) -> None:
    examples = ", ".join(stale.examples) + (", ..." if stale.count > len(stale.examples) else "")
    files = "file" if stale.count == 1 else "files"
    out.note(
        f"{stale.count} {files} changed since the last refresh ({examples}):"
        f" `brightloom-index update` refreshes, `{command} --refresh` refreshes first"
    )


def print_watch_line(line: str, out: Output) -> None:
    """A line of `watch`: errors always, the rest unless --quiet; flushed, as it lives long."""
    if line.startswith("error: "):
        out.error(line)
    elif line.startswith("note: "):
        out.note(line[len("note: "):])
    elif not out.quiet:
        out.line(line)
        out.flush()


def print_tags_left_out(count: int, out: Output) -> None:
    if count:
        out.note(
            f"{count} definitions left out: a control character, backtick or $ in the path,"
            " or a name or path an editor would read as an option"
        )


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
    if not summary.files:
        out.line(no_files_line())
    out.line()
    if summary.symbols_by_kind:
        kinds = sorted(summary.symbols_by_kind.items())
        out.line(table(["KIND", "DEFINITIONS"], [[kind, count] for kind, count in kinds]))
    else:
        out.line("No definitions.")
    if summary.references_by_kind:
        out.line()
        kinds = sorted(summary.references_by_kind.items())
        out.line(table(["KIND", "REFERENCES"], [[kind, count] for kind, count in kinds]))
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


# The map's size in tokens is estimated as one token per 4 bytes of its
# UTF-8 text, rounded up: close to what the tokenizers of language models
# give for source code, and the same on every machine.
BYTES_PER_TOKEN = 4
ELISION = "..."


def map_lines(files: list[RankedFile], chosen: dict[str, set[int]]) -> list[str]:
    """The map's text: each file with a shown definition, best first, as
    `path:`, then the shown signatures indented by scope, and `...` where
    definitions are left out."""
    lines = []
    for file in files:
        ordinals = sorted(chosen.get(file.path, ()))
        if not ordinals:
            continue
        lines.append(f"{shown(file.path)}:")
        # Ordinals run from 0 in source order: a gap is definitions left out.
        following = 0
        for ordinal in ordinals:
            definition = file.definitions[ordinal]
            indent = "  " * (definition.depth + 1)
            if ordinal != following:
                lines.append(indent + ELISION)
            lines.append(indent + shown(definition.signature or f"{definition.kind} {definition.name}"))
            following = ordinal + 1
        if following != len(file.definitions):
            lines.append("  " + ELISION)
    return lines


def map_tokens(files: list[RankedFile], chosen: dict[str, set[int]]) -> int:
    size = sum(len(line.encode("utf-8", "surrogateescape")) + 1 for line in map_lines(files, chosen))
    return -(-size // BYTES_PER_TOKEN)


def print_map(files: list[RankedFile], chosen: dict[str, set[int]], out: Output) -> None:
    """The map as text, or with --json one line per shown file with its score
    and its shown definitions with theirs."""
    if not out.as_json:
        for line in map_lines(files, chosen):
            out.line(line)
        return
    for file in files:
        ordinals = chosen.get(file.path)
        if not ordinals:
            continue
        definitions = [
            {"line": d.line, "end_line": d.end_line, "kind": d.kind, "name": d.name, "depth": d.depth,
             "signature": d.signature, "score": d.score}
            for d in file.definitions if d.ordinal in ordinals
        ]
        out.line(json_line({"path": file.path, "score": file.score, "definitions": definitions}))
