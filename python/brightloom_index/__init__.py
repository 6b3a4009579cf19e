"""Command-line front end of the `brightloom_index_native` module.

The package builds payloads, calls the module's `run` and presents the
replies; all work on files is done by the module.
"""

# The one place the version is written: pyproject.toml reads it from here,
# and so do the tags header and `--version`.
__version__ = "0.1.0"

import os
import sys


def _forget_working_folder() -> None:
    """Drops the working folder that `python -m` put first on the module path.

    Run from inside a cloned tree, its `json.py` or `signal.py` would
    otherwise be imported in place of the standard library's. While the
    module is being located, `sys.argv[0]` is "-m"; the console script never
    has the folder on the path. The package itself stays importable from
    where it was found.
    """
    if sys.flags.safe_path or not sys.argv or sys.argv[0] != "-m" or not sys.path:
        return
    first = os.path.abspath(sys.path[0] or os.curdir)
    if first != os.path.dirname(os.path.dirname(os.path.abspath(__file__))):
        del sys.path[0]


_forget_working_folder()

from .cli import main  # noqa: E402

__all__ = ["main", "__version__"]
