"""Type information for the native module `brightloom_index_native`.

The module has one function, `run`, which takes a command name and its
arguments as one JSON text and returns the reply as one compact JSON text.
"""

__all__ = ["run"]

def run(command: str, payload_json: str) -> str:
    """Runs one command and returns its reply as compact JSON text.

    Commands and their payload fields:

    - "hash": {"path": str} -> {"hash": <64 hex digits>, "ok": true};
      the SHA-256 of the file's text with line endings made line feeds.
    - "scan": {"root": str, "max_files"?: int = 256, "extensions"?: [str]}
      -> {"count", "entries": [{"file_hash", "path", "total_lines"}], "ok"};
      files below root in path order; .git, .venv, dist, node_modules and
      target are never entered, symbolic links never followed.
    - "outline": {"content"?: str, "path"?: str, "language"?: str}
      -> {"checked", "language", "ok", "symbol_count", "symbols"} with at
      most 200 symbols {"depth", "end_line", "kind", "line", "name",
      "signature"}; "checked" false and "reason" "no_outline" for a
      language without outline rules.
    - "syntax-check": same fields -> {"checked", "error_count", "errors",
      "language", "ok", "valid"} with at most 20 errors {"column", "kind",
      "line", "message", "snippet"}; "reason" "no_parser" when unchecked.

    Raises RuntimeError with the module's message for a malformed payload,
    an unknown command, a missing field or an unreadable file; TypeError
    when an argument is not a str. The interpreter lock is held for the
    whole call.
    """
