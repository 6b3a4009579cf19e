"""Open buffers and the arithmetic of positions.

A position's `character` counts UTF-16 code units by default, or UTF-8
bytes when the client agreed to that encoding; Python strings count code
points, and the module counts bytes. Every conversion is here.
"""

from __future__ import annotations

import bisect
from typing import Any

UTF16 = "utf-16"
UTF8 = "utf-8"


def units(character: str, encoding: str) -> int:
    code = ord(character)
    if encoding == UTF8:
        return 1 if code < 0x80 else 2 if code < 0x800 else 3 if code < 0x10000 else 4
    return 2 if code >= 0x10000 else 1


def index_in_line(line: str, character: int, encoding: str) -> int:
    """The index in `line` of a position's character; past the end is the end.

    A position inside a character (the second half of a surrogate pair) is
    taken as that character's start.
    """
    if line.isascii():
        return max(0, min(character, len(line)))
    count = 0
    for index, char in enumerate(line):
        count += units(char, encoding)
        if count > character:
            return index
    return len(line)


def character_in_line(line: str, index: int, encoding: str) -> int:
    """The position character of index `index` of `line`."""
    prefix = line[:index]
    if prefix.isascii():
        return len(prefix)
    return sum(units(char, encoding) for char in prefix)


def index_of_byte_column(line: str, column: int) -> int:
    """The index in `line` of a 1-based byte column, as the module reports it."""
    if line.isascii():
        return max(0, min(column - 1, len(line)))
    return len(line.encode("utf-8")[: max(0, column - 1)].decode("utf-8", "ignore"))


class TextDocument:
    """One open buffer: its text, version and language, with line starts kept."""

    def __init__(self, uri: str, text: str, version: int | None, language: str | None) -> None:
        self.uri = uri
        self.version = version
        self.language = language
        self._set(text)

    def _set(self, text: str) -> None:
        self.text = text
        starts = [0]
        find = text.find
        at = find("\n")
        while at >= 0:
            starts.append(at + 1)
            at = find("\n", at + 1)
        self._starts = starts

    @property
    def line_count(self) -> int:
        return len(self._starts)

    def line(self, number: int) -> str:
        """Line `number` (from 0) without its line break; "" past the end."""
        if not 0 <= number < len(self._starts):
            return ""
        start = self._starts[number]
        end = self._starts[number + 1] - 1 if number + 1 < len(self._starts) else len(self.text)
        text = self.text[start:end]
        return text[:-1] if text.endswith("\r") else text

    def offset(self, position: dict[str, Any], encoding: str) -> int:
        """The index in the text of a protocol position, clamped to the text."""
        line = int(position.get("line", 0))
        if line < 0:
            return 0
        if line >= len(self._starts):
            return len(self.text)
        return self._starts[line] + index_in_line(self.line(line), int(position.get("character", 0)), encoding)

    def position(self, offset: int, encoding: str) -> dict[str, int]:
        line = bisect.bisect_right(self._starts, offset) - 1
        return {"line": line, "character": character_in_line(self.line(line), offset - self._starts[line], encoding)}

    def apply_change(self, change: dict[str, Any], encoding: str) -> None:
        """One entry of `contentChanges`: a whole text, or a range replaced."""
        new_text = change.get("text", "")
        if not isinstance(new_text, str):
            raise ValueError("a content change without text")
        edit = change.get("range")
        if edit is None:
            self._set(new_text)
            return
        start = self.offset(edit["start"], encoding)
        end = max(start, self.offset(edit["end"], encoding))
        self._set(self.text[:start] + new_text + self.text[end:])


def word_at(line: str, index: int) -> tuple[int, int] | None:
    """The identifier covering `index` of `line` (or ending just before it), as a span."""
    def is_word(char: str) -> bool:
        return char.isalnum() or char in "_$"

    if index < len(line) and is_word(line[index]):
        start = index
    elif index > 0 and index <= len(line) and is_word(line[index - 1]):
        start = index - 1
    else:
        return None
    end = start
    while start > 0 and is_word(line[start - 1]):
        start -= 1
    while end < len(line) and is_word(line[end]):
        end += 1
    if line[start].isdigit():
        return None
    return start, end
