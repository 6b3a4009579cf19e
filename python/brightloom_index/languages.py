"""Which files the index job parses, judged from the final extension.

The native module parses six languages; a scanned file whose extension names
one of them gets an outline and a syntax check, every other file is only
counted. The extension is compared after ASCII lower-casing, as the module
does when it picks a language from a path.
"""

from __future__ import annotations

# Extension (lower case, without the dot) -> language with a grammar.
GRAMMAR_LANGUAGES: dict[str, str] = {
    "py": "python",
    "rs": "rust",
    "js": "javascript",
    "mjs": "javascript",
    "cjs": "javascript",
    "jsx": "javascript",
    "ts": "typescript",
    "mts": "typescript",
    "cts": "typescript",
    "tsx": "tsx",
    "json": "json",
}

# The name under which files of no grammar language are counted.
OTHER = "other"


def grammar_language(relative_path: str) -> str | None:
    """The grammar language of a scanned path, or None when it has none.

    Only the last path component is looked at: a dot in a directory name
    says nothing about the file.
    """
    name = relative_path.rpartition("/")[2]
    _, dot, extension = name.rpartition(".")
    if not dot or not extension.isascii():
        return None
    return GRAMMAR_LANGUAGES.get(extension.lower())
