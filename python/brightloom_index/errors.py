"""The one failure type the command line reports as a line on standard error.

Every expected failure (the module refused a command, a root that is no
folder, an index that cannot be used) derives from `Failure`, so the command
line catches one class without importing the modules that raise it.
"""

from __future__ import annotations


class Failure(Exception):
    """An expected failure; `message` is one line naming what is at fault."""

    def __init__(self, message: str) -> None:
        super().__init__(message)
        self.message = message
