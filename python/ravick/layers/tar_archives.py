"""Tar archives (ustar and GNU): container image layers, firmware bundles.

Compressed tar files are compressed streams first; their layer decodes
them, and this one reads the tar inside. Member names are untrusted labels.
"""

from __future__ import annotations

from collections.abc import Iterator
from typing import TYPE_CHECKING

from ravick.layers import MAX_MEMBERS, Budget, Region, ViewFile
from ravick.layers._lazy import lazy

if TYPE_CHECKING:
    import tarfile
else:
    tarfile = lazy("tarfile")

LAYER = "tar"
_MAGIC_AT = 257


def is_tar(data: bytes) -> bool:
    """True when ``data`` starts with a ustar or GNU tar header."""
    return data[_MAGIC_AT : _MAGIC_AT + 5] == b"ustar"


def regions(data: bytes, budget: Budget) -> Iterator[Region]:
    """The regular files of the tar archive that ``data`` starts with."""
    try:
        archive = tarfile.open(fileobj=ViewFile(data), mode="r:")
    except (tarfile.TarError, OSError, EOFError, ValueError):
        return
    with archive:
        for count in range(MAX_MEMBERS + 1):
            try:
                info = archive.next()
            except (tarfile.TarError, OSError, EOFError, ValueError, UnicodeError) as e:
                budget.note(f"tar archive broken after {count} members: {e}")
                return
            if info is None:
                return
            if count == MAX_MEMBERS:
                budget.note(f"tar archive: only the first {MAX_MEMBERS} members read")
                return
            if budget.exhausted(f"tar member {info.name!r}"):
                return
            region = _member(archive, info, budget)
            if region is not None:
                yield region


def _member(
    archive: tarfile.TarFile, info: tarfile.TarInfo, budget: Budget
) -> Region | None:
    if not info.isreg() or info.size == 0:
        return None
    cap = budget.cap()
    want = min(cap, info.size)
    try:
        member = archive.extractfile(info)
        data = member.read(want) if member is not None else b""
    except (tarfile.TarError, OSError, EOFError, ValueError) as e:
        budget.note(f"tar member {info.name!r} could not be read: {e}")
        return None
    budget.spend(len(data))
    cut = len(data) < info.size
    if cut:
        budget.note(
            f"tar member {info.name!r} cut after {len(data)} of {info.size} bytes"
        )
    end = info.offset_data + len(data)
    return Region(
        info.offset, end, data, LAYER, info.name, cut=cut, stored_at=info.offset_data
    )
