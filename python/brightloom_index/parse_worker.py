"""A parse process of parse_pool: one request per input line, one outcome record for each.

Both are encoded by `parsing`. Input at its end (the parent finished, or
died) ends the worker; so does an output nobody reads any more, without a
traceback.
"""

from __future__ import annotations

import os
import signal
import sys

from .native_calls import NativeCaller
from .parsing import decode_request, encode_outcome, parse_one


def main() -> None:
    # Ctrl-C reaches the whole process group; the parent alone reacts to it
    # (it rolls its transaction back and stops the workers).
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    caller = NativeCaller()
    output = sys.stdout.buffer
    try:
        for line in sys.stdin.buffer:
            output.write(encode_outcome(parse_one(caller, decode_request(line))))
            output.flush()
    except BrokenPipeError:
        # The parent is gone; nothing is left to report to. Leave at once,
        # before the interpreter's own flush meets the same closed pipe.
        os._exit(0)


if __name__ == "__main__":
    main()
