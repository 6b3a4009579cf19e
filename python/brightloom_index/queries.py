"""Handlers that answer from the stored index: `find` and `tags`.

They read SQLite and nothing else, so a lookup costs the interpreter's start
and a few indexed queries; the native module is loaded only for `--refresh`.
"""

from __future__ import annotations

import argparse
import os
import sqlite3
from collections.abc import Iterable, Iterator

from . import store
from .errors import Failure
from .native_calls import NativeCaller
from .render import Output, json_line

EXIT_FOUND = 0
EXIT_NOT_FOUND = 1

# Above every code point: `name < prefix + TOP` bounds a prefix range.
TOP = "\U0010ffff"


# Plain classes rather than dataclasses, which import inspect: a lookup's
# whole run is a few tens of milliseconds.
class Query:
    """A name to look for and how to match it."""

    __slots__ = ("text", "mode", "ignore_case", "kinds", "languages")

    def __init__(
        self,
        text: str,
        mode: str = "exact",
        ignore_case: bool = False,
        kinds: tuple[str, ...] = (),
        languages: tuple[str, ...] = (),
    ) -> None:
        self.text = text
        self.mode = mode  # "exact", "prefix" or "glob"
        self.ignore_case = ignore_case
        self.kinds = kinds
        self.languages = languages


class Match:
    """One declaration found, as stored."""

    FIELDS = ("path", "line", "end_line", "kind", "name", "signature", "language", "depth")
    __slots__ = FIELDS

    def __init__(
        self, path: str, line: int, end_line: int, kind: str, name: str, signature: str, language: str, depth: int
    ) -> None:
        self.path = path
        self.line = line
        self.end_line = end_line
        self.kind = kind
        self.name = name
        self.signature = signature
        self.language = language
        self.depth = depth

    def to_json(self, shown_path: str) -> dict[str, object]:
        record: dict[str, object] = {name: getattr(self, name) for name in self.FIELDS}
        record["path"] = shown_path
        return record


def name_condition(query: Query) -> tuple[str, list[str]]:
    """SQL on an indexed column for the name part of `query`, with its arguments."""
    column = "s.folded_name" if query.ignore_case else "s.name"
    text = query.text.lower() if query.ignore_case else query.text
    if query.mode == "prefix":
        # A range instead of LIKE/GLOB: it uses the index whatever the prefix holds.
        return f"{column} >= ? AND {column} < ?", [text, text + TOP]
    if query.mode == "glob":
        return f"{column} GLOB ?", [text]
    return f"{column} = ?", [text]


def search(connection: sqlite3.Connection, query: Query) -> list[Match]:
    condition, arguments = name_condition(query)
    for column, values in (("s.kind", query.kinds), ("f.language", query.languages)):
        if values:
            condition += f" AND {column} IN ({', '.join('?' * len(values))})"
            arguments.extend(values)
    rows = connection.execute(
        "SELECT f.path, s.line, s.end_line, s.kind, s.name, s.signature, f.language, s.depth"
        f" FROM symbols s JOIN files f ON f.id = s.file_id WHERE {condition}"
        " ORDER BY f.path, s.line, s.name",
        arguments,
    )
    return [Match(*row) for row in rows]


def split_list(values: list[str] | None) -> tuple[str, ...]:
    """Repeated or comma-separated option values as one tuple."""
    return tuple(part for value in values or () for part in value.split(",") if part)


class IndexPlace:
    """The index file and the folder its paths are relative to ("" when stored in it)."""

    __slots__ = ("location", "root")

    def __init__(self, location: str, root: str) -> None:
        self.location = location
        self.root = root


def locate_index(args: argparse.Namespace) -> IndexPlace:
    """The index to read and the folder its paths are relative to.

    Without --db or --root the current folder's index is used, else the
    nearest parent's, as git finds its repository.
    """
    if args.db is not None:
        return IndexPlace(args.db, args.root or "")
    if args.root is not None:
        return IndexPlace(store.default_location(args.root), args.root)
    location = store.find_index_upwards(".")
    if location is None:
        raise store.IndexFailed(
            "no index in this folder or its parents; create it with `brightloom-index index`"
        )
    return IndexPlace(location, os.path.dirname(os.path.dirname(location)))


def open_index(place: IndexPlace) -> tuple[sqlite3.Connection, str]:
    """The connection and the root; a --db index gives its own stored root."""
    connection = store.open_for_reading(place.location)
    root = place.root
    try:
        if not root:
            root = store.retry_when_busy(lambda: store.read_meta(connection, "root")) or "."
    except sqlite3.Error as error:
        raise store.describe_failure(place.location, error) from None
    return connection, root


def refresh_before_reading(place: IndexPlace, caller: NativeCaller, out: Output) -> None:
    """`--refresh`: brings the index up to date with the rules it was made with."""
    # Imported here: a plain lookup never loads the indexing code.
    from .commands import refresh
    from .selection import SelectionRules

    root = place.root
    rules = SelectionRules()
    if os.path.isfile(place.location):
        connection, root = open_index(place)
        try:
            stored = store.read_meta(connection, "rules")
        except sqlite3.Error as error:
            raise store.describe_failure(place.location, error) from None
        finally:
            connection.close()
        if stored is not None:
            import json

            rules = SelectionRules.from_json(json.loads(stored))
    root = root or "."
    # The default place is prepared (folder and .gitignore) as `index` would.
    location = None if place.location == store.default_location(root) else place.location
    quiet = Output(out.stdout, out.stderr, as_json=False, progress=False)
    refresh(root, rules, location, False, 30.0, caller, quiet)


