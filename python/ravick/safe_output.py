"""Writing files under one directory, whatever names and the directory hold.

Every path below the output directory is walked one segment at a time from
a directory descriptor, never following a symbolic link, and every file is
written to a fresh temporary name in its directory and renamed into place,
so no name can reach outside the directory and an interrupted write never
leaves a partial file under its final name.
"""

from __future__ import annotations

import contextlib
import errno
import os
import secrets
import stat
from typing import Literal

SEGMENT_MAX = 255
"""Bytes a path segment may hold (the limit of Linux file systems)."""
FILE_MODE = 0o644
DIRECTORY_MODE = 0o755
TEMP_PREFIX = ".ravick-"

_DIR_FLAGS = os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW | os.O_CLOEXEC
_TEMP_FLAGS = os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_CLOEXEC
_READ_FLAGS = os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_NOCTTY | os.O_CLOEXEC
_WRITE_CHUNK = 1 << 20
_TEMP_ATTEMPTS = 16

WriteStatus = Literal["written", "replaced", "unchanged", "exists"]
"""What writing one file did: created it, replaced an existing entry (with
``force``), found it already holding the same bytes, or left an existing,
different entry alone (without ``force``)."""


class OutputError(OSError):
    """A file could not be written; the message says where and why."""


def name_problem(name: str) -> str | None:
    """Why ``name`` may not be used as a relative path under the output, or None.

    A usable name is a relative path of non-empty segments other than ``.``
    and ``..``, free of backslashes, colons and control characters, valid
    UTF-8, with no segment longer than the file system allows, ending in
    ``.proto``.
    """
    if not name:
        return "empty name"
    if name.startswith("/"):
        return "absolute path"
    bad = next((c for c in name if _forbidden(c)), None)
    if bad is not None:
        return f"holds the character {bad!r}"
    for segment in name.split("/"):
        if not segment:
            return "has an empty path segment"
        if segment in (".", ".."):
            return f"has a {segment!r} path segment"
        if len(segment.encode()) > SEGMENT_MAX:
            return f"has a path segment longer than {SEGMENT_MAX} bytes"
    if not name.endswith(".proto"):
        return "does not end in .proto"
    return None


def _forbidden(c: str) -> bool:
    code = ord(c)
    control = code < 0x20 or 0x7F <= code < 0xA0
    surrogate = 0xD800 <= code < 0xE000  # bytes that were not valid UTF-8
    return control or surrogate or c in "\\:"


