"""Zip archives: jar, war, ear, aar, apk, whl, egg, nupkg, zip, and zip data
that starts anywhere in a file (a self-extracting executable).

Every end-of-central-directory record found opens the archive that ends
there. Member names are untrusted labels: never used as paths.
"""

from __future__ import annotations

import struct
import zipfile
import zlib
from collections.abc import Iterator

from ravick.layers import MAX_MEMBERS, MAX_RATIO, RATIO_SLACK, Budget, Region, ViewFile

LAYER = "zip"
_END = struct.Struct("<4s4H2LH")
_LOCAL = struct.Struct("<4s5H3L2H")
_SUPPORTED = {
    zipfile.ZIP_STORED,
    zipfile.ZIP_DEFLATED,
    zipfile.ZIP_BZIP2,
    zipfile.ZIP_LZMA,
}
_READ_ERRORS = (
    zipfile.BadZipFile,
    zipfile.LargeZipFile,
    OSError,
    EOFError,
    ValueError,
    RuntimeError,
    NotImplementedError,
    MemoryError,
    zlib.error,
    KeyError,
)


def regions(data: bytes, end_offset: int, budget: Budget) -> Iterator[Region]:
    """The members of the archive whose end record is at ``end_offset``."""
    if len(data) - end_offset < _END.size:
        return
    comment = _END.unpack_from(data, end_offset)[-1]
    end = min(len(data), end_offset + _END.size + comment)
    try:
        archive = zipfile.ZipFile(ViewFile(memoryview(data)[:end]))
    except _READ_ERRORS:
        return
    with archive:
        members = archive.infolist()
        if len(members) > MAX_MEMBERS:
            budget.note(
                f"zip at {end_offset:#x}: {len(members)} members, only the first "
                f"{MAX_MEMBERS} looked at"
            )
        start = _archive_start(archive)
        for info in members[:MAX_MEMBERS]:
            if budget.exhausted(f"zip member {info.filename!r}"):
                return
            region = _member(archive, info, start, end, budget)
            if region is not None:
                yield region


def _archive_start(archive: zipfile.ZipFile) -> int:
    # zipfile knows how much came before the archive (a stub executable).
    return max(0, int(getattr(archive, "_start_disk", 0) or 0))


def _member(
    archive: zipfile.ZipFile,
    info: zipfile.ZipInfo,
    start: int,
    end: int,
    budget: Budget,
) -> Region | None:
    name = info.filename
    if info.is_dir() or info.file_size == 0:
        return None
    if info.flag_bits & 0x1:
        budget.note(f"zip member {name!r} is encrypted: not read")
        return None
    if info.compress_type not in _SUPPORTED:
        budget.note(f"zip member {name!r}: compression method {info.compress_type}")
        return None
    cap = budget.cap()
    claimed = info.file_size
    if claimed > MAX_RATIO * max(info.compress_size, 1) + RATIO_SLACK:
        budget.note(
            f"zip member {name!r} claims {claimed} bytes from {info.compress_size}"
        )
        return None
    try:
        with archive.open(info) as member:
            data = member.read(min(cap, claimed))
    except _READ_ERRORS as e:
        budget.note(f"zip member {name!r} could not be read: {e}")
        return None
    budget.spend(len(data))
    cut = len(data) < claimed
    if cut and len(data) >= cap:
        budget.note(f"zip member {name!r} cut after {len(data)} bytes")
    header = start + info.header_offset
    data_at = _data_offset(archive, header)
    if data_at is None:
        return Region(header, end, data, LAYER, name, cut=cut)
    stored = data_at if info.compress_type == zipfile.ZIP_STORED else None
    member_end = min(end, data_at + info.compress_size)
    return Region(header, member_end, data, LAYER, name, cut=cut, stored_at=stored)


def _data_offset(archive: zipfile.ZipFile, header: int) -> int | None:
    """Where a member's data starts: after its local header, name and extra."""
    source = archive.fp
    if source is None:
        return None
    source.seek(header)
    local = source.read(_LOCAL.size)
    if len(local) < _LOCAL.size or local[:4] != b"PK\x03\x04":
        return None
    *_, name_length, extra_length = _LOCAL.unpack(local)
    return header + _LOCAL.size + int(name_length) + int(extra_length)
