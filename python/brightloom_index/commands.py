"""One handler per subcommand: build the payload, call the module, present.

Each handler takes the parsed arguments, the caller and an `Output`, and
returns the exit status. Failures of the module propagate as CommandFailed
except where a handler goes on with the next file.
"""

from __future__ import annotations

import argparse
from dataclasses import dataclass
from typing import Any, TextIO

from .index_job import (
    CHECK_ERROR_LIMIT,
    OUTLINE_SYMBOL_LIMIT,
    FileResult,
    IndexSummary,
    index_tree,
)
from .native_calls import CommandFailed, NativeCaller, Reply
from .render import ProgressBar, json_line, table

EXIT_OK = 0
EXIT_ERRORS_FOUND = 1
EXIT_FAILURE = 2

# Rows of the summary's syntax-error table on a terminal; --json has them all.
LISTED_ERROR_FILES = 10


@dataclass
class Output:
    """Where results go and in which form."""

    stdout: TextIO
    stderr: TextIO
    as_json: bool
    progress: bool

    def line(self, text: str = "") -> None:
        self.stdout.write(text + "\n")

    def error(self, text: str) -> None:
        self.stderr.write(f"brightloom-index: {text}\n")


def run_hash(args: argparse.Namespace, caller: NativeCaller, out: Output) -> int:
    status = EXIT_OK
    for path in args.files:
        try:
            reply = caller.call("hash", {"path": path})
        except CommandFailed as failure:
            # Like other checksum tools, one bad file does not stop the rest.
            out.error(f"error: {path}: {failure.message}")
            status = EXIT_FAILURE
            continue
        if out.as_json:
            out.line(json_line({**reply, "path": path}))
        else:
            out.line(f"{reply['hash']}  {path}")
    return status


def scan_payload(root: str, extensions: list[str] | None, max_files: int | None) -> dict[str, Any]:
    payload: dict[str, Any] = {"root": root}
    if extensions is not None:
        payload["extensions"] = extensions
    if max_files is not None:
        payload["max_files"] = max_files
    return payload


def run_scan(args: argparse.Namespace, caller: NativeCaller, out: Output) -> int:
    reply = caller.call("scan", scan_payload(args.root, args.ext, args.max_files))
    if out.as_json:
        out.line(json_line(reply))
        return EXIT_OK
    rows = [[entry["path"], entry["total_lines"], entry["file_hash"][:16]] for entry in reply["entries"]]
    if rows:
        out.line(table(["PATH", "LINES", "HASH"], rows))
    out.line(f"{reply['count']} files")
    return EXIT_OK


def describe_unchecked(reply: Reply) -> str:
    language = reply["language"] or "(none)"
    return f"not parsed: {reply['reason']} (language {language})"


def run_outline(args: argparse.Namespace, caller: NativeCaller, out: Output) -> int:
    reply = call_for_file(caller, "outline", args)
    if out.as_json:
        out.line(json_line(reply))
        return EXIT_OK
    if not reply["checked"]:
        out.line(f"{args.file}: {describe_unchecked(reply)}")
        return EXIT_OK
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
    return EXIT_OK


def run_check(args: argparse.Namespace, caller: NativeCaller, out: Output) -> int:
    reply = call_for_file(caller, "syntax-check", args)
    status = EXIT_OK if reply["valid"] else EXIT_ERRORS_FOUND
    if out.as_json:
        out.line(json_line(reply))
        return status
    if not reply["checked"]:
        out.line(f"{args.file}: {describe_unchecked(reply)}")
        return status
    for item in reply["errors"]:
        out.line(f"{args.file}:{item['line']}:{item['column']}: {item['kind']}: {item['message']}")
        out.line(f"    {item['snippet']}")
    if reply["valid"]:
        out.line(f"{args.file}: no syntax errors ({reply['language']})")
    else:
        note = f" (stopped at {CHECK_ERROR_LIMIT})" if reply["error_count"] >= CHECK_ERROR_LIMIT else ""
        count = reply["error_count"]
        out.line(f"{count} syntax {'error' if count == 1 else 'errors'} ({reply['language']}){note}")
    return status


def call_for_file(caller: NativeCaller, command: str, args: argparse.Namespace) -> Reply:
    """Runs a one-file command; a failure names the file before the module's text."""
    try:
        return caller.call(command, source_payload(args))
    except CommandFailed as failure:
        raise CommandFailed(f"{args.file}: {failure.message}") from None


def source_payload(args: argparse.Namespace) -> dict[str, Any]:
    payload: dict[str, Any] = {"path": args.file}
    if args.language is not None:
        payload["language"] = args.language
    return payload


class IndexPresenter:
    """Streams index results as JSON Lines and drives the progress bar."""

    def __init__(self, out: Output) -> None:
        self._out = out
        self._bar = ProgressBar(out.stderr) if out.progress else None

    def scanned(self, reply: Reply, parsable: int) -> None:
        if self._out.as_json:
            self._out.line(json_line({"record": "scan", "reply": reply}))
        if self._bar is not None:
            self._bar.update(0, parsable, "")

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
        if self._bar is not None:
            self._bar.update(done, total, result.path)

    def finish(self) -> None:
        if self._bar is not None:
            self._bar.finish()


def run_index(args: argparse.Namespace, caller: NativeCaller, out: Output) -> int:
    presenter = IndexPresenter(out)
    try:
        summary = index_tree(caller, args.root, presenter, args.ext, args.max_files)
    finally:
        presenter.finish()
    if out.as_json:
        out.line(json_line({"record": "summary", **summary.to_json()}))
    else:
        print_summary(summary, out)
    return EXIT_OK


def print_summary(summary: IndexSummary, out: Output) -> None:
    rows: list[list[object]] = [
        [name, summary.files_by_language[name], summary.lines_by_language[name]]
        for name in sorted(summary.files_by_language)
    ]
    rows.append(["total", summary.files, sum(summary.lines_by_language.values())])
    out.line(f"Index of {summary.root}")
    out.line()
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
        lines.append(f"Limit reached: the scan stopped at {summary.max_files} files (--max-files).")
    for path in summary.outlines_cut:
        lines.append(f"Limit reached: the outline of {path} stops at {OUTLINE_SYMBOL_LIMIT} symbols.")
    for path in summary.checks_cut:
        lines.append(f"Limit reached: the check of {path} stops at {CHECK_ERROR_LIMIT} errors.")
    for path, message in summary.unreadable:
        lines.append(f"Could not read {path}: {message}")
    return lines


def is_terminal(stream: TextIO) -> bool:
    isatty = getattr(stream, "isatty", None)
    return bool(isatty and isatty())
