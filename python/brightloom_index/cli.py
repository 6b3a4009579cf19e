"""The `brightloom-index` command line: argument parsing, errors, profile.

Usage errors and failures print one line on standard error and exit with
status 2; `check` exits with 1 when it finds syntax errors, `find` when it
finds nothing. Handlers are imported only for the subcommand that runs, so
`find` loads neither the native module nor the indexing code.
"""

from __future__ import annotations

import argparse
import os
import sys
from collections.abc import Callable, Sequence
from importlib import import_module
from time import perf_counter

from . import __version__
from .contract import (
    DEFAULT_MAX_FILE_SIZE, DEFINITION_KINDS, DEFINITION_KINDS_BY_LANGUAGE, INDEXED_LANGUAGES, KIND_ALIASES,
    REFERENCE_KINDS,
)
from .errors import Failure
from .exit_codes import EXIT_FAILURE, EXIT_INTERRUPTED
from .native_calls import NativeCaller
from .render import Output, is_terminal, print_glob_hint, print_profile, write_error

# `find` runs in a few tens of milliseconds, so modules it does not need stay
# unimported: typing only for the checker (mypy reads this name as true),
# no dataclasses (they import inspect), no shutil (see Formatter).
TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import NoReturn, TextIO

PROGRAM = "brightloom-index"
DESCRIPTION = "Index source files with the native indexer and look definitions and references up."
# How long a refresh waits for another one to finish, by default.
DEFAULT_WAIT_SECONDS = 30.0

Handler = Callable[[argparse.Namespace, NativeCaller, Output], int]


class UsageError(Exception):
    pass


class Formatter(argparse.HelpFormatter):
    """argparse's formatter, sized without shutil.

    argparse builds a formatter for every argument it adds, and the default
    one imports shutil (with its compression modules) to learn the terminal
    width: about a tenth of a lookup's time.
    """

    def __init__(self, prog: str) -> None:
        super().__init__(prog, width=terminal_width() - 2)


def terminal_width() -> int:
    try:
        return int(os.environ["COLUMNS"])
    except (KeyError, ValueError):
        pass
    try:
        return os.get_terminal_size(sys.stdout.fileno()).columns
    except (AttributeError, ValueError, OSError):
        return 80


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
    parser.add_argument("--version", action="version", version=f"{PROGRAM} {__version__}")
    parser.add_argument("-q", "--quiet", action="store_true", help="print nothing but errors")
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


def job_count(text: str) -> int:
    try:
        value = int(text, 10)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if not 1 <= value <= 256:
        raise argparse.ArgumentTypeError(f"out of range (1 to 256): {text}")
    return value


SIZE_UNITS = {"": 0, "K": 10, "M": 20, "G": 30}


def byte_size(text: str) -> int:
    """`4096`, `64K`, `8M` or `1G` (powers of 1024) -> bytes."""
    unit = text[-1:].upper() if text[-1:].isalpha() else ""
    digits = text[: len(text) - len(unit)]
    if unit not in SIZE_UNITS or not digits.isascii() or not digits.isdigit():
        raise argparse.ArgumentTypeError(f"not a size (bytes, or a number with K, M or G): {text!r}")
    return int(digits) << SIZE_UNITS[unit]


def seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number of seconds: {text!r}") from None
    if not 0 <= value <= 86400:
        raise argparse.ArgumentTypeError(f"out of range (0 to 86400): {text}")
    return value


def add_selection_options(command: argparse.ArgumentParser) -> None:
    command.add_argument("root", nargs="?", default=".", metavar="ROOT", help="folder to index (default: .)")
    command.add_argument(
        "--max-files", type=file_limit, metavar="N", help="take at most N files, in path order (default: all)"
    )
    command.add_argument(
        "--no-ignore", action="store_true", help="take every file, ignoring .gitignore, .ignore and git's view"
    )
    command.add_argument(
        "--exclude", action="append", default=[], metavar="GLOB", help="leave out files matching GLOB (repeatable)"
    )
    command.add_argument(
        "--include", action="append", default=[], metavar="GLOB", help="take only files matching GLOB (repeatable)"
    )