class OutputTree:
    """A directory that files are written under and never outside of.

    Directories met on the way to a file are created (mode 0755) or, when
    they exist, entered only if they are real directories: a symbolic link
    or a file in the way fails that one write. Files are created mode 0644.
    Use it as a context manager, or call :meth:`close`.
    """

    def __init__(self, path: str) -> None:
        """Opens ``path``, creating it (and its parents) when it is missing.

        ``path`` itself is the caller's choice and is followed if it is a
        symbolic link. Raises ``OSError`` when it cannot be opened.
        """
        self.path = path
        created = not os.path.lexists(path)
        if created:
            os.makedirs(path, mode=DIRECTORY_MODE, exist_ok=True)
        self._root = os.open(path, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
        if created:
            os.fchmod(self._root, DIRECTORY_MODE)
        self._dirs: dict[tuple[str, ...], int] = {(): self._root}

    def __enter__(self) -> OutputTree:
        return self

    def __exit__(self, *_: object) -> None:
        self.close()

    def close(self) -> None:
        """Closes every directory descriptor held."""
        for fd in self._dirs.values():
            with contextlib.suppress(OSError):
                os.close(fd)
        self._dirs.clear()

    def write(self, name: str, data: bytes, *, force: bool = False) -> WriteStatus:
        """Writes ``data`` to the relative path ``name`` under the tree.

        An existing file is replaced (by rename; a symbolic link is replaced,
        never written through) only with ``force``; without it a file that
        already holds ``data`` is ``"unchanged"`` and any other is left as it
        is (``"exists"``). Raises :class:`OutputError` when the file cannot
        be written, including for a name :func:`name_problem` refuses; its
        message says why, without the name.
        """
        problem = name_problem(name)
        if problem is not None:
            raise OutputError(f"unsafe name: {problem}")
        *parents, leaf = name.split("/")
        try:
            dir_fd = self._directory(tuple(parents))
            return _place(dir_fd, leaf, data, force=force)
        except OutputError:
            raise
        except OSError as e:
            raise OutputError(e.strerror or str(e)) from None

    def _directory(self, segments: tuple[str, ...]) -> int:
        for depth in range(1, len(segments) + 1):
            key = segments[:depth]
            if key not in self._dirs:
                self._dirs[key] = _enter(self._dirs[key[:-1]], key)
        return self._dirs[segments]


def _enter(parent: int, key: tuple[str, ...]) -> int:
    """Opens (creating it if missing) the directory ``key[-1]`` of ``parent``."""
    segment = key[-1]
    try:
        os.mkdir(segment, DIRECTORY_MODE, dir_fd=parent)
        created = True
    except FileExistsError:
        created = False
    try:
        fd = os.open(segment, _DIR_FLAGS, dir_fd=parent)
    except OSError as e:
        if e.errno not in (errno.ELOOP, errno.ENOTDIR):
            raise
        where = "/".join(key)
        # Linux refuses a symbolic link here with ENOTDIR, as it does a file.
        entry = _lstat(parent, segment)
        if entry is not None and stat.S_ISLNK(entry.st_mode):
            raise OutputError(f"{where} is a symbolic link, not followed") from None
        raise OutputError(f"{where} is not a directory") from None
    if created:
        os.fchmod(fd, DIRECTORY_MODE)
    return fd


def _place(dir_fd: int, leaf: str, data: bytes, *, force: bool) -> WriteStatus:
    existing = _lstat(dir_fd, leaf)
    if existing is not None:
        if stat.S_ISDIR(existing.st_mode):
            raise OutputError("a directory is in the way")
        if not force:
            return "unchanged" if _holds(dir_fd, leaf, data) else "exists"
    temp = _write_temp(dir_fd, data)
    try:
        if existing is None and not force:
            if not _link_new(dir_fd, temp, leaf):
                return "unchanged" if _holds(dir_fd, leaf, data) else "exists"
            return "written"
        os.rename(temp, leaf, src_dir_fd=dir_fd, dst_dir_fd=dir_fd)
    except BaseException:
        _remove(dir_fd, temp)
        raise
    return "written" if existing is None else "replaced"


def _link_new(dir_fd: int, temp: str, leaf: str) -> bool:
    """Puts ``temp`` in place as ``leaf`` unless ``leaf`` exists; False when
    it does. ``temp`` is gone either way.

    A hard link never replaces its target, unlike a rename, so a file that
    appeared since it was looked for is kept. On a file system without hard
    links the rename is the fallback.
    """
    try:
        os.link(temp, leaf, src_dir_fd=dir_fd, dst_dir_fd=dir_fd, follow_symlinks=False)
    except FileExistsError:
        _remove(dir_fd, temp)
        return False
    except OSError as e:
        if e.errno not in (errno.EPERM, errno.EOPNOTSUPP, errno.EMLINK, errno.EXDEV):
            raise
        if _lstat(dir_fd, leaf) is not None:
            _remove(dir_fd, temp)
            return False
        os.rename(temp, leaf, src_dir_fd=dir_fd, dst_dir_fd=dir_fd)
        return True
    os.unlink(temp, dir_fd=dir_fd)
    return True


def _lstat(dir_fd: int, leaf: str) -> os.stat_result | None:
    try:
        return os.stat(leaf, dir_fd=dir_fd, follow_symlinks=False)
    except FileNotFoundError:
        return None


def _holds(dir_fd: int, leaf: str, data: bytes) -> bool:
    """True when ``leaf`` is a regular file holding exactly ``data``."""
    try:
        fd = os.open(leaf, _READ_FLAGS, dir_fd=dir_fd)
    except OSError:
        return False
    with open(fd, "rb", buffering=0) as f:
        st = os.fstat(fd)
        if not stat.S_ISREG(st.st_mode) or st.st_size != len(data):
            return False
        return f.read(len(data) + 1) == data


def _write_temp(dir_fd: int, data: bytes) -> str:
    """Writes ``data`` to a new temporary file in ``dir_fd``; returns its name."""
    for _ in range(_TEMP_ATTEMPTS):
        temp = f"{TEMP_PREFIX}{secrets.token_hex(8)}.tmp"
        try:
            fd = os.open(temp, _TEMP_FLAGS, 0o600, dir_fd=dir_fd)
        except FileExistsError:
            continue
        try:
            try:
                _write_all(fd, data)
                os.fchmod(fd, FILE_MODE)
            finally:
                os.close(fd)
        except BaseException:
            _remove(dir_fd, temp)
            raise
        return temp
    raise OutputError("no free temporary name")


def _write_all(fd: int, data: bytes) -> None:
    view = memoryview(data)
    while view:
        written = os.write(fd, view[:_WRITE_CHUNK])
        view = view[written:]


def _remove(dir_fd: int, name: str) -> None:
    with contextlib.suppress(OSError):
        os.unlink(name, dir_fd=dir_fd)


def write_file_atomically(path: str, data: bytes) -> None:
    """Writes ``data`` to ``path`` through a temporary file and a rename.

    ``path`` is the caller's own choice: its directory is followed as given.
    An existing file (or symbolic link) at ``path`` is replaced, never
    written through. Raises ``OSError`` when it cannot be written.
    """
    directory, leaf = os.path.split(path)
    if not leaf:
        raise OutputError(f"{path}: not a file name")
    dir_fd = os.open(directory or ".", os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    try:
        temp = _write_temp(dir_fd, data)
        try:
            os.rename(temp, leaf, src_dir_fd=dir_fd, dst_dir_fd=dir_fd)
        except BaseException:
            _remove(dir_fd, temp)
            raise
    finally:
        os.close(dir_fd)
