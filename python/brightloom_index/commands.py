"""One handler per subcommand that works on files: build the payload, call the
module, hand the results to `render`.

Each handler takes the parsed arguments, the caller and an `Output`, and
returns the exit status. Failures propagate as `Failure` except where a
handler goes on with the next file.
"""

from __future__ import annotations

import argparse
import os

from . import index_place, render
from .contract import DEFAULT_MAX_FILE_SIZE, scan_payload
from .exit_codes import EXIT_ERRORS_FOUND, EXIT_FAILURE, EXIT_OK
from .native_calls import CommandFailed, NativeCaller, Reply
from .queries import IndexPlace, stored_rules
from .render import IndexPresenter, Output
from .selection import SelectionRules, check_root, select_files

# typing is for the checker only (see cli.py).
TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any


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
        render.print_hash(reply, path, out)
    return status


def run_scan(args: argparse.Namespace, caller: NativeCaller, out: Output) -> int:
    # The module lists nothing for a missing root and calls it success.
    check_root(args.root)
    render.print_scan(caller.call("scan", scan_payload(args.root, args.ext, args.max_files)), out)
    return EXIT_OK


def run_outline(args: argparse.Namespace, caller: NativeCaller, out: Output) -> int:
    render.print_outline(call_for_file(caller, "outline", args), args.file, out)
    return EXIT_OK


def run_check(args: argparse.Namespace, caller: NativeCaller, out: Output) -> int:
    reply = call_for_file(caller, "syntax-check", args)
    render.print_check(reply, args.file, out)
    return EXIT_OK if reply["valid"] else EXIT_ERRORS_FOUND


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
        max_file_size=getattr(args, "max_file_size", DEFAULT_MAX_FILE_SIZE),
    )


def run_files(args: argparse.Namespace, caller: NativeCaller, out: Output) -> int:
    render.print_selection(select_files(args.root, selection_rules(args)), args.max_files, out)
    return EXIT_OK


def run_index(args: argparse.Namespace, caller: NativeCaller, out: Output) -> int:
    from .index_job import refresh

    root, rules, location = index_target(args, out)
    presenter = IndexPresenter(out)
    try:
        summary = refresh(
            root, rules, location, args.rebuild, args.wait, caller, presenter, jobs=args.jobs,
            auto_refresh=args.auto_refresh, figures=not args.quiet,
        )
    finally:
        presenter.finish()
    render.print_summary(summary, out)
    return EXIT_OK


def index_target(args: argparse.Namespace, out: Output) -> tuple[str, SelectionRules, str | None]:
    """The root, rules and index place of `index`.

    Without ROOT or --db, a folder inside an indexed tree refreshes the
    enclosing index (with the rules it was made with, unless others are
    given) rather than starting a second, nested one.
    """
    rules = selection_rules(args)
    if args.root is not None or args.db is not None:
        return args.root or ".", rules, args.db
    if os.path.lexists(index_place.default_location(".")):
        return ".", rules, None
    enclosing = index_place.find_index_upwards(".", out.note)
    if enclosing is None:
        return ".", rules, None
    root = os.path.dirname(os.path.dirname(enclosing))
    out.note(f"refreshing the index of the enclosing tree {root}; give ROOT to index this folder on its own")
    if rules == SelectionRules():
        rules = stored_rules(IndexPlace(enclosing, root, is_default=True))[0]
    return root, rules, None
