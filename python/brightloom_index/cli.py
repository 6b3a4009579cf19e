"""The `brightloom-index` command line: argument parsing, errors, profile.

Usage errors and failures print one line on standard error and exit with
status 2; `check` exits with 1 when it finds syntax errors.
"""

from __future__ import annotations

import argparse

# argparse imports these on first use (shutil to size its help text, which
# pulls in the compression modules; locale through gettext). Importing them
# with the rest of the program keeps import time out of the run that
# --profile measures.
import locale  # noqa: F401
import shutil  # noqa: F401
import sys
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from time import perf_counter
from typing import NoReturn, TextIO

from . import commands
from .commands import EXIT_FAILURE, Output, is_terminal
from .native_calls import CommandFailed, NativeCaller

PROGRAM = "brightloom-index"
DESCRIPTION = "Hash, scan, outline and syntax-check source files with the native indexer."

Handler = Callable[[argparse.Namespace, NativeCaller, Output], int]


class UsageError(Exception):
    pass


class Parser(argparse.ArgumentParser):
    """Reports a usage error as one line instead of argparse's usage block."""

    def error(self, message: str) -> NoReturn:
        raise UsageError(f"{message} (see {self.prog} --help)")


def extension_list(text: str) -> list[str]:
    """`py,rs` -> ["py", "rs"]; an empty text is the empty list."""
    return [] if text == "" else text.split(",")


def file_limit(text: str) -> int:
    try:
        value = int(text, 10)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 0 or value >= 2**64:
        raise argparse.ArgumentTypeError(f"out of range (0 to 2**64-1): {text}")
    return value


def add_common_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--json", action="store_true", help="print JSON Lines, one reply per line")
    parser.add_argument(
        "--profile", action="store_true", help="print on stderr the share of time spent inside the module"
    )


def add_scan_options(command: argparse.ArgumentParser) -> None:
    command.add_argument("root", nargs="?", default=".", metavar="ROOT", help="directory to walk (default: .)")
    command.add_argument(
        "--ext", type=extension_list, metavar="EXT,...",
        help="extensions to list, e.g. py,rs (default: py,rs,ts,tsx,js,go,md,toml,yaml,yml)",
    )
    command.add_argument(
        "--max-files", type=file_limit, metavar="N", help="list at most N files, in path order (default: 256)"
    )


def add_source_options(command: argparse.ArgumentParser) -> None:
    command.add_argument("file", metavar="FILE", help="source file to read")
    command.add_argument(
        "--language", metavar="NAME", help="language to parse as (default: from the file's extension)"
    )


def add_hash_options(command: argparse.ArgumentParser) -> None:
    command.add_argument("files", nargs="+", metavar="FILE", help="text file to hash")


@dataclass(frozen=True)
class Subcommand:
    handler: Handler
    summary: str
    add_options: Callable[[argparse.ArgumentParser], None]


SUBCOMMANDS: dict[str, Subcommand] = {
    "hash": Subcommand(
        commands.run_hash, "Print the line-ending-independent SHA-256 of each file.", add_hash_options
    ),
    "scan": Subcommand(
        commands.run_scan, "List the source files under ROOT with digests and line counts.", add_scan_options
    ),
    "outline": Subcommand(commands.run_outline, "List the declarations of FILE.", add_source_options),
    "check": Subcommand(
        commands.run_check, "Report the syntax errors of FILE (exit status 1 when there are any).", add_source_options
    ),
    "index": Subcommand(
        commands.run_index,
        "Scan ROOT, outline and check every listed file of a parsed language, then summarise.",
        add_scan_options,
    ),
}


def configure(parser: argparse.ArgumentParser, name: str) -> None:
    subcommand = SUBCOMMANDS[name]
    add_common_options(parser)
    subcommand.add_options(parser)
    parser.set_defaults(command=name, handler=subcommand.handler)


def build_parser() -> Parser:
    """The whole command line, with every subcommand."""
    parser = Parser(prog=PROGRAM, description=DESCRIPTION)
    add_common_options(parser)
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=Parser, required=True)
    for name, subcommand in SUBCOMMANDS.items():
        configure(sub.add_parser(name, help=subcommand.summary, description=subcommand.summary), name)
    return parser


def parse_arguments(argv: Sequence[str]) -> argparse.Namespace:
    """Parses the command line, building only the parser of the named subcommand.

    Building all six parsers costs several milliseconds, a noticeable share
    of a short index run, so the full parser is made only for top-level help
    and for command lines that name no subcommand.
    """
    name = next((word for word in argv if not word.startswith("-")), None)
    if name not in SUBCOMMANDS:
        return build_parser().parse_args(argv)
    rest = list(argv)
    rest.remove(name)
    summary = SUBCOMMANDS[name].summary
    parser = Parser(prog=f"{PROGRAM} {name}", description=summary)
    configure(parser, name)
    return parser.parse_args(rest)


def main(
    argv: Sequence[str] | None = None,
    stdout: TextIO | None = None,
    stderr: TextIO | None = None,
    caller: NativeCaller | None = None,
) -> int:
    """Runs the command line; returns the exit status."""
    started = perf_counter()
    stdout = sys.stdout if stdout is None else stdout
    stderr = sys.stderr if stderr is None else stderr
    caller = NativeCaller() if caller is None else caller
    try:
        args = parse_arguments(sys.argv[1:] if argv is None else argv)
    except UsageError as error:
        stderr.write(f"{PROGRAM}: error: {error}\n")
        return EXIT_FAILURE

    out = Output(stdout, stderr, as_json=args.json, progress=args.command == "index" and is_terminal(stderr))
    handler: Handler = args.handler
    try:
        status = handler(args, caller, out)
    except CommandFailed as failure:
        out.error(f"error: {failure.message}")
        status = EXIT_FAILURE
    if args.profile:
        report_profile(caller, perf_counter() - started, stderr)
    return status


def report_profile(caller: NativeCaller, total: float, stderr: TextIO) -> None:
    share = 100.0 * caller.seconds_in_run / total if total > 0 else 0.0
    stderr.write(
        f"profile: {total:.3f} s in all, {caller.seconds_in_run:.3f} s inside run "
        f"({share:.1f}%) over {caller.calls} calls\n"
    )


def entry_point() -> NoReturn:
    """The console script: exits with main's status, quietly on a closed pipe."""
    try:
        status = main()
        sys.stdout.flush()
    except BrokenPipeError:
        # The reader went away (`| head`); the rest of the output has no use.
        status = EXIT_FAILURE
        sys.stdout = None  # type: ignore[assignment]
    except KeyboardInterrupt:
        status = 130
    sys.exit(status)
