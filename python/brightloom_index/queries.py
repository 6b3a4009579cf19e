"""Handlers that answer from the stored index: `find`, `refs` and `tags`.

They read SQLite and nothing else, so a lookup costs the interpreter's start
and a few indexed queries; the native module is loaded only for `--refresh`.
"""

from __future__ import annotations

import argparse
import os
import stat

from . import index_place, render, store
from .errors import Failure
from .exit_codes import EXIT_FAILURE, EXIT_NOT_FOUND, EXIT_OK
from .freshness import Staleness, changes_since
from .native_calls import NativeCaller
from .render import Output
from .store import Store, SymbolQuery

# typing is for the checker only (see cli.py).
TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable
    from typing import TypeVar

    from .index_job import IndexSummary
    from .selection import SelectionRules
    from .tags_file import TagEntry

    T = TypeVar("T")


# Plain classes rather than dataclasses, which import inspect: a lookup's
# whole run is a few tens of milliseconds.
class Found:
    """A result of `find` or `refs`: the fields of its JSON object, in order."""

    FIELDS: tuple[str, ...] = ()
    __slots__ = ()
    path: str

    def to_json(self, shown_path: str) -> dict[str, object]:
        record: dict[str, object] = {name: getattr(self, name) for name in self.FIELDS}
        record["path"] = shown_path
        return record


class Match(Found):
    """One definition found, as stored; `scope` names the enclosing definition."""

    FIELDS = ("path", "line", "column", "end_line", "kind", "name", "signature", "language", "depth", "scope")
    __slots__ = FIELDS

    def __init__(
        self, path: str, line: int, column: int, end_line: int, kind: str, name: str, signature: str,
        language: str, depth: int, scope: str | None,
    ) -> None:
        self.path = path
        self.line = line
        self.column = column
        self.end_line = end_line
        self.kind = kind
        self.name = name
        self.signature = signature
        self.language = language
        self.depth = depth
        self.scope = scope


class Reference(Found):
    """One reference found, with the source line it is on."""

    FIELDS = ("path", "line", "column", "kind", "name", "language", "scope", "text")
    __slots__ = FIELDS

    def __init__(
        self, path: str, line: int, column: int, kind: str, name: str, language: str, scope: str | None, text: str
    ) -> None:
        self.path = path
        self.line = line
        self.column = column
        self.kind = kind
        self.name = name
        self.language = language
        self.scope = scope
        self.text = text


def source_line(lines: list[bytes], number: int) -> str:
    """Line `number` (from 1) of a stored text split at line feeds, without its line end."""
    if not 0 < number <= len(lines):
        return ""
    line = lines[number - 1]
    return (line[:-1] if line.endswith(b"\r") else line).decode("utf-8", "replace")


def split_list(values: list[str] | None) -> tuple[str, ...]:
    """Repeated or comma-separated option values as one tuple."""
    return tuple(part for value in values or () for part in value.split(",") if part)


class IndexPlace:
    """The index file and the folder its paths are relative to ("" when stored in it)."""

    __slots__ = ("location", "root", "is_default")

    def __init__(self, location: str, root: str, is_default: bool) -> None:
        self.location = location
        self.root = root
        # At the default place of `root`: no link may lead to it.
        self.is_default = is_default


def locate_index(args: argparse.Namespace, out: Output) -> IndexPlace:
    """The index to read and the folder its paths are relative to.

    Without --db or --root the current folder's index is used, else the
    nearest parent's that belongs to this user, as git finds its repository.
    """
    if args.db is not None:
        return IndexPlace(args.db, args.root or "", is_default=False)
    if args.root is not None:
        return IndexPlace(index_place.default_location(args.root), args.root, is_default=True)
    location = index_place.find_index_upwards(".", out.note)
    if location is None:
        raise store.IndexFailed(
            "no index in this folder or its parents; create it with `brightloom-index index`"
        )
    return IndexPlace(location, os.path.dirname(os.path.dirname(location)), is_default=True)


def open_index(place: IndexPlace) -> tuple[Store, str]:
    """The open index and the root; a --db index gives its own stored root."""
    if place.is_default:
        index_place.check_default_place(place.location)
    index = Store.open_for_reading(place.location, at_default_place=place.is_default)
    try:
        root = place.root or index.read_meta("root") or "."
    except BaseException:
        index.close()
        raise
    return index, root


def stored_rules(place: IndexPlace) -> tuple[SelectionRules, str]:
    """The selection rules the index at `place` was last made with, and its root."""
    from .selection import SelectionRules

    index, root = open_index(place)
    with index:
        stored = index.read_meta("rules")
    if stored is None:
        return SelectionRules(), root
    try:
        return SelectionRules.from_text(stored), root
    except ValueError as error:
        raise store.IndexFailed(
            f"index {place.location} holds unreadable selection rules ({error});"
            " refresh it with `brightloom-index index`"
        ) from None


