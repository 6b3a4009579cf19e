"""What this package relies on in the native module, written down once.

The module decides a file's language from its extension, stops outlines at
200 symbols and checks at 20 errors, and lists 256 files when a scan names no
limit. The package needs the same facts to choose files and to say where a
result was cut; tests/python/test_contract.py pins every value here against
the module's own answers, and the native test of the module's language table
(tests/native/language_table_test.cpp) reads the two language tables below,
so a change on either side fails there first.
"""

from __future__ import annotations

# typing is for the checker only (see cli.py).
TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any

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

# Extension -> language that only the "symbols" command parses: the other
# commands give these files an empty language.
SYMBOLS_ONLY_LANGUAGES: dict[str, str] = {
    "c": "c",
    "h": "c",
    "cc": "cpp",
    "cpp": "cpp",
    "cxx": "cpp",
    "c++": "cpp",
    "hh": "cpp",
    "hpp": "cpp",
    "hxx": "cpp",
    "h++": "cpp",
    "go": "go",
    "java": "java",
    "cs": "c_sharp",
    "rb": "ruby",
    "rake": "ruby",
    "gemspec": "ruby",
    "php": "php",
    "phtml": "php",
    "sh": "bash",
    "bash": "bash",
}

# Every language the index parses (with "symbols").
INDEXED_LANGUAGES: dict[str, str] = {**GRAMMAR_LANGUAGES, **SYMBOLS_ONLY_LANGUAGES}

# Languages whose outline lists declarations (json is checked, not outlined).
OUTLINED_LANGUAGES = frozenset({"python", "rust", "javascript", "typescript", "tsx"})

# The scan's list when a payload names no extensions, and its file limit.
DEFAULT_SCAN_EXTENSIONS = ("py", "rs", "ts", "tsx", "js", "go", "md", "toml", "yaml", "yml")
DEFAULT_MAX_FILES = 256
# The largest `max_files` the scan takes: "no limit" in practice.
UNLIMITED_FILES = 2**64 - 1

# Directory names the scan never enters, wherever they are below its root.
PRUNED_DIRS = frozenset({".git", ".venv", "dist", "node_modules", "target"})

# The kinds of definition the "symbols" command gives, and those each
# language's rules can give (javascript and typescript share most rules).
DEFINITION_KINDS = (
    "class", "function", "method", "variable", "constant", "field", "property", "module", "namespace",
    "struct", "enum", "enumerator", "union", "trait", "impl", "interface", "type", "macro",
)
_SCRIPT_KINDS = ("class", "constant", "field", "function", "method", "property", "variable")
_TYPED_SCRIPT_KINDS = tuple(sorted((*_SCRIPT_KINDS, "enum", "enumerator", "interface", "module", "namespace", "type")))
DEFINITION_KINDS_BY_LANGUAGE: dict[str, tuple[str, ...]] = {
    "python": ("class", "constant", "field", "function", "method", "variable"),
    "rust": ("class", "constant", "enum", "enumerator", "field", "function", "impl", "interface", "macro",
             "method", "module", "struct", "trait", "type", "union", "variable"),
    "javascript": _SCRIPT_KINDS,
    "typescript": _TYPED_SCRIPT_KINDS,
    "tsx": _TYPED_SCRIPT_KINDS,
    "c": ("class", "enum", "enumerator", "field", "function", "macro", "struct", "type", "union", "variable"),
    "cpp": ("class", "enum", "enumerator", "field", "function", "macro", "method", "namespace", "struct", "type",
            "union", "variable"),
    "go": ("constant", "field", "function", "interface", "method", "module", "struct", "type", "variable"),
    "java": ("class", "constant", "enum", "enumerator", "field", "interface", "method", "module"),
    "c_sharp": ("class", "enum", "enumerator", "field", "function", "interface", "method", "module", "namespace",
                "property", "struct", "type"),
    "ruby": ("class", "constant", "method", "module", "property"),
    "php": ("class", "constant", "enum", "enumerator", "field", "function", "interface", "method", "module",
            "trait"),
    "bash": ("function", "variable"),
}
# Words a user may reach for instead of the kind the index stores.
KIND_ALIASES: dict[str, str] = {
    "fn": "function",
    "def": "function",
    "func": "function",
    "mod": "module",
    "alias": "type",
    "const": "constant",
    "var": "variable",
}
REFERENCE_KINDS = ("call", "new", "type", "import", "macro", "implementation")

# Files above this size are listed as skipped by `index`, never parsed.
DEFAULT_MAX_FILE_SIZE = 8 << 20

OUTLINE_SYMBOL_LIMIT = 200
CHECK_ERROR_LIMIT = 20


def grammar_language(relative_path: str) -> str | None:
    """The language the index parses a file as, or None when it has none.

    The module itself reads the text after the last `.` of the whole path,
    directories included, so `a.d/py` would be `d/py` to it and a file named
    `py` would be Python. This package looks at the last component only and
    always passes the language it found, so the two readings never meet.
    """
    name = relative_path.rpartition("/")[2]
    _, dot, extension = name.rpartition(".")
    if not dot or not extension.isascii():
        return None
    return INDEXED_LANGUAGES.get(extension.lower())


def scan_payload(root: str, extensions: list[str] | None = None, max_files: int | None = None) -> dict[str, Any]:
    """The scan's payload; fields left as None take the module's defaults."""
    payload: dict[str, Any] = {"root": root}
    if extensions is not None:
        payload["extensions"] = extensions
    if max_files is not None:
        payload["max_files"] = max_files
    return payload
