"""Every layer, and the one pass that finds where each may apply."""

from __future__ import annotations

import bisect
from collections.abc import Callable, Iterator

from ravick import _signatures
from ravick.layers import (
    MAX_HITS,
    Budget,
    Region,
    base64_text,
    bzip2_streams,
    cpp_source,
    csharp_source,
    dotnet_assemblies,
    es_source,
    go_source,
    gzip_streams,
    il2cpp_literals,
    java_classes,
    java_source,
    lz4_frames,
    php_source,
    python_source,
    ruby_source,
    rust_source,
    tar_archives,
    xz_streams,
    zip_archives,
    zlib_streams,
    zstd_frames,
)
from ravick.layers._repeats import Repeats
from ravick.layers._source import looks_like_text
from ravick.split_scan import Extents, signatures_in_parts

SOURCES = (
    python_source,
    ruby_source,
    php_source,
    cpp_source,
    java_source,
    go_source,
    csharp_source,
    rust_source,
    es_source,
)
"""Generated code: each language's descriptor literals, read in text."""

_SOURCE_ANCHORS = (
    *(anchor.encode() for module in SOURCES for anchor in module.ANCHORS),
    b"File.binread(__FILE__)",
)

RegionAt = Callable[[bytes, int, Budget], Region | None]

STREAMS: dict[str, RegionAt] = {
    "gzip": gzip_streams.region_at,
    "zlib": zlib_streams.region_at,
    "zstd": zstd_frames.region_at,
    "lz4": lz4_frames.region_at,
    "xalz": lz4_frames.xalz_region_at,
    "xz": xz_streams.region_at,
    "bzip2": bzip2_streams.region_at,
    "base64": base64_text.region_at,
    "base64-utf16": base64_text.utf16_region_at,
}
"""Compressed streams, by the signature kind that starts them."""

REPEATABLE = frozenset({"gzip", "zlib", "lz4", "xz", "bzip2"})
"""Streams whose decoding depends on their encoded bytes alone (and the cap),
so that a copy met again is given the first one's result."""

LAYERS = (
    "gzip",
    "zlib",
    "zstd",
    "lz4",
    "xalz",
    "xz",
    "bzip2",
    "zip",
    "tar",
    "descriptor-set",
    "java-utf8",
    "dotnet-us",
    "il2cpp-literals",
    "base64",
    *(module.LAYER for module in SOURCES),
)
"""The names a found descriptor's ``layers`` may hold."""


def may_hold_regions(data: bytes) -> bool:
    """True when some layer would look inside ``data``."""
    return tar_archives.is_tar(data) or bool(_signatures.find(data, 1)[0])


def regions(
    data: bytes, budget: Budget, threads: int = 1, extents: Extents | None = None
) -> Iterator[Region]:
    """Every region that some layer finds in ``data``.

    The signature search of a large ``data`` runs on ``threads`` threads,
    inside ``extents`` alone when given (a sparse file's spans of data).
    Archives come first; a signature inside an archive member's bytes, or
    inside a stream already opened, belongs to that member or stream (its
    compressed data, or bytes stored as they are) and is not opened again
    on its own.
    """
    members = _Covered()
    if looks_like_text(data) and any(data.find(a) != -1 for a in _SOURCE_ANCHORS):
        text = str(memoryview(data), "latin-1")
        for module in SOURCES:
            for literal in module.regions(text, budget):
                members.add(literal.start, literal.end)
                yield literal
    if java_classes.is_class_file(data):
        yield from java_classes.regions(data, budget)
    assembly = False
    if dotnet_assemblies.is_assembly(data):
        for region in dotnet_assemblies.regions(data, budget):
            assembly = True
            yield region
    if il2cpp_literals.is_metadata(data):
        literals = il2cpp_literals.literal_data(data)
        if literals is not None:
            # The literals' base64, read in table order with gaps filled.
            members.add(*literals)
            yield from il2cpp_literals.regions(data, budget)
    if tar_archives.is_tar(data):
        for region in tar_archives.regions(data, budget):
            members.add(region.start, region.end)
            yield region
    hits, dropped = signatures_in_parts(data, threads, MAX_HITS, extents=extents)
    for kind, count in zip(_signatures.KINDS, dropped, strict=True):
        if count:
            budget.note(
                f"{count} {kind} signatures past the first {MAX_HITS} not tried"
            )
    zip_end = _signatures.KINDS.index("zip-end")
    base64_utf16 = _signatures.KINDS.index("base64-utf16")
    # The last end record is the outermost archive's; one inside a member
    # (a jar stored in a war) is that member's to open.
    for offset in sorted((o for o, k in hits if k == zip_end), reverse=True):
        if offset in members:
            continue
        for member in zip_archives.regions(data, offset, budget):
            members.add(member.start, member.end)
            yield member
    stream_end = 0
    repeats = Repeats()
    for offset, index in hits:
        if index == zip_end or offset < stream_end or offset in members:
            continue
        if assembly and index == base64_utf16:
            continue  # the assembly's own strings, read in code order
        if budget.attempts_left <= 0:
            budget.note(f"signatures past offset {offset:#x} not tried: too many")
            return
        if budget.exhausted(f"offset {offset:#x}"):
            return
        budget.attempts_left -= 1
        kind = _signatures.KINDS[index]
        if kind in REPEATABLE:
            stream = repeats.region_at(kind, STREAMS[kind], data, offset, budget)
        else:
            stream = STREAMS[kind](data, offset, budget)
        if stream is not None:
            # What looks like a signature inside a stream is its compressed
            # data, or bytes it stores as they are and so decodes itself.
            stream_end = max(stream_end, stream.end)
            yield stream


class _Covered:
    """Byte ranges of a buffer that archive members cover."""

    def __init__(self) -> None:
        self._pending: list[tuple[int, int]] = []
        self._starts: list[int] = []
        self._ends: list[int] = []

    def add(self, start: int, end: int) -> None:
        self._pending.append((start, end))

    def __contains__(self, offset: int) -> bool:
        if self._pending:
            self._merge()
        k = bisect.bisect_right(self._starts, offset) - 1
        return k >= 0 and offset < self._ends[k]

    def _merge(self) -> None:
        ranges = sorted([*zip(self._starts, self._ends, strict=True), *self._pending])
        self._pending = []
        self._starts, self._ends = [], []
        for start, end in ranges:
            if self._starts and start <= self._ends[-1]:
                self._ends[-1] = max(self._ends[-1], end)
            else:
                self._starts.append(start)
                self._ends.append(end)
