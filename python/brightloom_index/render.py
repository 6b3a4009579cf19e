"""Presentation: aligned text tables, JSON Lines and the progress bar.

Everything that decides how a reply looks on a terminal is here; the
commands hand over plain rows.
"""

from __future__ import annotations

import json
from collections.abc import Sequence
from time import monotonic
from typing import Any, TextIO


def json_line(value: Any) -> str:
    """One compact JSON text, the way the module writes its replies."""
    return json.dumps(value, ensure_ascii=False, separators=(",", ":"))


def table(headers: Sequence[str], rows: Sequence[Sequence[object]]) -> str:
    """Columns padded to their widest cell; numbers are right-aligned.

    The last column is not padded, so long signatures or snippets do not
    drag trailing blanks behind them.
    """
    cells = [[str(cell) for cell in row] for row in rows]
    numeric = [
        bool(rows) and all(isinstance(row[index], int) for row in rows)
        for index in range(len(headers))
    ]
    widths = [
        max([len(header)] + [len(row[index]) for row in cells])
        for index, header in enumerate(headers)
    ]
    lines = []
    for row in [list(headers)] + cells:
        padded = []
        for index, cell in enumerate(row):
            if index == len(row) - 1:
                padded.append(cell.rjust(widths[index]) if numeric[index] else cell)
            elif numeric[index]:
                padded.append(cell.rjust(widths[index]))
            else:
                padded.append(cell.ljust(widths[index]))
        lines.append("  ".join(padded).rstrip())
    return "\n".join(lines)


class ProgressBar:
    """A one-line bar redrawn in place on a terminal, at most ten times a second."""

    WIDTH = 30
    INTERVAL = 0.1

    def __init__(self, stream: TextIO) -> None:
        self._stream = stream
        self._last_draw = 0.0
        self._drawn = False

    def update(self, done: int, total: int, label: str) -> None:
        now = monotonic()
        if done < total and now - self._last_draw < self.INTERVAL:
            return
        self._last_draw = now
        filled = self.WIDTH * done // total if total else self.WIDTH
        bar = "#" * filled + "." * (self.WIDTH - filled)
        text = f"[{bar}] {done}/{total} {label}"
        # Clear to the end of the line: the previous label may be longer.
        self._stream.write("\r" + text[:200] + "\x1b[K")
        self._stream.flush()
        self._drawn = True

    def finish(self) -> None:
        if self._drawn:
            self._stream.write("\r\x1b[K")
            self._stream.flush()
            self._drawn = False