def add_refresh_options(command: argparse.ArgumentParser) -> None:
    """What every command that refreshes an index takes."""
    add_selection_options(command)
    add_db_option(command)
    add_jobs_option(command)
    add_wait_option(command)


def add_jobs_option(command: argparse.ArgumentParser) -> None:
    command.add_argument(
        "--jobs", type=job_count, metavar="N",
        help="processes that parse new and changed files (default: one per available processor)",
    )


def add_wait_option(command: argparse.ArgumentParser) -> None:
    command.add_argument(
        "--max-file-size", type=byte_size, default=DEFAULT_MAX_FILE_SIZE, metavar="SIZE",
        help="list larger files as skipped, never parse them; bytes, or with K, M or G (default: 8M)",
    )
    command.add_argument(
        "--wait", type=seconds, default=DEFAULT_WAIT_SECONDS, metavar="SECONDS",
        help=f"how long a refresh waits for another one (default: {DEFAULT_WAIT_SECONDS:g})",
    )


def add_watch_options(command: argparse.ArgumentParser) -> None:
    add_refresh_options(command)
    # Without ROOT, a folder inside an indexed tree keeps the enclosing index.
    command.set_defaults(root=None)


def add_index_options(command: argparse.ArgumentParser) -> None:
    add_watch_options(command)
    command.add_argument("--rebuild", action="store_true", help="discard the stored index and index from scratch")
    command.add_argument(
        "--auto-refresh", action=argparse.BooleanOptionalAction, default=None,
        help="whether find refreshes the index first when files changed since the last refresh"
        " (remembered in the index; default: only a note)",
    )


def add_update_options(command: argparse.ArgumentParser) -> None:
    add_lookup_options(command)
    add_wait_option(command)
    add_jobs_option(command)


def database_path(text: str) -> str:
    if text == "":
        # SQLite would take it for a throw-away database and lose the index.
        raise argparse.ArgumentTypeError("an empty path names no file")
    return text


def add_db_option(command: argparse.ArgumentParser) -> None:
    command.add_argument(
        "--db", type=database_path, metavar="PATH", help="index file (default: ROOT/.brightloom/index.sqlite)"
    )


def add_lookup_options(command: argparse.ArgumentParser) -> None:
    add_db_option(command)
    command.add_argument(
        "--root", metavar="ROOT",
        help="folder whose index to read (default: the current folder or the nearest parent with an index)",
    )


LANGUAGES = tuple(sorted(set(INDEXED_LANGUAGES.values())))


def word_list(text: str, what: str, known: Sequence[str], aliases: dict[str, str]) -> str:
    """Comma-separated words in any case, checked against `known`, aliases replaced."""
    words: list[str] = []
    for word in filter(None, text.lower().split(",")):
        word = aliases.get(word, word)
        if word not in known:
            raise argparse.ArgumentTypeError(f"unknown {what} {word!r} ({what}s: {', '.join(known)})")
        words.append(word)
    return ",".join(words)


def definition_kind_list(text: str) -> str:
    """Definition kinds (`fn`, `def` and `func` mean `function`)."""
    return word_list(text, "kind", DEFINITION_KINDS, KIND_ALIASES)


def reference_kind_list(text: str) -> str:
    return word_list(text, "kind", REFERENCE_KINDS, {})


def language_list(text: str) -> str:
    """Languages by name or by extension (`rs` -> `rust`)."""
    return word_list(text, "language", LANGUAGES, INDEXED_LANGUAGES)


def definition_kinds_help() -> str:
    tables = "; ".join(f"{language}: {' '.join(kinds)}" for language, kinds in DEFINITION_KINDS_BY_LANGUAGE.items())
    return f"only definitions of these kinds (repeatable, comma-separated; fn, def and func mean function). {tables}"


def add_find_options(command: argparse.ArgumentParser) -> None:
    add_lookup_query_options(command, "definitions", definition_kind_list, definition_kinds_help())


def add_refs_options(command: argparse.ArgumentParser) -> None:
    add_lookup_query_options(
        command, "references", reference_kind_list,
        f"only references of these kinds (repeatable, comma-separated): {', '.join(REFERENCE_KINDS)}",
    )


