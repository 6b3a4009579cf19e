"""`python3 -m brightloom_index`: the same command line as `brightloom-index`."""

from .cli import entry_point

# Guarded: the parse workers are spawned processes, which import the main
# module again under another name and must not run the command line.
if __name__ == "__main__":
    entry_point()
