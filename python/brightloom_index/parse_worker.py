"""A parse process of parse_pool: one request per input line, one answer per output line.

A request is the payload of both commands (`{"path":...,"language":...}`);
the answer carries the module's two replies spliced in unparsed, with the
time each took. Input at its end (the parent finished, or died) ends the
worker; so does an output nobody reads any more, without a traceback.
"""

from __future__ import annotations

import json
import os
import signal
import sys

from .native_calls import CommandFailed, NativeCaller


def answer(caller: NativeCaller, payload: str) -> str:
    texts = ["null", "null"]
    seconds = [0.0, 0.0]
    error = None
    calls = 0
    try:
        for slot, command in enumerate(("outline", "syntax-check")):
            calls += 1
            texts[slot] = caller.call_raw(command, payload)
            seconds[slot] = caller.last_seconds
    except CommandFailed as failure:
        error = failure.message
    # Each reply is one compact JSON text without line breaks: spliced as is.
    return (
        f'{{"outline":{texts[0]},"check":{texts[1]},"error":{json.dumps(error)},'
        f'"outline_seconds":{seconds[0]!r},"check_seconds":{seconds[1]!r},"calls":{calls}}}\n'
    )


def main() -> None:
    # Ctrl-C reaches the whole process group; the parent alone reacts to it
    # (it rolls its transaction back and stops the workers).
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    caller = NativeCaller()
    # Bytes both ways, UTF-8 whatever the locale says.
    output = sys.stdout.buffer
    try:
        for line in sys.stdin.buffer:
            output.write(answer(caller, line.decode("utf-8").rstrip("\n")).encode("utf-8"))
            output.flush()
    except BrokenPipeError:
        # The parent is gone; nothing is left to report to. Leave at once,
        # before the interpreter's own flush meets the same closed pipe.
        os._exit(0)


if __name__ == "__main__":
    main()