def add_lookup_query_options(
    command: argparse.ArgumentParser, what: str, kind_list: Callable[[str], str], kinds_help: str
) -> None:
    command.add_argument("name", metavar="NAME", help="name to look for")
    mode = command.add_mutually_exclusive_group()
    mode.add_argument("--prefix", action="store_true", help="names starting with NAME")
    mode.add_argument("--glob", action="store_true", help="names matching NAME with * and ?")
    command.add_argument("-i", "--ignore-case", action="store_true", help="match regardless of case")
    command.add_argument("--kind", action="append", type=kind_list, metavar="KIND", help=kinds_help)
    command.add_argument(
        "--language", action="append", type=language_list, metavar="NAME",
        help=f"only {what} in files of these languages (repeatable, comma-separated): {', '.join(LANGUAGES)}",
    )
    command.add_argument("--refresh", action="store_true", help="refresh the index before looking")
    add_wait_option(command)
    add_lookup_options(command)


def add_tags_options(command: argparse.ArgumentParser) -> None:
    command.add_argument(
        "-e", "--etags", action="store_true", help="write an Emacs TAGS file instead of a ctags one"
    )
    command.add_argument(
        "-o", "--output", metavar="FILE",
        help="tags file to write, - for standard output (default: tags, or TAGS with -e);"
        " `update` and `watch` rewrite it in the same format",
    )
    add_lookup_options(command)
    add_wait_option(command)


def token_count(text: str) -> int:
    value = file_limit(text)
    if value > 10**9:
        raise argparse.ArgumentTypeError(f"out of range (0 to 10**9): {text}")
    return value


def add_map_options(command: argparse.ArgumentParser) -> None:
    from .ranked_map import DEFAULT_TOKENS, WEIGHTS

    command.add_argument(
        "--tokens", type=token_count, default=DEFAULT_TOKENS, metavar="N",
        help=f"size of the map, estimated as one token per 4 bytes (default: {DEFAULT_TOKENS})",
    )
    command.add_argument(
        "--focus", action="append", metavar="PATH_OR_NAME",
        help="rank toward this file, the files under this folder, or the files defining this name (repeatable)",
    )
    command.add_argument(
        "--weight", action="append", metavar="NAME=VALUE",
        help="set a weight (repeatable): " + "; ".join(
            f"{name} ({default:g}): {meaning}" for name, (default, _, meaning) in WEIGHTS.items()),
    )
    command.add_argument("--refresh", action="store_true", help="refresh the index before mapping")
    add_wait_option(command)
    add_lookup_options(command)


def add_source_options(command: argparse.ArgumentParser) -> None:
    command.add_argument("file", metavar="FILE", help="source file to read")
    command.add_argument(
        "--language", metavar="NAME", help="language to parse as (default: from the file's extension)"
    )


def add_hash_options(command: argparse.ArgumentParser) -> None:
    command.add_argument("files", nargs="+", metavar="FILE", help="text file to hash")


class Subcommand:
    """A subcommand's handler, help line and options."""

    __slots__ = ("handler", "summary", "add_options")

    def __init__(self, handler: str, summary: str, add_options: Callable[[argparse.ArgumentParser], None]) -> None:
        # "module:function" of the handler, imported when the subcommand runs.
        self.handler = handler
        self.summary = summary
        self.add_options = add_options


