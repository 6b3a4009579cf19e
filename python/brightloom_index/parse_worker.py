"""A parse process of parse_pool: one request per input line, one answer per output line.

A request names a file of the tree (`{"root":...,"path":...,"language":...,
"max_size":...}`); the worker reads it under the tree's reading rules and
answers with the module's two replies spliced in unparsed, the time each
took, and the digest of the very bytes it parsed. Input at its end (the
parent finished, or died) ends the worker; so does an output nobody reads
any more, without a traceback.
"""

from __future__ import annotations

import json
import os
import signal
import sys
from typing import Any

from .native_calls import CommandFailed, NativeCaller
from .tree_files import Unreadable, read_tree_text


def answer(caller: NativeCaller, request: dict[str, Any]) -> str:
    texts = ["null", "null"]
    seconds = [0.0, 0.0]
    error = None
    calls = 0
    digest: tuple[str | None, int] = (None, 0)
    try:
        text, digest = read_tree_text(request["root"], request["path"], request["max_size"])
        payload = json.dumps({"content": text, "language": request["language"]}, ensure_ascii=False)
        for slot, command in enumerate(("outline", "syntax-check")):
            calls += 1
            texts[slot] = caller.call_raw(command, payload)
            seconds[slot] = caller.last_seconds
    except Unreadable as failure:
        error = failure.message
    except CommandFailed as failure:
        error = failure.message
    # Each reply is one compact JSON text without line breaks: spliced as is.
    return (
        f'{{"outline":{texts[0]},"check":{texts[1]},"error":{json.dumps(error)},'
        f'"outline_seconds":{seconds[0]!r},"check_seconds":{seconds[1]!r},"calls":{calls},'
        f'"file_hash":{json.dumps(digest[0])},"total_lines":{digest[1]}}}\n'
    )


def main() -> None:
    # Ctrl-C reaches the whole process group; the parent alone reacts to it
    # (it rolls its transaction back and stops the workers).
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    caller = NativeCaller()
    # Bytes both ways; requests are ASCII with escapes, so names that are
    # not UTF-8 arrive as the surrogate escapes they left as.
    output = sys.stdout.buffer
    try:
        for line in sys.stdin.buffer:
            output.write(answer(caller, json.loads(line)).encode("utf-8"))
            output.flush()
    except BrokenPipeError:
        # The parent is gone; nothing is left to report to. Leave at once,
        # before the interpreter's own flush meets the same closed pipe.
        os._exit(0)


if __name__ == "__main__":
    main()
