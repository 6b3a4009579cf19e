"""Handlers that answer from the stored index: `find` and `tags`.

They read SQLite and nothing else, so a lookup costs the interpreter's start
and a few indexed queries; the native module is loaded only for `--refresh`.
"""

from __future__ import annotations

import argparse
import os
from collections.abc import Iterable, Iterator

from . import __version__, index_place, render, store
from .errors import Failure
from .exit_codes import EXIT_FAILURE, EXIT_NOT_FOUND, EXIT_OK
from .freshness import Staleness, changes_since
from .native_calls import NativeCaller
from .render import Output
from .store import Store, SymbolQuery

# typing is for the checker only (see cli.py).
TYPE_CHECKING = False
if TYPE_CHECKING:
    from .index_job import IndexSummary
    from .selection import SelectionRules


# A plain class rather than a dataclass, which imports inspect: a lookup's
# whole run is a few tens of milliseconds.
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
    return refresh(root, rules, location, False, wait_seconds, caller, render.IndexPresenter(quiet), jobs=jobs)


def check_text_arguments(args: argparse.Namespace) -> None:
    """Names are stored as UTF-8: an argument with other bytes is refused in one line."""
    for value in [args.name, *(args.kind or ()), *(args.language or ())]:
        try:
            value.encode("utf-8")
        except UnicodeEncodeError:
            raise Failure(f"{value}: not valid UTF-8, so no declaration can match it") from None


def run_find(args: argparse.Namespace, caller: NativeCaller, out: Output) -> int:
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
        refresh_first = bool(stale) and index.read_meta(store.AUTO_REFRESH_KEY) == "1"
        if not refresh_first:
            matches = [Match(*row) for row in index.find_symbols(query)]
    if refresh_first:
        refresh_before_reading(place, args.wait, caller, out)
        stale = None
        index, root = open_index(place)
        with index:
            matches = [Match(*row) for row in index.find_symbols(query)]
    render.print_matches(matches, PathNamer(root, "."), out)
    if stale:
        render.print_stale_notice(stale, out)
    return EXIT_OK if matches else EXIT_NOT_FOUND


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


# The header ctags writes; readers check the format and sort flag.
TAGS_HEADER = (
    '!_TAG_FILE_FORMAT\t2\t/extended format; --format=1 will not append ;" to lines/',
    "!_TAG_FILE_SORTED\t1\t/0=unsorted, 1=sorted, 2=foldcase/",
    "!_TAG_PROGRAM_NAME\tbrightloom-index\t//",
    f"!_TAG_PROGRAM_VERSION\t{__version__}\t//",
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


# The formats a tags file can be written in; the index remembers each file's.
CTAGS = "ctags"


def run_tags(args: argparse.Namespace, caller: NativeCaller, out: Output) -> int:
    place = locate_index(args, out)
    index, root = open_index(place)
    with index:
        rows = index.tag_rows()
    if args.output == "-":
        lines = list(tag_lines(rows, ".", root))
        out.write("".join(line + "\n" for line in lines))
        render.print_tags_left_out(len(rows) - (len(lines) - len(TAGS_HEADER)), out)
        return EXIT_OK
    write_tags_file(rows, root, args.output, CTAGS, out)
    # Remembered, so that `update` and `watch` keep it fresh. The file is
    # written either way: an index this user may only read just cannot remember it.
    try:
        with store.RefreshTransaction(place.location, False, args.wait, out.note, place.is_default) as writable:
            writable.remember_tags_file(os.path.abspath(args.output), CTAGS)
    except store.IndexFailed as failure:
        out.note(f"`update` will not rewrite {args.output}: {failure.message}")
    return EXIT_OK


def write_tags_file(rows: list[tuple[str, str, int, int, str]], root: str, path: str, form: str, out: Output) -> int:
    """Writes one tags file atomically; returns the number of tags written."""
    if form != CTAGS:
        raise Failure(f"cannot write {path}: unknown tags format {form!r}")
    lines = list(tag_lines(rows, os.path.dirname(os.path.abspath(path)), root))
    try:
        write_atomically(path, "".join(line + "\n" for line in lines))
    except OSError as error:
        raise Failure(f"cannot write {path}: {error.strerror}") from None
    written = len(lines) - len(TAGS_HEADER)
    render.print_tags_left_out(len(rows) - written, out)
    return written


def rewrite_tags_files(place: IndexPlace, out: Output) -> tuple[list[tuple[str, int]], list[str]]:
    """Rewrites every tags file made from the index at `place`.

    Returns (path, tags written) for each file written and the one-line
    failures of those that could not be; the others are still written.
    """
    index, root = open_index(place)
    with index:
        files = index.tags_files()
        rows = index.tag_rows() if files else []
    written: list[tuple[str, int]] = []
    failures: list[str] = []
    for path, form in sorted(files.items()):
        try:
            written.append((path, write_tags_file(rows, root, path, form, out)))
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
