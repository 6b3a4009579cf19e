"""Command-line front end of the `brightloom_index_native` module.

The package builds payloads, calls the module's `run` and presents the
replies; all work on files is done by the module.
"""

from .cli import main

__all__ = ["main"]
__version__ = "0.1.0"