def refresh_before_reading(
    place: IndexPlace, wait_seconds: float, caller: NativeCaller, out: Output, jobs: int | None = None
) -> IndexSummary:
    """`--refresh`: brings the index up to date with the rules it was made with."""
    # Imported here: a plain lookup never loads the indexing code.
    from .index_job import refresh
    from .selection import SelectionRules

    root = place.root
    rules = SelectionRules()
    if os.path.isfile(place.location):
        rules, root = stored_rules(place)
    root = root or "."
    # The default place is prepared (folder, marker, .gitignore) as `index` would.
    location = None if index_place.is_default_location(place.location, root) else place.location
    quiet = Output(out.stdout, out.stderr, as_json=False, progress=False, quiet=out.quiet)
    presenter = render.IndexPresenter(quiet)
    return refresh(root, rules, location, False, wait_seconds, caller, presenter, jobs=jobs, figures=False)


def check_text_arguments(args: argparse.Namespace) -> None:
    """Names are stored as UTF-8: an argument with other bytes is refused in one line."""
    for value in [args.name, *(args.kind or ()), *(args.language or ())]:
        try:
            value.encode("utf-8")
        except UnicodeEncodeError:
            raise Failure(f"{value}: not valid UTF-8, so no declaration can match it") from None


def lookup(args: argparse.Namespace, caller: NativeCaller, out: Output, read: Callable[[Store, SymbolQuery], T]
           ) -> tuple[T, str, Staleness | None]:
    """What `read` finds in the index `find` and `refs` read, its root, and
    what changed since its last refresh.

    The index is refreshed first with --refresh, or when files changed and
    it was made with --auto-refresh; else the changes are only reported.
    """
    check_text_arguments(args)
    place = locate_index(args, out)
    if args.refresh:
        refresh_before_reading(place, args.wait, caller, out)
    query = SymbolQuery(
        text=args.name,
        mode="glob" if args.glob else "prefix" if args.prefix else "exact",
        ignore_case=args.ignore_case,
        kinds=split_list(args.kind),
        languages=split_list(args.language),
    )
    index, root = open_index(place)
    with index:
        stale = None if args.refresh else changes_since_refresh(index, root)
        if not stale or index.read_meta(store.AUTO_REFRESH_KEY) != "1":
            return read(index, query), root, stale
    refresh_before_reading(place, args.wait, caller, out)
    index, root = open_index(place)
    with index:
        return read(index, query), root, None


def run_find(args: argparse.Namespace, caller: NativeCaller, out: Output) -> int:
    matches, root, stale = lookup(args, caller, out, find_definitions)
    render.print_matches(matches, PathNamer(root, "."), out)
    if stale:
        render.print_stale_notice(stale, args.command, out)
    return EXIT_OK if matches else EXIT_NOT_FOUND


def run_refs(args: argparse.Namespace, caller: NativeCaller, out: Output) -> int:
    references, root, stale = lookup(args, caller, out, find_references)
    render.print_references(references, PathNamer(root, "."), out)
    if stale:
        render.print_stale_notice(stale, args.command, out)
    return EXIT_OK if references else EXIT_NOT_FOUND


def find_definitions(index: Store, query: SymbolQuery) -> list[Match]:
    return [Match(*row) for row in index.find_definitions(query)]


def find_references(index: Store, query: SymbolQuery) -> list[Reference]:
    """The matching references, each with its source line."""
    rows = index.find_references(query)
    texts = index.texts(row[-1] for row in rows)
    split = {file_id: text.split(b"\n") for file_id, text in texts.items()}
    return [
        Reference(path, line, column, kind, name, language, scope, source_line(split[file_id], line))
        for path, line, column, kind, name, language, scope, file_id in rows
    ]


def changes_since_refresh(index: Store, root: str) -> Staleness | None:
    """What changed in the tree since the index's last refresh (None: not known)."""
    started = index.read_meta(store.REFRESH_STARTED_KEY)
    if started is None or not started.isdigit():
        return None
    stale = changes_since(root, index.indexed_paths(), int(started))
    if stale.unsure:
        # New source files in changed folders: only the selection can tell
        # an ignored one (a build folder) from a new file of the tree.
        from .selection import SelectionRules, select_files

        stored = index.read_meta("rules")
        try:
            rules = SelectionRules.from_text(stored) if stored is not None else SelectionRules()
            stale.confirm(select_files(root, rules).paths)
        except (ValueError, Failure):
            stale.unsure = []
    return stale


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


