"""Command-line front end of the `brightloom_index_native` module.

The package builds payloads, calls the module's `run` and presents the
replies; all work on files is done by the module.
"""

# Set before the command line is imported: it reports this version.
__version__ = "0.1.0"

from .cli import main  # noqa: E402

__all__ = ["main"]
