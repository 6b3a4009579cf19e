"""Ignore patterns read and matched as git reads and matches them.

A pattern is split at its slashes into segments; a segment is matched
against one component of the path, and `**` stands for any number of whole
components. Both levels use the classic wildcard walk that returns to the
last star only, so a pattern costs at most (pattern length x name length)
steps: no pattern in a cloned tree can stall the walk, as a backtracking
regular expression would. Matching is on bytes, as git's is, so `?` takes
one byte and names that are not UTF-8 (surrogate escapes) match as stored.

    rules = parse_ignore_text(b"*.pyc\\n!keep.pyc\\nbuild/\\n", ".gitignore")
    decide(rules.patterns, "src/a.pyc", is_dir=False)   # True: ignored
    rules.notes                                         # lines that never match
"""

from __future__ import annotations

import os
import re
from collections.abc import Callable, Iterable, Sequence

# typing is for the checker only (see cli.py).
TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any

# A segment is a tuple of tokens: a byte value (a literal), ANY_BYTE,
# STAR, or a frozenset of the byte values a bracket expression takes.
ANY_BYTE = -1
STAR = -2
# A whole segment `**`: any number of path components.
GLOBSTAR = "**"

Token = int | frozenset[int]
Segment = tuple[Token, ...]
# A pattern's parts between slashes: a segment, or GLOBSTAR.
Part = Segment | str

SLASH = ord("/")
BACKSLASH = ord("\\")

# git's bracket classes, on ASCII only as git's own character table is.
CHARACTER_CLASSES: dict[bytes, Callable[[int], bool]] = {
    b"alnum": lambda c: chr(c).isalnum(),
    b"alpha": lambda c: chr(c).isalpha(),
    b"blank": lambda c: c in (9, 32),
    b"cntrl": lambda c: c < 32 or c == 127,
    b"digit": lambda c: chr(c).isdigit(),
    b"graph": lambda c: 33 <= c <= 126,
    b"lower": lambda c: chr(c).islower(),
    b"print": lambda c: 32 <= c <= 126,
    b"punct": lambda c: 33 <= c <= 126 and not chr(c).isalnum(),
    b"space": lambda c: c in (9, 10, 11, 12, 13, 32),
    b"upper": lambda c: chr(c).isupper(),
    b"xdigit": lambda c: chr(c) in "0123456789abcdefABCDEF",
}
ASCII = range(128)


class InvalidPattern(Exception):
    """A pattern git keeps but that can never match (an open bracket, say)."""


class IgnorePattern:
    """One line of an ignore file, compiled."""

    __slots__ = ("text", "negated", "directory_only", "anchored", "segments", "_fast")

    def __init__(self, text: str, negated: bool, directory_only: bool, anchored: bool, segments: list[Part]) -> None:
        self.text = text
        self.negated = negated
        self.directory_only = directory_only
        # Anchored patterns match the whole path below their file's folder,
        # the others the last component only.
        self.anchored = anchored
        self.segments = segments
        # Per segment: a compiled expression when it has at most one star
        # (then a regular expression cannot backtrack badly), else None.
        self._fast = [None if isinstance(segment, str) else fast_matcher(segment) for segment in segments]

    def matches(self, path: bytes, is_dir: bool) -> bool:
        """`path` is relative to the folder of the pattern's file, `/`-separated."""
        if self.directory_only and not is_dir:
            return False
        if not self.anchored:
            return self.segment_matches(0, path[path.rfind(b"/") + 1 :])
        return match_sequence(self.segments, path.split(b"/"), GLOBSTAR, self.segment_matches)

    def segment_matches(self, index: int, component: bytes) -> bool:
        fast = self._fast[index]
        if fast is not None:
            return fast(component) is not None
        part = self.segments[index]
        assert not isinstance(part, str), "a component is never matched against GLOBSTAR itself"
        segment: Segment = part
        return match_sequence(segment, component, STAR, lambda position, byte: token_matches(segment[position], byte))


class IgnoreRules:
    """The patterns of one ignore file, and a note for each line that never matches."""

    __slots__ = ("patterns", "notes")

    def __init__(self) -> None:
        self.patterns: list[IgnorePattern] = []
        self.notes: list[str] = []


