"""Tags files for editors: the extended ctags format (Vim, readtags) and
Emacs etags, and writing either without harming what is already there.

Each tag's address is a search pattern of its source line, as ctags writes
it, so an editor still lands on the definition after lines were added above
it; the `line:` field keeps the number. Entries an editor would expand or
split (a backtick or `$` in a file name runs a shell or reads the
environment in Vim) are left out, and counted for the caller's note.

    text, left_out = ctags_text(entries, show_path)
    write_tags(path, text)
"""

from __future__ import annotations

import os
import stat

from . import __version__

# typing is for the checker only (see cli.py).
TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable, Iterable

# ctags cuts patterns at this many characters and then leaves off the `$`.
PATTERN_LENGTH_LIMIT = 96

CTAGS_HEADER = (
    '!_TAG_FILE_FORMAT\t2\t/extended format; --format=1 will not append ;" to lines/',
    "!_TAG_FILE_SORTED\t1\t/0=unsorted, 1=sorted, 2=foldcase/",
    "!_TAG_OUTPUT_EXCMD\tpattern\t/number, pattern, mixed, or combineV2/",
    # Tells readtags to undo the escapes of names and field values below.
    "!_TAG_OUTPUT_MODE\tu-ctags\t/u-ctags or e-ctags/",
    f"!_TAG_PATTERN_LENGTH_LIMIT\t{PATTERN_LENGTH_LIMIT}\t/0 for no limit/",
    "!_TAG_PROGRAM_NAME\tbrightloom-index\t//",
    f"!_TAG_PROGRAM_VERSION\t{__version__}\t//",
)

UNSORTED_HEADER = "!_TAG_FILE_SORTED\t0\t/0=unsorted, 1=sorted, 2=foldcase/"
LAST_HEADER_NAME = CTAGS_HEADER[-1].partition("\t")[0].encode()

# Languages whose scopes ctags joins with `::` rather than `.`.
DOUBLE_COLON_SCOPES = frozenset({"rust", "cpp", "c"})

# Control characters split lines and etags fields, in names and file names.
CONTROL_CHARACTERS = frozenset(map(chr, range(0x20))) | {"\x7f"}
# Vim expands `$VAR` and backticks (running a shell) in a tag's file name,
# and `~` at its start. In a name they are harmless: no client expands a
# name, and `$` is an ordinary letter of JavaScript and PHP names.
EXPANDED_IN_PATHS = CONTROL_CHARACTERS | frozenset("`$")
# A leading `+` or `-` reads as an option or a command to Vim and readtags.
OPTION_LEADS = ("+", "-")

# Characters the extended format writes as escapes in names and field values.
FIELD_ESCAPES = {"\\": "\\\\", "\t": "\\t", "\r": "\\r", "\n": "\\n", "\a": "\\a", "\b": "\\b",
                 "\v": "\\v", "\f": "\\f"}


class TagEntry:
    """One definition as a tags file needs it.

    `text` is its source line (None when unknown); `scope_kind`/`scope_name`
    name the enclosing definition, the name qualified by its own scopes.
    """

    __slots__ = ("name", "path", "line", "end_line", "kind", "language", "scope_kind", "scope_name", "text")

    def __init__(
        self, name: str, path: str, line: int, end_line: int, kind: str, language: str,
        scope_kind: str | None = None, scope_name: str | None = None,
        text: str | None = None,
    ) -> None:
        self.name = name
        self.path = path
        self.line = line
        self.end_line = end_line
        self.kind = kind
        self.language = language
        self.scope_kind = scope_kind
        self.scope_name = scope_name
        self.text = text


def is_unsafe_name(name: str) -> bool:
    """Whether a tag name would split a line or field, or pass for an option."""
    return not name or name.startswith(OPTION_LEADS) or not CONTROL_CHARACTERS.isdisjoint(name)


def is_unsafe_path(path: str) -> bool:
    """Whether an editor would expand or split `path` as a tag's file name."""
    return not path or path.startswith((*OPTION_LEADS, "~")) or not EXPANDED_IN_PATHS.isdisjoint(path)


def scope_separator(language: str) -> str:
    return "::" if language in DOUBLE_COLON_SCOPES else "."


def escape_field(value: str) -> str:
    """A name or field value in the u-ctags form: `\\`, tab and other controls escaped."""
    if value.isprintable() and "\\" not in value:
        return value
    return "".join(FIELD_ESCAPES.get(c) or (f"\\x{ord(c):02x}" if ord(c) < 0x20 or c == "\x7f" else c)
                   for c in value)


def escape_name(name: str) -> str:
    """Escapes a name; a leading `!` or space is hex so no name passes for a header line."""
    escaped = escape_field(name)
    if escaped[0] in "! ":
        escaped = f"\\x{ord(escaped[0]):02x}" + escaped[1:]
    return escaped


def usable_text(entry: TagEntry) -> tuple[str, bool]:
    """The line as far as a pattern may hold it, and whether that is all of it.

    A carriage return or NUL inside a line is not part of a line to Vim, so
    the text stops there, as it does at the length limit.
    """
    text = entry.text or ""
    whole = entry.text is not None
    for stop in ("\r", "\0"):
        index = text.find(stop)
        if index >= 0:
            text, whole = text[:index], False
    if len(text) > PATTERN_LENGTH_LIMIT:
        text, whole = text[:PATTERN_LENGTH_LIMIT], False
    return text, whole


