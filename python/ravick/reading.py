"""Reading one input without copying it: small files are read, large ones
mapped, and standard input past a few megabytes spooled to a temporary file
and mapped.

A mapping costs no memory of its own: its pages are the kernel's, read in
as the scan reaches them and dropped when memory is short, so a run over an
image larger than memory holds only what the finder decodes. A mapped file
that shrinks while it is scanned makes the next read of a page past its new
end fault (SIGBUS); the caller scans mapped files where that cannot end the
run (see :mod:`ravick.inputs`).
"""

from __future__ import annotations

import errno
import io
import mmap
import os
import stat
import sys
from collections.abc import Iterator
from contextlib import contextmanager, suppress
from typing import BinaryIO

MAP_FROM = 8 << 20
"""Files of this size or larger are mapped rather than read."""
SPOOL_FROM = 8 << 20
"""Bytes of standard input held in memory; more goes to a temporary file."""
STDIN_LIMIT = 4 << 30
"""Bytes read from standard input at most when no ``max_size`` is given."""
_CHUNK = 1 << 20

Contents = bytes | mmap.mmap
"""An input's bytes: read, or a read-only mapping that answers the same."""


def reason(e: OSError) -> str:
    """The text of an ``OSError`` for a report."""
    return e.strerror or str(e)


def file_kind(mode: int) -> str:
    """What a file that is not a regular one is ("FIFO", "directory", ...)."""
    kinds = [
        (stat.S_ISDIR, "directory"),
        (stat.S_ISFIFO, "FIFO"),
        (stat.S_ISCHR, "character device"),
        (stat.S_ISBLK, "block device"),
        (stat.S_ISSOCK, "socket"),
        (stat.S_ISLNK, "symlink"),
    ]
    return next((label for test, label in kinds if test(mode)), "special file")


def will_map(size: int | None) -> bool:
    """True when a regular file of ``size`` bytes is mapped, not read."""
    return size is not None and size >= MAP_FROM


@contextmanager
def regular_file(path: str, max_size: int | None = None) -> Iterator[Contents]:
    """The bytes of the regular file at ``path``: read, or mapped when large.

    Raises ``OSError`` when it cannot be opened or mapped, is not a regular
    file when opened, or holds more than ``max_size`` bytes. The file is
    opened without blocking, so a FIFO put in its place cannot hang the call.
    A mapping has the size the file had when it was opened.
    """
    flags = os.O_RDONLY | os.O_NONBLOCK | os.O_NOCTTY | os.O_CLOEXEC
    fd = os.open(path, flags)
    with open(fd, "rb", buffering=0) as f:
        st = os.fstat(fd)
        if not stat.S_ISREG(st.st_mode):
            raise OSError(f"not a regular file ({file_kind(st.st_mode)})")
        if max_size is not None and st.st_size > max_size:
            raise OSError(f"larger than {max_size} bytes")
        os.set_blocking(fd, True)
        if not will_map(st.st_size):
            yield read_exactly(f, st.st_size)
            return
        with _mapped(fd, st.st_size) as view:
            yield view


@contextmanager
def _mapped(fd: int, size: int) -> Iterator[mmap.mmap]:
    try:
        view = mmap.mmap(fd, size, prot=mmap.PROT_READ)
    except (OSError, ValueError, OverflowError) as e:
        # A file that claims more than it can give (procfs, some FUSE file
        # systems) is not read to the size it claims either.
        detail = reason(e) if isinstance(e, OSError) else str(e)
        raise OSError(f"cannot be mapped: {detail}") from None
    try:
        yield view
    finally:
        # A view still held somewhere keeps the mapping open until it goes.
        with suppress(BufferError):
            view.close()


def advise(data: Contents, threads: int) -> None:
    """Tells the kernel how a mapping will be read: front to back by one
    thread, it reads ahead and drops what is behind; parts read by several
    threads at once would thrash under that (in a small memory cgroup,
    pages dropped before the other thread reached them)."""
    if isinstance(data, mmap.mmap) and threads <= 1:
        data.madvise(mmap.MADV_SEQUENTIAL)