def parse_ignore_text(data: bytes, source: str) -> IgnoreRules:
    """Reads an ignore file's bytes as git does; `source` names it in notes."""
    rules = IgnoreRules()
    if data.startswith(b"\xef\xbb\xbf"):
        data = data[3:]
    for number, line in enumerate(data.split(b"\n"), start=1):
        if line.endswith(b"\r"):
            line = line[:-1]
        if not line or line.startswith(b"#"):
            continue
        line = trim_trailing_spaces(line)
        if not line:
            continue
        try:
            rules.patterns.append(compile_pattern(line))
        except InvalidPattern as problem:
            shown = os.fsdecode(line)
            rules.notes.append(f"{source}:{number}: pattern {shown!r} skipped: {problem}")
    return rules


def parse_globs(globs: Iterable[str], source: str) -> IgnoreRules:
    """Command-line globs, one pattern each, as if they were lines of one file."""
    return parse_ignore_text(b"\n".join(os.fsencode(glob) for glob in globs), source)


def trim_trailing_spaces(line: bytes) -> bytes:
    """Drops trailing blanks that no backslash escapes."""
    end = 0
    index = 0
    while index < len(line):
        if line[index] == BACKSLASH:
            index += 1
            end = min(index + 1, len(line))
        elif line[index] != 0x20:
            end = index + 1
        index += 1
    return line[:end]


def compile_pattern(line: bytes) -> IgnorePattern:
    text = os.fsdecode(line)
    negated = line.startswith(b"!")
    if negated:
        line = line[1:]
    directory_only = line.endswith(b"/")
    if directory_only:
        line = line[:-1]
    if not line:
        raise InvalidPattern("nothing to match")
    anchored = b"/" in line
    segments: list[Part]
    if anchored:
        if line.startswith(b"/"):
            line = line[1:]
        segments = split_segments(tokenize(line, pathname=True))
        if segments[-1] is GLOBSTAR:
            # A trailing `**` needs at least one component: `a/**` takes `a/b`, not `a`.
            segments[-1:] = [(STAR,), GLOBSTAR]
    else:
        # Without pathname rules `**` is a plain star: no GLOBSTAR here.
        segments = [tuple(token for token in tokenize(line, pathname=False) if not isinstance(token, str))]
    return IgnorePattern(text, negated, directory_only, anchored, segments)


def tokenize(pattern: bytes, pathname: bool) -> list[Token | str]:
    """Tokens of a wildcard pattern; slashes stay literal bytes, `**` segments GLOBSTAR."""
    tokens: list[Token | str] = []
    index = 0
    while index < len(pattern):
        byte = pattern[index]
        if byte == BACKSLASH:
            if index + 1 == len(pattern):
                raise InvalidPattern("it ends with a lone backslash")
            tokens.append(pattern[index + 1])
            index += 2
        elif byte == ord("?"):
            tokens.append(ANY_BYTE)
            index += 1
        elif byte == ord("*"):
            end = index
            while end < len(pattern) and pattern[end] == ord("*"):
                end += 1
            whole_segment = (index == 0 or pattern[index - 1] == SLASH) and (
                end == len(pattern) or pattern[end] == SLASH or pattern[end : end + 2] == b"\\/"
            )
            tokens.append(GLOBSTAR if pathname and end - index >= 2 and whole_segment else STAR)
            index = end
        elif byte == ord("["):
            members, index = read_bracket(pattern, index + 1)
            tokens.append(members)
        else:
            tokens.append(byte)
            index += 1
    return tokens


