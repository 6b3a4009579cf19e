"""The one place that calls the native module.

`NativeCaller` encodes a payload, calls `run`, decodes the reply and keeps
the time spent inside `run`, which `--profile` reports. A failure of the
command (the module raises RuntimeError) becomes `CommandFailed` carrying
the module's own message unchanged.
"""

from __future__ import annotations

from collections.abc import Callable
from time import perf_counter

from .errors import Failure

# typing is for the checker only, which reads this name as true: `find`
# imports this module and does without it (see cli.py).
TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any

    Reply = dict[str, Any]
else:
    Reply = dict


class CommandFailed(Failure):
    """A command the module refused; `message` is the module's text."""


class NativeCaller:
    """Calls `run` and adds up how long the calls took."""

    def __init__(self, run: Callable[[str, str], str] | None = None) -> None:
        self._run = run
        self.calls = 0
        self.seconds_in_run = 0.0
        # Duration of the most recent call, for the index's slowest step.
        self.last_seconds = 0.0

    def add_remote_calls(self, seconds: float, calls: int) -> None:
        """Counts calls a worker process made on this caller's behalf."""
        self.seconds_in_run += seconds
        self.calls += calls

    def call(self, command: str, payload: dict[str, Any]) -> Reply:
        """Runs one command; raises CommandFailed when the module refuses it."""
        # Imported on first use: `find` and `tags` never call the module.
        import json

        decoded: Reply = json.loads(self.call_raw(command, json.dumps(payload, ensure_ascii=False)))
        return decoded

    def call_raw(self, command: str, payload_text: str) -> str:
        """`call` on JSON texts, for a caller that passes the reply on unread."""
        if self._run is None:
            import brightloom_index_native

            self._run = brightloom_index_native.run
        start = perf_counter()
        try:
            return self._run(command, payload_text)
        except RuntimeError as error:
            raise CommandFailed(str(error)) from None
        except UnicodeEncodeError:
            # Command-line arguments that are not valid UTF-8 reach Python
            # as lone surrogates, which the module cannot take as text.
            raise CommandFailed("argument is not valid UTF-8") from None
        finally:
            self.last_seconds = perf_counter() - start
            self.seconds_in_run += self.last_seconds
            self.calls += 1