def run_find(args: argparse.Namespace, caller: NativeCaller, out: Output) -> int:
    place = locate_index(args)
    if args.refresh:
        refresh_before_reading(place, caller, out)
    connection, root = open_index(place)
    query = Query(
        text=args.name,
        mode="glob" if args.glob else "prefix" if args.prefix else "exact",
        ignore_case=args.ignore_case,
        kinds=split_list(args.kind),
        languages=split_list(args.language),
    )
    try:
        matches = store.retry_when_busy(lambda: search(connection, query))
    except sqlite3.Error as error:
        raise store.describe_failure(place.location, error) from None
    finally:
        connection.close()
    show = PathNamer(root, ".")
    for match in matches:
        shown = show(match.path)
        if out.as_json:
            out.line(json_line(match.to_json(shown)))
        else:
            out.line(f"{shown}:{match.line}: {match.kind} {match.name}  {match.signature}")
    return EXIT_FOUND if matches else EXIT_NOT_FOUND


class PathNamer:
    """Names indexed paths as seen from `folder`, the way ripgrep prints found files.

    `os.path.relpath` is worked out once per stored folder: on each of
    thousands of matches it would cost more than the lookup itself.
    """

    __slots__ = ("root", "folder", "prefixes")

    def __init__(self, root: str, folder: str) -> None:
        self.root = root
        self.folder = folder
        self.prefixes: dict[str, str] = {}

    def __call__(self, path: str) -> str:
        directory, _, name = path.rpartition("/")
        prefix = self.prefixes.get(directory)
        if prefix is None:
            relative = os.path.relpath(os.path.join(self.root, directory), self.folder)
            prefix = self.prefixes[directory] = "" if relative == "." else relative + "/"
        return prefix + name


# The header ctags writes; readers check the format and sort flag.
TAGS_HEADER = (
    '!_TAG_FILE_FORMAT\t2\t/extended format; --format=1 will not append ;" to lines/',
    "!_TAG_FILE_SORTED\t1\t/0=unsorted, 1=sorted, 2=foldcase/",
    "!_TAG_PROGRAM_NAME\tbrightloom-index\t//",
    "!_TAG_PROGRAM_VERSION\t0.1.0\t//",
)


def tag_lines(rows: Iterable[tuple[str, str, int, int, str]], tags_folder: str, root: str) -> Iterator[str]:
    """Tag lines sorted by name bytes; rows are (name, path, line, end, kind).

    A name or path holding a tab or line break cannot be written in this
    format; such symbols are left out (the caller counts them).
    """
    lines = []
    show = PathNamer(root, tags_folder)
    for name, path, line, end_line, kind in rows:
        shown = show(path)
        if not name or has_separator(name) or has_separator(shown):
            continue
        text = f'{name}\t{shown}\t{line};"\tkind:{kind}\tline:{line}\tend:{end_line}'
        lines.append((name.encode(), shown.encode(), line, text))
    # readtags and Vim search the file by binary search on the name's bytes.
    lines.sort(key=lambda item: item[:3])
    yield from TAGS_HEADER
    for item in lines:
        yield item[3]


def has_separator(text: str) -> bool:
    return "\t" in text or "\n" in text or "\r" in text


def run_tags(args: argparse.Namespace, caller: NativeCaller, out: Output) -> int:
    place = locate_index(args)
    connection, root = open_index(place)
    try:
        rows = store.retry_when_busy(
            lambda: connection.execute(
                "SELECT s.name, f.path, s.line, s.end_line, s.kind FROM symbols s JOIN files f ON f.id = s.file_id"
            ).fetchall()
        )
    except sqlite3.Error as error:
        raise store.describe_failure(place.location, error) from None
    finally:
        connection.close()
    if args.output == "-":
        lines = list(tag_lines(rows, ".", root))
        out.stdout.write("".join(line + "\n" for line in lines))
    else:
        lines = list(tag_lines(rows, os.path.dirname(os.path.abspath(args.output)), root))
        try:
            write_atomically(args.output, "".join(line + "\n" for line in lines))
        except OSError as error:
            raise Failure(f"cannot write {args.output}: {error.strerror}") from None
    left_out = len(rows) - (len(lines) - len(TAGS_HEADER))
    if left_out:
        out.note(f"note: {left_out} symbols left out: a tab or line break in the name or path")
    return EXIT_FOUND


def write_atomically(path: str, text: str) -> None:
    """Writes a temporary file beside `path`, then renames it over `path`.

    Readers (an editor looking a tag up) see the old file or the new one,
    never half of one; a failed write leaves the old file alone.
    """
    import tempfile

    folder = os.path.dirname(os.path.abspath(path))
    descriptor, temporary = tempfile.mkstemp(prefix=".tags.", dir=folder)
    try:
        with os.fdopen(descriptor, "w", encoding="utf-8", newline="\n") as handle:
            handle.write(text)
            handle.flush()
            os.fsync(handle.fileno())
        # mkstemp makes the file private; a tags file is as readable as any other.
        umask = os.umask(0)
        os.umask(umask)
        os.chmod(temporary, 0o666 & ~umask)
        os.replace(temporary, path)
    except BaseException:
        os.unlink(temporary)
        raise
