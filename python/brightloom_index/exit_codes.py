"""The exit statuses of the command line, in one place."""

from __future__ import annotations

# The command did what was asked.
EXIT_OK = 0
# It worked and `check` found syntax errors, or `find` found nothing.
EXIT_ERRORS_FOUND = 1
EXIT_NOT_FOUND = 1
# A usage error or a failure, reported as one line on standard error.
EXIT_FAILURE = 2
# Stopped by Ctrl-C, as a shell reports a process ended by SIGINT.
EXIT_INTERRUPTED = 130