def read_exactly(f: io.FileIO, size: int) -> bytes:
    """Up to ``size`` bytes of ``f``: a file may shrink or grow while it is
    read, so this takes what is there, up to the size it had when opened."""
    data = f.read(size) or b""
    if len(data) == size:
        return data
    parts = [data]
    got = len(data)
    while got < size:
        more = f.read(size - got)
        if not more:
            break
        parts.append(more)
        got += len(more)
    return b"".join(parts)


@contextmanager
def standard_input(max_size: int | None = None) -> Iterator[Contents]:
    """Standard input, at most ``max_size`` (default ``STDIN_LIMIT``) bytes;
    past ``SPOOL_FROM`` bytes spooled to a temporary file and mapped.

    Raises ``OSError`` when there is more, or the spool cannot be written.
    """
    limit = STDIN_LIMIT if max_size is None else max_size
    stream = sys.stdin.buffer
    head = stream.read(min(limit, SPOOL_FROM) + 1) or b""
    if len(head) <= min(limit, SPOOL_FROM):
        yield head
        return
    if len(head) > limit:
        raise OSError(f"more than {limit} bytes on standard input")
    import tempfile  # slow to import, and only for large inputs

    with tempfile.TemporaryFile(prefix="ravick-stdin-") as spool:
        size = _spool(stream, head, spool, limit)
        with _mapped(spool.fileno(), size) as view:
            yield view


def _spool(stream: BinaryIO, head: bytes, spool: io.BufferedRandom, limit: int) -> int:
    spool.write(head)
    size = len(head)
    while True:
        chunk = stream.read(min(_CHUNK, limit + 1 - size))
        if not chunk:
            break
        size += len(chunk)
        if size > limit:
            raise OSError(f"more than {limit} bytes on standard input")
        spool.write(chunk)
    spool.flush()
    return size


MIN_HOLE = 1 << 20
"""Holes of a sparse file below this are scanned as the zeros they read as."""
MAX_EXTENTS = 1 << 16
"""Spans of data asked of the file system at most; past them, the rest of
the file counts as data."""

Extents = list[tuple[int, int]]


def data_extents(path: str, size: int) -> Extents | None:
    """The spans of a sparse file that hold data, ``(start, end)`` in order,
    with the holes of ``MIN_HOLE`` bytes or more between them left out; None
    when the file has no such hole or its file system cannot say.

    A hole reads as zeros, where neither a descriptor's name nor any
    container's signature can stand, so a scan of the spans alone finds what
    a scan of the whole file finds: a VM snapshot or a core dump of 1 TB
    with a few gigabytes written costs those gigabytes.
    """
    if not hasattr(os, "SEEK_DATA"):
        return None  # a platform whose files cannot say where their holes are
    try:
        fd = os.open(path, os.O_RDONLY)
    except OSError:
        return None
    try:
        spans = _spans(fd, size)
    except OSError:
        return None
    finally:
        os.close(fd)
    if spans == [(0, size)]:
        return None
    return spans


def _spans(fd: int, size: int) -> Extents:
    spans: Extents = []
    at = 0
    for _ in range(MAX_EXTENTS):
        if at >= size:
            return spans
        try:
            start = os.lseek(fd, at, os.SEEK_DATA)
        except OSError as e:
            if e.errno == errno.ENXIO:  # nothing but a hole to the end
                return spans
            raise
        end = min(size, os.lseek(fd, start, os.SEEK_HOLE))
        if start >= end:
            return spans
        _add(spans, start, end)
        at = end
    _add(spans, at, size)
    return spans


def _add(spans: Extents, start: int, end: int) -> None:
    if spans and start - spans[-1][1] < MIN_HOLE:
        spans[-1] = (spans[-1][0], end)
    else:
        spans.append((start, end))