def tag_entries(index: Store) -> list[TagEntry]:
    """Every stored definition with its scope and source line, for a tags file."""
    from .tags_file import TagEntry, scope_separator

    rows = index.tag_rows()
    entries = []
    file_id = None
    lines: list[bytes] = []
    # (kind, qualified name) of each definition of the current file, by ordinal.
    qualified: list[tuple[str, str]] = []
    for row_file, ordinal, name, path, line, end_line, kind, language, scope in rows:
        if row_file != file_id:
            # One file's text at a time: a large tree's would not all fit at once.
            file_id, lines, qualified = row_file, index.texts([row_file])[row_file].split(b"\n"), []
        outer = qualified[scope] if scope is not None and 0 <= scope < len(qualified) else None
        own = name if outer is None else outer[1] + scope_separator(language) + name
        # Ordinals run from 0 in source order, so this list stays indexed by them.
        qualified.append((kind, own))
        entries.append(TagEntry(
            name, path, line, end_line, kind, language,
            None if outer is None else outer[0], None if outer is None else outer[1],
            # No line (never expected) leaves the line number alone as the address.
            source_line(lines, line) or None,
        ))
    return entries


# The formats a tags file can be written in; the index remembers each file's.
CTAGS = "ctags"
ETAGS = "etags"


def run_tags(args: argparse.Namespace, caller: NativeCaller, out: Output) -> int:
    place = locate_index(args, out)
    index, root = open_index(place)
    output = args.output or ("TAGS" if args.etags else "tags")
    with index:
        write_tags_of(index, root, output, args.etags, out)
    if output != "-" and is_regular_file(output):
        # Remembered, so that `update` and `watch` keep it fresh in its
        # format. A FIFO or a device is not: a later rewrite could block on
        # it. The file is written either way: an index this user may only
        # read just cannot remember it.
        try:
            with store.RefreshTransaction(place.location, False, args.wait, out.note, place.is_default) as writable:
                writable.remember_tags_file(os.path.abspath(output), ETAGS if args.etags else CTAGS)
        except store.IndexFailed as failure:
            out.note(f"`update` will not rewrite {output}: {failure.message}")
    return EXIT_OK


def is_regular_file(path: str) -> bool:
    try:
        return stat.S_ISREG(os.lstat(path).st_mode)
    except OSError:
        return False


def rewrite_tags_files(place: IndexPlace, out: Output) -> tuple[list[tuple[str, int]], list[str]]:
    """Rewrites every tags file made from the index at `place`, each in its format.

    Returns (path, tags written) for each file written and the one-line
    failures of those that could not be; the others are still written.
    """
    index, root = open_index(place)
    written: list[tuple[str, int]] = []
    failures: list[str] = []
    with index:
        files = index.tags_files()
        entries = tag_entries(index) if files else []
    for path, form in sorted(files.items()):
        try:
            if form not in (CTAGS, ETAGS):
                raise Failure(f"cannot write {path}: unknown tags format {form!r}")
            written.append((path, write_tag_entries(entries, root, path, form == ETAGS, out)))
        except Failure as failure:
            failures.append(failure.message)
    return written, failures


def run_update(args: argparse.Namespace, caller: NativeCaller, out: Output) -> int:
    """Refreshes an existing index with the rules it was made with, then its tags files."""
    place = locate_index(args, out)
    if not os.path.isfile(place.location):
        raise store.IndexFailed(f"no index at {place.location}; create it with `brightloom-index index`")
    from time import monotonic

    started = monotonic()
    summary = refresh_before_reading(place, args.wait, caller, out, jobs=args.jobs)
    render.print_refresh_line(summary.counts, monotonic() - started, out)
    written, failures = rewrite_tags_files(place, out)
    render.print_tags_written(written, out)
    for message in failures:
        out.error(f"error: {message}")
    return EXIT_FAILURE if failures else EXIT_OK


def write_tags_of(index: Store, root: str, output: str, etags: bool, out: Output) -> int:
    """Writes the tags file of every definition in `index` (`-` for standard output),
    ctags or Emacs etags, paths relative to its folder; notes what was left out.
    Returns the number of tags written."""
    return write_tag_entries(tag_entries(index), root, output, etags, out)


def write_tag_entries(entries: list[TagEntry], root: str, output: str, etags: bool, out: Output) -> int:
    from . import tags_file

    folder = "." if output == "-" else os.path.dirname(os.path.abspath(output))
    render_text = tags_file.etags_text if etags else tags_file.ctags_text
    content, left_out = render_text(entries, PathNamer(root, folder))
    if output == "-":
        out.write_bytes(content)
    else:
        try:
            tags_file.write_tags(output, content)
        except OSError as error:
            raise Failure(f"cannot write {output}: {error.strerror}") from None
    render.print_tags_left_out(left_out, out)
    return len(entries) - left_out