SUBCOMMANDS: dict[str, Subcommand] = {
    "hash": Subcommand(
        "commands:run_hash", "Print the line-ending-independent SHA-256 of each file.", add_hash_options
    ),
    "scan": Subcommand(
        "commands:run_scan", "List the source files under ROOT with digests and line counts.", add_scan_options
    ),
    "outline": Subcommand("commands:run_outline", "List the declarations of FILE.", add_source_options),
    "check": Subcommand(
        "commands:run_check", "Report the syntax errors of FILE (exit status 1 when there are any).", add_source_options
    ),
    "files": Subcommand(
        "commands:run_files", "List the files under ROOT that index would take.", add_selection_options
    ),
    "index": Subcommand(
        "commands:run_index",
        "Bring the index of ROOT up to date (parse new and changed files), then summarise.",
        add_index_options,
    ),
    "find": Subcommand(
        "queries:run_find",
        "Look definitions up by name in the index (exit status 1 when there are none).",
        add_find_options,
    ),
    "refs": Subcommand(
        "queries:run_refs",
        "Look references (calls, type uses, imports...) up by name in the index (exit status 1 when there are none).",
        add_refs_options,
    ),
    "tags": Subcommand(
        "queries:run_tags", "Write a tags file (ctags or Emacs etags) of every definition in the index.",
        add_tags_options,
    ),
    "update": Subcommand(
        "queries:run_update",
        "Refresh the index with the rules it was made with, then rewrite the tags files made from it.",
        add_update_options,
    ),
    "watch": Subcommand(
        "watch:run_watch",
        "Keep the index of ROOT fresh while files change, until Ctrl-C or SIGTERM.",
        add_watch_options,
    ),
    "map": Subcommand(
        "ranked_map:run_map",
        "Print the definitions the rest of the code leans on, ranked toward --focus, within --tokens.",
        add_map_options,
    ),
    "lsp": Subcommand(
        "lsp.server:run_lsp",
        "Serve the Language Server Protocol on standard input and output for the client's workspace folders.",
        lambda command: None,
    ),
}


def load_handler(reference: str) -> Handler:
    module, _, function = reference.partition(":")
    handler: Handler = getattr(import_module(f".{module}", __package__), function)
    return handler


def configure(parser: argparse.ArgumentParser, name: str) -> None:
    subcommand = SUBCOMMANDS[name]
    add_common_options(parser)
    subcommand.add_options(parser)
    parser.set_defaults(command=name)


def build_parser() -> Parser:
    """The whole command line, with every subcommand."""
    parser = Parser(prog=PROGRAM, description=DESCRIPTION, formatter_class=Formatter)
    add_common_options(parser)
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=Parser, required=True)
    for name, subcommand in SUBCOMMANDS.items():
        command = sub.add_parser(
            name, help=subcommand.summary, description=subcommand.summary, formatter_class=Formatter
        )
        configure(command, name)
    return parser


def parse_arguments(argv: Sequence[str]) -> argparse.Namespace:
    """Parses the command line, building only the parser of the named subcommand.

    Building all eight parsers costs several milliseconds, a noticeable share
    of a short index run, so the full parser is made only for top-level help
    and for command lines that name no subcommand.
    """
    name = next((word for word in argv if not word.startswith("-")), None)
    if name not in SUBCOMMANDS:
        return build_parser().parse_args(argv)
    rest = list(argv)
    rest.remove(name)
    summary = SUBCOMMANDS[name].summary
    parser = Parser(prog=f"{PROGRAM} {name}", description=summary, formatter_class=Formatter)
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
        write_error(stderr, f"error: {error}")
        return EXIT_FAILURE

    if args.quiet:
        stdout = Discard()  # type: ignore[assignment]  # the part of TextIO used here
    out = Output(
        stdout, stderr, as_json=args.json, progress=args.command == "index" and is_terminal(stderr), quiet=args.quiet
    )
    if getattr(args, "name", None) and not getattr(args, "glob", True) and any(c in args.name for c in "*?["):
        print_glob_hint(args.name, out)
    try:
        status = load_handler(SUBCOMMANDS[args.command].handler)(args, caller, out)
    except Failure as failure:
        out.error(f"error: {failure.message}")
        status = EXIT_FAILURE
    if args.profile:
        print_profile(perf_counter() - started, caller.seconds_in_run, caller.calls, stderr)
    return status


class Discard:
    """Standard output under --quiet: written to, never shown."""

    def write(self, text: str) -> int:
        return len(text)

    def flush(self) -> None:
        pass

    def isatty(self) -> bool:
        return False


def entry_point() -> NoReturn:
    """The console script: exits with main's status, quietly on a closed pipe."""
    try:
        status = main()
    except BrokenPipeError:
        # Output goes through Output, which takes a closed pipe quietly;
        # this is a write that did not, and the command stopped part-way.
        status = EXIT_FAILURE
    except KeyboardInterrupt:
        status = EXIT_INTERRUPTED
    try:
        sys.stdout.flush()
    except BrokenPipeError:
        # The reader went away (`| head`) after the work was done: not an error.
        sys.stdout = None  # type: ignore[assignment]
    sys.exit(status)