def search_pattern(entry: TagEntry) -> str:
    """`/^line$/` as ctags escapes it: `\\` and `/` always, a `$` ending the text.

    Without a known line the address is the line number alone.
    """
    if entry.text is None:
        return str(entry.line)
    text, whole = usable_text(entry)
    escaped = text.replace("\\", "\\\\").replace("/", "\\/")
    if escaped.endswith("$"):
        # Escaped even when the text is cut: Vim reads a last `$` as the line's end.
        escaped = escaped[:-1] + "\\$"
    return f"/^{escaped}{'$' if whole else ''}/"


def ctags_line(entry: TagEntry, shown_path: str) -> str:
    fields = [f"kind:{entry.kind}", f"line:{entry.line}"]
    if entry.scope_kind and entry.scope_name:
        fields.append(f"{entry.scope_kind}:{escape_field(entry.scope_name)}")
    fields.append(f"end:{entry.end_line}")
    return f'{escape_name(entry.name)}\t{shown_path}\t{search_pattern(entry)};"\t' + "\t".join(fields)


def safe_entries(
    entries: Iterable[TagEntry], show_path: Callable[[str], str]
) -> tuple[list[tuple[TagEntry, str]], int]:
    """The entries an editor can take, each with its shown path; and how many were left out."""
    kept = []
    left_out = 0
    for entry in entries:
        shown = show_path(entry.path)
        if is_unsafe_name(entry.name) or is_unsafe_path(shown):
            left_out += 1
        else:
            kept.append((entry, shown))
    return kept, left_out


def ctags_text(entries: Iterable[TagEntry], show_path: Callable[[str], str]) -> tuple[bytes, int]:
    """The whole tags file and the number of entries left out."""
    kept, left_out = safe_entries(entries, show_path)
    # Sorted by the bytes of the unescaped name: readtags unescapes names
    # before its binary search compares them, and Vim's plain names keep
    # their order either way.
    kept.sort(key=lambda item: (encode(item[0].name), encode(item[1]), item[0].line))
    lines = list(CTAGS_HEADER)
    if kept and encode(kept[0][0].name) <= LAST_HEADER_NAME:
        # A name such as `!` sorts among the header lines, which must stay
        # first; a binary search would look for it above them. Declared
        # unsorted, the file is searched line by line and the name is found.
        lines[1] = UNSORTED_HEADER
    lines.extend(ctags_line(entry, shown) for entry, shown in kept)
    return encode("".join(line + "\n" for line in lines)), left_out


def etags_text(entries: Iterable[TagEntry], show_path: Callable[[str], str]) -> tuple[bytes, int]:
    """An Emacs TAGS file: per source file a section, per tag `text DEL name SOH line,`.

    Emacs searches for the text at a line's start near the given line, so
    the tag survives edits above it; the byte offset after the comma is left
    empty, which Emacs accepts.
    """
    kept, left_out = safe_entries(entries, show_path)
    kept.sort(key=lambda item: (encode(item[1]), item[0].line, encode(item[0].name)))
    sections = []
    index = 0
    while index < len(kept):
        shown = kept[index][1]
        body = []
        while index < len(kept) and kept[index][1] == shown:
            entry = kept[index][0]
            text = usable_text(entry)[0]
            for stop in ("\x7f", "\x01"):
                text = text.partition(stop)[0]
            body.append(encode(f"{text}\x7f{entry.name}\x01{entry.line},\n"))
            index += 1
        content = b"".join(body)
        sections.append(b"\x0c\n" + encode(shown) + b"," + str(len(content)).encode() + b"\n" + content)
    return b"".join(sections), left_out


def encode(text: str) -> bytes:
    # Names that were not UTF-8 on disk come back as they were.
    return text.encode("utf-8", "surrogateescape")


def write_tags(path: str, content: bytes) -> None:
    """Writes a tags file without replacing anything but a regular file.

    A regular file or a missing path gets a temporary file beside it renamed
    over it, so a reader sees the old file or the new one, never half of
    one. A FIFO or a character device (a terminal, /dev/null) is written in
    place. Anything else, a symbolic link included (a repository may commit
    `tags` as a link to a file of its user's), is refused with OSError.
    """
    try:
        status = os.lstat(path)
    except FileNotFoundError:
        status = None
    if status is None or stat.S_ISREG(status.st_mode):
        replace_file(path, content)
    elif stat.S_ISFIFO(status.st_mode) or stat.S_ISCHR(status.st_mode):
        write_in_place(path, content)
    else:
        raise OSError(0, "not a regular file, FIFO or character device (a link is not followed)")


def write_in_place(path: str, content: bytes) -> None:
    descriptor = os.open(path, os.O_WRONLY | os.O_NOCTTY | os.O_NOFOLLOW | os.O_CLOEXEC)
    try:
        # The node may have been swapped since lstat; it must still be one we write into.
        mode = os.fstat(descriptor).st_mode
        if not (stat.S_ISFIFO(mode) or stat.S_ISCHR(mode)):
            raise OSError(0, "changed while being opened")
        view = memoryview(content)
        while view:
            view = view[os.write(descriptor, view):]
    finally:
        os.close(descriptor)


def replace_file(path: str, content: bytes) -> None:
    import tempfile

    folder = os.path.dirname(os.path.abspath(path))
    descriptor, temporary = tempfile.mkstemp(prefix=".tags.", dir=folder)
    try:
        with os.fdopen(descriptor, "wb") as handle:
            handle.write(content)
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
