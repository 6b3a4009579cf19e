"""One handler per subcommand that works on files: build the payload, call the
module, hand the results to `render`.

Each handler takes the parsed arguments, the caller and an `Output`, and
returns the exit status. Failures propagate as `Failure` except where a
handler goes on with the next file.
"""

from __future__ import annotations

import argparse
import os
import sqlite3
from typing import Any

from . import store
from .contract import CHECK_ERROR_LIMIT, OUTLINE_SYMBOL_LIMIT, scan_payload
from .index_job import IndexSummary, refresh_index
from .native_calls import CommandFailed, NativeCaller, Reply
from .render import IndexPresenter, Output, json_line, print_summary, table
from .selection import SelectionRules, check_root, select_files

EXIT_OK = 0
EXIT_ERRORS_FOUND = 1
EXIT_FAILURE = 2


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


def run_scan(args: argparse.Namespace, caller: NativeCaller, out: Output) -> int:
    # The module lists nothing for a missing root and calls it success.
    check_root(args.root)
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


def selection_rules(args: argparse.Namespace) -> SelectionRules:
    return SelectionRules(
        use_ignore_rules=not args.no_ignore,
        excludes=tuple(args.exclude),
        includes=tuple(args.include),
        max_files=args.max_files,
    )


def run_files(args: argparse.Namespace, caller: NativeCaller, out: Output) -> int:
    selection = select_files(args.root, selection_rules(args))
    for path in selection.paths:
        if out.as_json:
            out.line(json_line({"path": path}))
        else:
            out.line(path)
    for name, reason in selection.unlisted:
        out.error(f"left out {name!r}: {reason}")
    if selection.cut:
        out.error(f"only the first {args.max_files} files are listed (--max-files)")
    return EXIT_OK


def available_processors() -> int:
    """Processors this process may run on (its affinity), as the scan counts them."""
    return len(os.sched_getaffinity(0))


def run_index(args: argparse.Namespace, caller: NativeCaller, out: Output) -> int:
    summary = refresh(
        args.root, selection_rules(args), args.db, args.rebuild, args.wait, caller, out, jobs=args.jobs
    )
    if out.as_json:
        out.line(json_line({"record": "summary", **summary.to_json()}))
    else:
        print_summary(summary, out)
    return EXIT_OK


def refresh(
    root: str,
    rules: SelectionRules,
    location: str | None,
    rebuild: bool,
    wait_seconds: float,
    caller: NativeCaller,
    out: Output,
    jobs: int | None = None,
) -> IndexSummary:
    """Chooses the files, then refreshes the index in one transaction.

    The files are listed before the index is opened, so a bad root creates
    no index folder; they are digested under the write lock, so two refreshes
    never both act on what they read before the other wrote.
    """
    selection = select_files(root, rules)
    if location is None:
        location = store.default_location(root)
        store.prepare_folder(location, is_default=True)
    connection = store.open_for_refresh(location, rebuild, wait_seconds, lambda text: out.note(f"note: {text}"))
    presenter = IndexPresenter(out)
    try:
        jobs = available_processors() if jobs is None else jobs
        summary = refresh_index(caller, connection, selection, presenter, jobs)
        store.write_meta(connection, "root", os.path.abspath(root))
        store.write_meta(connection, "rules", json_line(rules.to_json()))
        connection.execute("COMMIT")
    except sqlite3.Error as error:
        raise store.describe_failure(location, error) from None
    finally:
        presenter.finish()
        # Without the COMMIT above this rolls the whole refresh back.
        connection.close()
    summary.location = location
    summary.max_files = rules.max_files
    return summary
