"""Command-line front end of the `brightloom_index_native` module.

The package builds payloads, calls the module's `run` and presents the
replies; all work on files is done by the module.
"""

# The one place the version is written: pyproject.toml reads it from here,
# and so do the tags header and `--version`.
__version__ = "0.1.0"

from .cli import main  # noqa: E402

__all__ = ["main", "__version__"]
