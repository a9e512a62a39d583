"""Zip archives: jar, war, ear, aar, apk, whl, egg, nupkg, zip, and zip data
that starts anywhere in a file (a self-extracting executable).

Every end-of-central-directory record found opens the archive that ends
there. Member names are untrusted labels: never used as paths.
"""

from __future__ import annotations

import struct
import zlib
from collections.abc import Iterator
from functools import cache
from typing import TYPE_CHECKING

from ravick.layers import MAX_MEMBERS, MAX_RATIO, RATIO_SLACK, Budget, Region, ViewFile
from ravick.layers._lazy import lazy

if TYPE_CHECKING:
    import zipfile
else:
    zipfile = lazy("zipfile")

LAYER = "zip"
_END = struct.Struct("<4s4H2LH")
_LOCAL = struct.Struct("<4s5H3L2H")
_LOCATOR64 = struct.Struct("<4sLQL")
_END64 = struct.Struct("<4sQ2H2L4Q")
MAX_DIRECTORY = 64 << 20
"""Bytes of a central directory read at most (100,000 members of ordinary
names take a tenth of that)."""
# Compression methods (APPNOTE 4.4.5), by number: zipfile loads on first use.
_STORED, _DEFLATED, _BZIP2, _LZMA = 0, 8, 12, 14
_DIRECT = {_STORED, _DEFLATED}
_SUPPORTED = {_STORED, _DEFLATED, _BZIP2, _LZMA}


@cache
def _read_errors() -> tuple[type[BaseException], ...]:
    return (
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
    if len(data) - end_offset < _END.size or not _directory_fits(
        data, end_offset, budget
    ):
        return
    comment = _END.unpack_from(data, end_offset)[-1]
    end = min(len(data), end_offset + _END.size + comment)
    try:
        archive = zipfile.ZipFile(ViewFile(memoryview(data)[:end]))
    except _read_errors():
        return
    with archive:
        members = archive.infolist()
        if len(members) > MAX_MEMBERS:
            budget.note(
                f"zip at {end_offset:#x}: {len(members)} members, only the first "
                f"{MAX_MEMBERS} looked at"
            )
        for info in members[:MAX_MEMBERS]:
            if budget.exhausted(f"zip member {info.filename!r}"):
                return
            region = _member(archive, data, info, end, budget)
            if region is not None:
                yield region


def _directory_fits(data: bytes, end_offset: int, budget: Budget) -> bool:
    """Whether the central directory that the end record places before it
    starts there and is small enough to read.

    zipfile reads the whole directory at once, as long as the record says:
    a stray end record in a large input would have it copy gigabytes.
    """
    _, _, _, _, entries, size, _, _ = _END.unpack_from(data, end_offset)
    start = end_offset - size
    zip64 = _zip64_directory(data, end_offset)
    if zip64 is not None:  # zipfile takes these wherever they stand
        entries, size, start = zip64
    if start < 0 or (entries > 0 and data[start : start + 4] != b"PK\x01\x02"):
        return False
    if size > MAX_DIRECTORY:
        budget.note(f"zip at {end_offset:#x}: central directory of {size} bytes")
        return False
    return True


def _zip64_directory(data: bytes, end_offset: int) -> tuple[int, int, int] | None:
    """Entries, size and start of a zip64 central directory, from the zip64
    end record just before the locator just before the end record."""
    locator = end_offset - _LOCATOR64.size
    record = locator - _END64.size
    if record < 0 or data[locator : locator + 4] != b"PK\x06\x07":
        return None
    fields = _END64.unpack_from(data, record)
    if fields[0] != b"PK\x06\x06":
        return None
    entries, size = fields[7], fields[8]
    return entries, size, record - size


def _member(
    archive: zipfile.ZipFile,
    data: bytes,
    info: zipfile.ZipInfo,
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
    header = info.header_offset
    data_at = _data_offset(data, header)
    want = min(cap, claimed)
    try:
        if data_at is not None and info.compress_type in _DIRECT:
            content = _read_direct(data, data_at, info, want)
        else:
            with archive.open(info) as member:
                content = member.read(want)
    except _read_errors() as e:
        budget.note(f"zip member {name!r} could not be read: {e}")
        return None
    budget.spend(len(content))
    cut = len(content) < claimed
    if cut:
        budget.note(f"zip member {name!r} cut after {len(content)} of {claimed} bytes")
    if data_at is None:
        return Region(header, end, content, LAYER, name, cut=cut)
    stored = data_at if info.compress_type == _STORED else None
    member_end = min(end, data_at + info.compress_size)
    return Region(header, member_end, content, LAYER, name, cut=cut, stored_at=stored)


def _read_direct(data: bytes, data_at: int, info: zipfile.ZipInfo, want: int) -> bytes:
    """A stored or deflated member read straight from the buffer: most
    members of jars and wheels, without zipfile's file machinery."""
    raw = memoryview(data)[data_at : data_at + info.compress_size]
    if info.compress_type == _STORED:
        return bytes(raw[:want])
    inflater = zlib.decompressobj(-zlib.MAX_WBITS)
    return inflater.decompress(raw, want)


def _data_offset(data: bytes, header: int) -> int | None:
    """Where a member's data starts: after its local header, name and extra."""
    if header < 0 or len(data) - header < _LOCAL.size:
        return None
    signature, *_, name_length, extra_length = _LOCAL.unpack_from(data, header)
    if signature != b"PK\x03\x04":
        return None
    return header + _LOCAL.size + int(name_length) + int(extra_length)
