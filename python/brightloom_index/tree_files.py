"""Reading a file of the indexed tree as the module's scan reads one.

A cloned tree is not trusted: no symbolic link below the root is followed
(each folder on the way is opened with O_NOFOLLOW, as is the file), only a
regular file is read, it is opened without blocking (a FIFO would otherwise
wait forever) and never read past the size limit. The digest is taken from
the very bytes that are parsed, so the index always matches the text it
describes, whatever changes under it.

    data, info = read_tree_file("/src/app", "lib/a.py", 8 << 20)
    file_hash, total_lines = digest_bytes(data)
"""

from __future__ import annotations

import errno
import os
import stat

# The module's text for a file whose bytes are not UTF-8, used for ours too.
NOT_UTF8 = "stream did not contain valid UTF-8"

FOLDER_FLAGS = os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW | os.O_CLOEXEC
FILE_FLAGS = os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_NOCTTY | os.O_CLOEXEC
READ_CHUNK = 1 << 20


class Unreadable(Exception):
    """A file that is not read; `message` says why in one line."""

    def __init__(self, message: str) -> None:
        super().__init__(message)
        self.message = message


def os_message(error: OSError) -> str:
    """The module's form of an operating-system failure: text and number."""
    if error.errno is None:
        return str(error)
    return f"{os.strerror(error.errno)} (os error {error.errno})"


def size_text(size: int) -> str:
    for unit, shift in (("GiB", 30), ("MiB", 20), ("KiB", 10)):
        if size >= 1 << shift and size % (1 << shift) == 0:
            return f"{size >> shift} {unit}"
    return f"{size} bytes"


def open_below(root: str, relative: str) -> int:
    """A descriptor of `root`/`relative`; no symbolic link under `root` is followed.

    The root itself may be a link, as the scan walks a root link.
    """
    parts = relative.split("/")
    folder = os.open(root, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    try:
        for part in parts[:-1]:
            inner = os.open(part, FOLDER_FLAGS, dir_fd=folder)
            os.close(folder)
            folder = inner
        return os.open(parts[-1], FILE_FLAGS, dir_fd=folder)
    finally:
        os.close(folder)


def read_tree_file(root: str, relative: str, max_size: int) -> tuple[bytes, os.stat_result]:
    """The bytes of a regular file under `root` and its status; raises Unreadable."""
    try:
        descriptor = open_below(root, relative)
    except OSError as error:
        # O_NOFOLLOW reports a link as ELOOP (ENOTDIR for a folder link on the way).
        if error.errno in (errno.ELOOP, errno.ENOTDIR) and has_link_on_the_way(root, relative):
            raise Unreadable("a symbolic link, not followed") from None
        raise Unreadable(os_message(error)) from None
    try:
        info = os.fstat(descriptor)
        if not stat.S_ISREG(info.st_mode):
            raise Unreadable("not a regular file")
        if info.st_size > max_size:
            raise Unreadable(too_large(max_size))
        chunks = []
        total = 0
        while True:
            chunk = os.read(descriptor, READ_CHUNK)
            if not chunk:
                break
            total += len(chunk)
            # It may have grown since fstat.
            if total > max_size:
                raise Unreadable(too_large(max_size))
            chunks.append(chunk)
        return b"".join(chunks), info
    except OSError as error:
        raise Unreadable(os_message(error)) from None
    finally:
        os.close(descriptor)


def too_large(max_size: int) -> str:
    return f"skipped: larger than {size_text(max_size)} (--max-file-size)"


def has_link_on_the_way(root: str, relative: str) -> bool:
    path = root
    for part in relative.split("/"):
        path = os.path.join(path, part)
        if os.path.islink(path):
            return True
    return False


def read_tree_text(root: str, relative: str, max_size: int) -> tuple[str, bytes, tuple[str, int]]:
    """The text of a file under `root`, its very bytes and their digest."""
    data, _ = read_tree_file(root, relative, max_size)
    text = decoded(data)
    return text, data, digest_of_text_bytes(data)


def digest_bytes(data: bytes) -> tuple[str, int]:
    """The scan's figures: SHA-256 after CR LF and CR become LF, and line count.

    Raises Unreadable when the bytes are not UTF-8 (the scan drops such files;
    the index names them).
    """
    decoded(data)
    return digest_of_text_bytes(data)


def decoded(data: bytes) -> str:
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError:
        raise Unreadable(NOT_UTF8) from None


def digest_of_text_bytes(data: bytes) -> tuple[str, int]:
    """`digest_bytes` of bytes known to be UTF-8."""
    # The scan counts the line feeds of the text as read, before the lone
    # carriage returns become line feeds for the digest.
    # Imported on first use: a refresh with nothing changed reads no file.
    import hashlib

    lines = data.count(b"\n") + 1 if data else 0
    if b"\r" in data:
        data = data.replace(b"\r\n", b"\n").replace(b"\r", b"\n")
    return hashlib.sha256(data).hexdigest(), lines
