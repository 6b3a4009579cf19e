"""Where the index lives, decided by the user and never by the indexed tree.

A cloned repository may hold anything, including `.brightloom/index.sqlite`
as a symbolic link to another program's database. So inside a tree nothing
that names the index is followed: the index folder, the database, its
journal files and the `.gitignore` must be what they seem (a folder, regular
files) or be missing, else the command fails naming the link. A
`.brightloom` folder is taken only when this tool made it (it holds our
CACHEDIR.TAG); an index found by looking upwards from the current folder is
used only when it belongs to the user running the command, as git trusts a
repository's configuration only when the user owns it.

`--db PATH` is the user's own choice and is taken as given.
"""

from __future__ import annotations

import errno
import os
import stat
from collections.abc import Callable

from .errors import Failure

INDEX_FOLDER = ".brightloom"
INDEX_NAME = "index.sqlite"
JOURNAL_SUFFIXES = ("-wal", "-shm", "-journal")

# The cache-folder tag backup tools know (they skip such folders), with a
# line naming this tool: together they mark a folder as ours.
MARKER_NAME = "CACHEDIR.TAG"
MARKER_TEXT = (
    "Signature: 8a477f597d28d172789f06886806bc55\n"
    "# This folder holds the index of brightloom-index; it can be rebuilt at any time.\n"
)
IGNORE_TEXT = "*\n"
# What a folder made before the marker existed can hold: it is adopted.
EARLIER_LAYOUT = frozenset({".gitignore", INDEX_NAME} | {INDEX_NAME + suffix for suffix in JOURNAL_SUFFIXES})


class PlaceRefused(Failure):
    """The index cannot be kept or read where it would be; the message names the path."""


def default_location(root: str) -> str:
    return os.path.join(root, INDEX_FOLDER, INDEX_NAME)


def is_default_location(location: str, root: str) -> bool:
    return os.path.abspath(location) == os.path.abspath(default_location(root))


def lstat_or_none(path: str) -> os.stat_result | None:
    try:
        return os.lstat(path)
    except FileNotFoundError:
        return None
    except OSError as error:
        raise PlaceRefused(f"cannot look at {path}: {error.strerror}") from None


def refuse_unless(path: str, status: os.stat_result | None, wanted: str) -> None:
    """Fails naming `path` when it exists and is not of the `wanted` type ("folder" or "file")."""
    if status is None:
        return
    if stat.S_ISLNK(status.st_mode):
        raise PlaceRefused(f"{path} is a symbolic link; the index never follows links inside the tree")
    is_wanted = stat.S_ISDIR(status.st_mode) if wanted == "folder" else stat.S_ISREG(status.st_mode)
    if not is_wanted:
        raise PlaceRefused(f"{path} is not a {'folder' if wanted == 'folder' else 'regular file'}")


def check_database_files(location: str) -> None:
    """The database and its journal files are regular files or missing (no link)."""
    for path in (location, *(location + suffix for suffix in JOURNAL_SUFFIXES)):
        refuse_unless(path, lstat_or_none(path), "file")


def is_marked_folder(folder: str) -> bool:
    """True when `folder` holds our marker as a regular file with our text."""
    try:
        descriptor = os.open(os.path.join(folder, MARKER_NAME), os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK)
    except OSError:
        return False
    try:
        if not stat.S_ISREG(os.fstat(descriptor).st_mode):
            return False
        return os.read(descriptor, len(MARKER_TEXT) + 1) == MARKER_TEXT.encode()
    finally:
        os.close(descriptor)


def is_earlier_layout(folder: str) -> bool:
    """A folder as earlier versions of this tool left it: our names only, the
    `.gitignore` (when there) a regular file holding `*`."""
    try:
        names = set(os.listdir(folder))
    except OSError:
        return False
    if not names <= EARLIER_LAYOUT:
        return False
    if ".gitignore" not in names:
        return True
    try:
        descriptor = os.open(os.path.join(folder, ".gitignore"), os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK)
    except OSError:
        return False
    try:
        return stat.S_ISREG(os.fstat(descriptor).st_mode) and os.read(descriptor, 16) == IGNORE_TEXT.encode()
    finally:
        os.close(descriptor)


def write_new_file(path: str, text: str) -> None:
    """Creates `path` with `text`; never follows a link or overwrites a file."""
    descriptor = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW, 0o666)
    with os.fdopen(descriptor, "w", encoding="utf-8") as handle:
        handle.write(text)


def prepare_default_place(root: str) -> str:
    """The default index location under `root`, its folder made or checked.

    A new folder gets our marker and a `.gitignore` holding `*`. An existing
    one is taken when it carries the marker (or is a folder of an earlier
    version of this tool, which gets the marker now); anything else is
    refused, as is a link anywhere on the way.
    """
    folder = os.path.join(root, INDEX_FOLDER)
    location = os.path.join(folder, INDEX_NAME)
    status = lstat_or_none(folder)
    refuse_unless(folder, status, "folder")
    try:
        if status is None:
            os.mkdir(folder)
            write_new_file(os.path.join(folder, MARKER_NAME), MARKER_TEXT)
        elif not is_marked_folder(folder):
            if not is_earlier_layout(folder):
                raise PlaceRefused(
                    f"{folder} was not made by brightloom-index (no {MARKER_NAME} of ours);"
                    " remove it or choose another place with --db PATH"
                )
            write_new_file(os.path.join(folder, MARKER_NAME), MARKER_TEXT)
        ignore_file = os.path.join(folder, ".gitignore")
        ignore_status = lstat_or_none(ignore_file)
        refuse_unless(ignore_file, ignore_status, "file")
        if ignore_status is None:
            write_new_file(ignore_file, IGNORE_TEXT)
    except OSError as error:
        if error.errno == errno.ELOOP:
            raise PlaceRefused(
                f"{error.filename} is a symbolic link; the index never follows links inside the tree"
            ) from None
        raise PlaceRefused(f"cannot prepare {folder}: {error.strerror}") from None
    check_database_files(location)
    return location


def check_default_place(location: str) -> None:
    """Before reading an index inside a tree: no link on the way to it."""
    folder = os.path.dirname(location)
    refuse_unless(folder, lstat_or_none(folder), "folder")
    check_database_files(location)


def find_index_upwards(start: str, notice: Callable[[str], None]) -> str | None:
    """The default index of `start` or of its nearest parent that has one.

    An index that is not the current user's (its folder or file owned by
    another user) is skipped with a notice, and so is one reached through a
    link: another user may have planted it in a shared folder such as /tmp.
    """
    folder = os.path.abspath(start)
    user = os.geteuid()
    while True:
        candidate = default_location(folder)
        index_folder = os.path.dirname(candidate)
        try:
            folder_status = lstat_or_none(index_folder)
            file_status = lstat_or_none(candidate) if folder_status is not None else None
        except PlaceRefused:
            # A parent this user cannot look into holds no index for them.
            folder_status = file_status = None
        if file_status is not None and folder_status is not None:
            linked = stat.S_ISLNK(folder_status.st_mode) or stat.S_ISLNK(file_status.st_mode)
            owners = {folder_status.st_uid, file_status.st_uid}
            if linked:
                notice(f"skipped the index in {index_folder}: it is reached through a symbolic link")
            elif owners != {user}:
                other = next(iter(owners - {user}))
                notice(f"skipped the index in {index_folder}: it belongs to another user (uid {other})")
            elif stat.S_ISDIR(folder_status.st_mode) and stat.S_ISREG(file_status.st_mode):
                return candidate
        parent = os.path.dirname(folder)
        if parent == folder:
            return None
        folder = parent
