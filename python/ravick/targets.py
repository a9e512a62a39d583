"""The inputs of a run: the files that paths name, directories walked, and
the report of each.

Directories are walked recursively; symlinks met inside a walk are not
followed (neither to directories nor to files, so a file is never scanned
twice under two names), and only regular files are opened. A path named on
the command line is followed if it is a symlink. FIFOs, devices and sockets
are never opened for reading: a FIFO named by a path can neither hang a run
nor, like ``/dev/zero``, fill memory.
"""

from __future__ import annotations

import os
import stat
from collections.abc import Iterable, Iterator
from dataclasses import dataclass
from typing import Protocol

from ravick.finding import Found
from ravick.reading import file_kind, reason

STDIN = "-"
NOT_FOLLOWED = "symlink, not followed"


@dataclass(frozen=True, slots=True)
class FileReport:
    """The outcome for one input.

    A regular file that was read has ``found`` set and ``error`` None. An
    input that could not be read has ``error``. An entry met in a directory
    walk that is not looked at (a FIFO, a device, a symlink, a file above
    the size limit) has ``skipped`` and is not counted as a file.
    """

    path: str
    size: int | None
    found: tuple[Found, ...] = ()
    error: str | None = None
    skipped: str | None = None
    notes: tuple[str, ...] = ()

    @property
    def descriptors(self) -> int:
        """The number of descriptors found."""
        return len(self.found)


@dataclass(frozen=True, slots=True)
class Target:
    """One input to scan, or one entry to report without scanning."""

    path: str
    size: int | None
    skipped: str | None = None
    error: str | None = None


class Progress[R = FileReport](Protocol):
    """Receives the totals before a run and each report as it completes."""

    def started(self, files: int, total_bytes: int) -> None: ...

    def advanced(self, report: R) -> None: ...

    def finished(self) -> None: ...


def gather(paths: Iterable[str], *, max_size: int | None = None) -> list[Target]:
    """The inputs named by ``paths``, directories walked, sorted by path."""
    targets: dict[str, Target] = {}
    for path in paths:
        for target in _expand(path, max_size):
            targets.setdefault(target.path, target)
    return [targets[p] for p in sorted(targets)]


def _expand(path: str, max_size: int | None) -> Iterator[Target]:
    if path == STDIN:
        yield Target(STDIN, None)
        return
    try:
        st = os.stat(path)
    except OSError as e:
        yield Target(path, None, error=reason(e))
        return
    if stat.S_ISDIR(st.st_mode):
        yield from _walk(path, max_size)
    elif not stat.S_ISREG(st.st_mode):
        yield Target(path, None, error=f"not a regular file ({file_kind(st.st_mode)})")
    elif max_size is not None and st.st_size > max_size:
        yield Target(path, st.st_size, skipped=f"larger than {max_size} bytes")
    else:
        yield Target(path, st.st_size)


def _walk(top: str, max_size: int | None) -> Iterator[Target]:
    errors: list[OSError] = []
    for root, dirs, files in os.walk(top, onerror=errors.append):
        dirs.sort()
        for name in sorted(files) + [d for d in dirs if _is_link(root, d)]:
            yield _classify(os.path.join(root, name), max_size)
    for e in errors:
        yield Target(e.filename or top, None, error=reason(e))


def _is_link(root: str, name: str) -> bool:
    return os.path.islink(os.path.join(root, name))


def _classify(path: str, max_size: int | None) -> Target:
    try:
        st = os.lstat(path)
    except OSError as e:
        return Target(path, None, error=reason(e))
    if stat.S_ISLNK(st.st_mode):
        return Target(path, None, skipped=NOT_FOLLOWED)
    if not stat.S_ISREG(st.st_mode):
        return Target(
            path, None, skipped=f"not a regular file ({file_kind(st.st_mode)})"
        )
    if max_size is not None and st.st_size > max_size:
        return Target(path, st.st_size, skipped=f"larger than {max_size} bytes")
    return Target(path, st.st_size)