def read_bracket(pattern: bytes, index: int) -> tuple[frozenset[int], int]:
    """The byte values of the bracket expression starting at `index` (after `[`), and the index after `]`."""
    negated = index < len(pattern) and pattern[index] in (ord("!"), ord("^"))
    if negated:
        index += 1
    members: set[int] = set()
    previous: int | None = None
    first = True
    while True:
        if index >= len(pattern):
            raise InvalidPattern("a bracket is never closed")
        byte = pattern[index]
        if byte == ord("]") and not first:
            index += 1
            break
        first = False
        if byte == BACKSLASH:
            index += 1
            if index >= len(pattern):
                raise InvalidPattern("a bracket is never closed")
            byte = pattern[index]
            members.add(byte)
            previous = byte
        elif (
            byte == ord("-") and previous is not None
            and index + 1 < len(pattern) and pattern[index + 1] != ord("]")
        ):
            index += 1
            high = pattern[index]
            if high == BACKSLASH:
                index += 1
                if index >= len(pattern):
                    raise InvalidPattern("a bracket is never closed")
                high = pattern[index]
            members.update(range(previous, high + 1))
            previous = None
        elif byte == ord("[") and pattern[index + 1 : index + 2] == b":":
            close = pattern.find(b":]", index + 2)
            if close < 0:
                # Not a class after all: the `[` is a member.
                members.add(byte)
                previous = byte
            else:
                test = CHARACTER_CLASSES.get(pattern[index + 2 : close])
                if test is None:
                    raise InvalidPattern(f"unknown class [:{os.fsdecode(pattern[index + 2 : close])}:]")
                members.update(value for value in ASCII if test(value))
                previous = None
                index = close + 1
        else:
            members.add(byte)
            previous = byte
        index += 1
    if negated:
        members = set(range(256)) - members
    # No slash reaches a bracket: patterns are matched a component at a time.
    return frozenset(members), index


def split_segments(tokens: list[Token | str]) -> list[Part]:
    # tokenize gives GLOBSTAR only for a whole segment, alone between slashes.
    segments: list[Part] = []
    current: list[Token] = []
    globstar = False
    for token in tokens:
        if token == SLASH:
            segments.append(GLOBSTAR if globstar else tuple(current))
            current = []
            globstar = False
        elif isinstance(token, str):
            globstar = True
        else:
            current.append(token)
    segments.append(GLOBSTAR if globstar else tuple(current))
    return segments


def token_matches(token: Token, byte: int) -> bool:
    if token == ANY_BYTE:
        return True
    if isinstance(token, frozenset):
        return byte in token
    return token == byte


def match_sequence(
    pattern: Sequence[object], items: Sequence[Any], star: object, element_matches: Callable[[int, Any], bool]
) -> bool:
    """The wildcard walk over `items`: returns to the last star only.

    A star (STAR within a segment, GLOBSTAR among segments) takes any run of
    items; any other element of `pattern` takes one item when
    `element_matches(position, item)` says so. Returning to the last star is
    enough, since a later star can take whatever an earlier one could.
    """
    position = 0
    item = 0
    star_position = -1
    star_item = 0
    while item < len(items):
        if position < len(pattern) and pattern[position] == star:
            star_position = position
            star_item = item
            position += 1
        elif position < len(pattern) and element_matches(position, items[item]):
            position += 1
            item += 1
        elif star_position >= 0:
            star_item += 1
            item = star_item
            position = star_position + 1
        else:
            return False
    while position < len(pattern) and pattern[position] == star:
        position += 1
    return position == len(pattern)


def fast_matcher(segment: Segment) -> Callable[[bytes], re.Match[bytes] | None] | None:
    """`fullmatch` of a regular expression for a segment with at most one star, else None."""
    if sum(1 for token in segment if token == STAR) > 1:
        return None
    parts = []
    for token in segment:
        if token == STAR:
            parts.append(b".*")
        elif token == ANY_BYTE:
            parts.append(b".")
        elif isinstance(token, frozenset):
            parts.append(b"[" + b"".join(b"\\x%02x" % value for value in sorted(token)) + b"]" if token else b"(?!)")
        else:
            parts.append(re.escape(bytes([token])))
    return re.compile(b"".join(parts), re.DOTALL).fullmatch


def decide(levels: Sequence[tuple[str, Sequence[IgnorePattern]]], path: str, is_dir: bool) -> bool:
    """Git's rule over (base folder with its slash, patterns) from shallow to deep:
    the deepest file decides, and in it the last matching line."""
    encoded = os.fsencode(path)
    for base, patterns in reversed(levels):
        local = encoded[len(os.fsencode(base)) :]
        for pattern in reversed(patterns):
            if pattern.matches(local, is_dir):
                return not pattern.negated
    return False


def covers(patterns: Sequence[IgnorePattern], path: str) -> bool:
    """Whether `path` or a folder above it is matched: an excluded folder takes its files along."""
    parts = path.split("/")
    levels = [("", patterns)]
    return any(decide(levels, "/".join(parts[:depth]), True) for depth in range(1, len(parts))) or decide(
        levels, path, False
    )
