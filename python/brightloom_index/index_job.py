"""The index job: scan a tree, then outline and check each parsable file.

`index_tree` drives the module and hands every result to a `IndexListener`
as it arrives, so the caller can stream JSON Lines or draw a progress bar;
`IndexSummary` gathers the figures shown at the end. Nothing here formats
output.
"""

from __future__ import annotations

from collections import Counter
from dataclasses import dataclass, field
from typing import Any, Protocol

from .languages import OTHER, grammar_language
from .native_calls import CommandFailed, NativeCaller, Reply

# Limits of the module, used to say where a result may have been cut.
DEFAULT_MAX_FILES = 256
OUTLINE_SYMBOL_LIMIT = 200
CHECK_ERROR_LIMIT = 20


@dataclass
class FileResult:
    """Outline and check of one listed file; `error` when it could not be read."""

    path: str
    language: str
    outline: Reply | None = None
    check: Reply | None = None
    error: str | None = None


@dataclass
class SlowestStep:
    command: str
    path: str
    seconds: float


@dataclass
class IndexSummary:
    """Figures of one index run, built from the replies it summarises."""

    root: str
    max_files: int
    files: int = 0
    lines_by_language: dict[str, int] = field(default_factory=dict)
    files_by_language: dict[str, int] = field(default_factory=dict)
    symbols_by_kind: Counter[str] = field(default_factory=Counter)
    # (path, error count) of each file whose check found syntax errors.
    files_with_errors: list[tuple[str, int]] = field(default_factory=list)
    slowest: SlowestStep | None = None
    scan_cut: bool = False
    outlines_cut: list[str] = field(default_factory=list)
    checks_cut: list[str] = field(default_factory=list)
    # (path, message) of listed files that could not be read.
    unreadable: list[tuple[str, str]] = field(default_factory=list)

    def note_step(self, command: str, path: str, seconds: float) -> None:
        if self.slowest is None or seconds > self.slowest.seconds:
            self.slowest = SlowestStep(command, path, seconds)

    def add_scan(self, reply: Reply) -> None:
        self.files = reply["count"]
        self.scan_cut = reply["count"] == self.max_files
        for entry in reply["entries"]:
            language = grammar_language(entry["path"]) or OTHER
            self.files_by_language[language] = self.files_by_language.get(language, 0) + 1
            self.lines_by_language[language] = (
                self.lines_by_language.get(language, 0) + entry["total_lines"]
            )

    def add_file(self, result: FileResult) -> None:
        if result.error is not None:
            self.unreadable.append((result.path, result.error))
        if result.outline is not None:
            self.symbols_by_kind.update(symbol["kind"] for symbol in result.outline["symbols"])
            if result.outline["symbol_count"] >= OUTLINE_SYMBOL_LIMIT:
                self.outlines_cut.append(result.path)
        if result.check is not None and not result.check["valid"]:
            self.files_with_errors.append((result.path, result.check["error_count"]))
            if result.check["error_count"] >= CHECK_ERROR_LIMIT:
                self.checks_cut.append(result.path)

    def to_json(self) -> dict[str, Any]:
        languages = sorted(self.files_by_language)
        return {
            "root": self.root,
            "files": self.files,
            "languages": [
                {
                    "language": name,
                    "files": self.files_by_language[name],
                    "lines": self.lines_by_language[name],
                }
                for name in languages
            ],
            "symbols": dict(sorted(self.symbols_by_kind.items())),
            "files_with_errors": [
                {"path": path, "error_count": count} for path, count in self.files_with_errors
            ],
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
                "unreadable": [
                    {"path": path, "error": message} for path, message in self.unreadable
                ],
            },
        }


class IndexListener(Protocol):
    def scanned(self, reply: Reply, parsable: int) -> None: ...

    def file_done(self, result: FileResult, done: int, total: int) -> None: ...


def file_location(root: str, relative_path: str) -> str:
    """The path under which the scan read a listed file."""
    separator = "" if root.endswith("/") else "/"
    return root + separator + relative_path


def index_tree(
    caller: NativeCaller,
    root: str,
    listener: IndexListener,
    extensions: list[str] | None = None,
    max_files: int | None = None,
) -> IndexSummary:
    """Scans `root`, outlines and checks each listed file of a grammar language.

    A listed file that cannot be read (it changed since the scan) is
    recorded and the job goes on; any other failure propagates.
    """
    payload: dict[str, Any] = {"root": root}
    if extensions is not None:
        payload["extensions"] = extensions
    if max_files is not None:
        payload["max_files"] = max_files
    summary = IndexSummary(root=root, max_files=DEFAULT_MAX_FILES if max_files is None else max_files)

    scan = caller.call("scan", payload)
    summary.note_step("scan", root, caller.last_seconds)
    summary.add_scan(scan)
    parsable = [
        (entry["path"], language)
        for entry in scan["entries"]
        if (language := grammar_language(entry["path"])) is not None
    ]
    listener.scanned(scan, len(parsable))

    for done, (path, language) in enumerate(parsable, start=1):
        result = FileResult(path=path, language=language)
        request = {"path": file_location(root, path), "language": language}
        try:
            result.outline = caller.call("outline", request)
            summary.note_step("outline", path, caller.last_seconds)
            result.check = caller.call("syntax-check", request)
            summary.note_step("syntax-check", path, caller.last_seconds)
        except CommandFailed as failure:
            result.error = failure.message
        summary.add_file(result)
        listener.file_done(result, done, len(parsable))
    return summary
