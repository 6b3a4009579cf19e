"""`python3 -m brightloom_index`: the same command line as `brightloom-index`."""

from .cli import entry_point

entry_point()
