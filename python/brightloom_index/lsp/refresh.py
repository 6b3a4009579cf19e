"""Background refreshes of the index, each in a child process.

A refresh parses in processes of its own and holds the interpreter lock
inside the module's scan, so in the server's process it would stall
requests; a child keeps the server answering from the previous index (WAL)
meanwhile, and a killed child leaves that index whole. One refresh per root
runs at a time; requests that come meanwhile are folded into one more.

`python -m brightloom_index.lsp.refresh ROOT` is the child: it refreshes the
index of ROOT with the selection it was last made with, as `find --refresh`.
"""

from __future__ import annotations

import os
import subprocess
import sys
import tempfile
from collections.abc import Callable
from typing import IO


def child_environment() -> dict[str, str]:
    """The environment with this package and the module importable, however they were found."""
    import brightloom_index_native

    import brightloom_index

    folders = [
        os.path.dirname(os.path.dirname(os.path.abspath(brightloom_index.__file__))),
        os.path.dirname(os.path.abspath(brightloom_index_native.__file__)),
    ]
    inherited = os.environ.get("PYTHONPATH")
    if inherited:
        folders.append(inherited)
    return {**os.environ, "PYTHONPATH": os.pathsep.join(folders)}


class RootRefresher:
    """Starts refreshes of one root's index, one at a time."""

    def __init__(self, root: str, log: Callable[[str], None]) -> None:
        self.root = root
        self._log = log
        self._process: subprocess.Popen[bytes] | None = None
        # The child's standard error, in a file: a pipe nobody reads until
        # the end would stall a child that writes more than the pipe holds.
        self._errors: IO[bytes] | None = None
        self._again = False
        self.finished = 0

    @property
    def running(self) -> bool:
        return self._process is not None

    def request(self) -> None:
        if self._process is not None:
            self._again = True
            return
        self._errors = tempfile.TemporaryFile()
        self._process = subprocess.Popen(
            [sys.executable, "-m", "brightloom_index.lsp.refresh", self.root],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=self._errors,
            env=child_environment(),
        )

    def poll(self) -> bool:
        """Reaps a finished refresh (starting the next one asked for); True when one finished."""
        process = self._process
        if process is None or process.poll() is None:
            return False
        errors = self._take_errors()
        self._process = None
        self.finished += 1
        if process.returncode != 0:
            text = errors.decode("utf-8", "replace").strip().splitlines()[-1:] or [f"status {process.returncode}"]
            self._log(f"refresh of {self.root} failed: {text[0]}")
        if self._again:
            self._again = False
            self.request()
        return True

    def _take_errors(self) -> bytes:
        if self._errors is None:
            return b""
        self._errors.seek(0)
        text = self._errors.read()
        self._errors.close()
        self._errors = None
        return text

    def stop(self) -> None:
        """Ends a running refresh; its transaction rolls back."""
        process = self._process
        if process is None:
            return
        process.terminate()
        try:
            process.wait(timeout=5)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
        self._take_errors()
        self._process = None


# How long a refresh waits for another one (an `index` the user started) to finish.
WAIT_SECONDS = 30.0


def main(argv: list[str]) -> int:
    from ..errors import Failure
    from ..index_place import default_location
    from ..native_calls import NativeCaller
    from ..queries import IndexPlace, refresh_before_reading
    from ..render import Output

    (root,) = argv
    out = Output(sys.stdout, sys.stderr, as_json=False, progress=False)
    try:
        place = IndexPlace(default_location(root), root, is_default=True)
        refresh_before_reading(place, WAIT_SECONDS, NativeCaller(), out)
    except Failure as failure:
        out.error(f"error: {failure.message}")
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
