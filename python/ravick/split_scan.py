"""The native passes over one large buffer on several threads, with the very
results of one pass over the whole buffer: the scan, and the search for
container and stream signatures.

Each thread scans the candidates of one part (``ravick_lib.scan_range``,
which releases the interpreter lock), scoring them against the bytes to the
end of the buffer, so a descriptor that crosses into the next part is found
whole. The scan's rule that the next search starts where an accepted range
ends is then applied across parts: a part whose first candidates lie inside
a range accepted before it is scanned again from that range's end, window by
window, until it accepts a range the first scan of the part accepted too;
from there both agree, since every verdict depends on the bytes alone.
"""

from __future__ import annotations

import bisect
from collections.abc import Buffer, Callable, Iterator

import ravick_lib

MIN_PART = 16 << 20
"""Bytes per thread below which a buffer is scanned on one thread."""
PIECE = 64 << 20
"""Bytes scanned in one call at most, so that progress can be told."""
WINDOW = 1 << 20
"""Bytes of candidates scanned at a time while a part realigns."""

Ranges = list[tuple[int, int]]
Extents = Ranges
"""Spans of a buffer, in order, that hold all its candidates."""


def scan_in_parts(
    data: Buffer,
    threads: int,
    min_part: int | None = None,
    on_scanned: Callable[[int], None] | None = None,
    piece: int | None = None,
    extents: Extents | None = None,
) -> Ranges:
    """``ravick_lib.scan(data)``'s ranges, scanned on up to ``threads``
    threads in pieces of at most ``piece`` bytes; ``on_scanned`` is told the
    bytes scanned so far after each piece. With ``extents`` (spans in order),
    only the candidates inside them are taken: what lies between them is a
    file's holes, which hold none."""
    size = len(memoryview(data))
    min_part = MIN_PART if min_part is None else min_part
    piece = PIECE if piece is None else piece
    spans = [(0, size)] if extents is None else extents
    held = sum(end - start for start, end in spans)
    threads = max(1, min(threads, held // max(min_part, 1)))
    parts = _pieces(spans, max(1, piece), threads)
    if extents is None and len(parts) <= 1:
        ranges = ravick_lib.scan_range(data)
        if on_scanned is not None:
            on_scanned(size)
        return ranges

    def part(bounds: tuple[int, int]) -> Ranges:
        return ravick_lib.scan_range(data, *bounds)

    if threads == 1:
        scanned: Iterator[Ranges] = map(part, parts)
        ranges = _joined(data, parts, scanned, on_scanned)
    else:
        from concurrent.futures import ThreadPoolExecutor  # slow to import

        with ThreadPoolExecutor(threads) as pool:
            ranges = _joined(data, parts, pool.map(part, parts), on_scanned)
    if on_scanned is not None:
        on_scanned(size)  # past the last span: holes to the end
    return ranges


def _pieces(spans: Extents, piece: int, threads: int) -> Ranges:
    """The spans cut into parts of at most ``piece`` bytes, and into at
    least ``threads`` parts in all where they hold that many bytes."""
    held = sum(end - start for start, end in spans)
    piece = max(1, min(piece, -(-held // threads)))
    parts: Ranges = []
    for start, end in spans:
        if start >= end:
            continue
        count = max(1, -(-(end - start) // piece))
        parts += [
            (
                start + (end - start) * k // count,
                start + (end - start) * (k + 1) // count,
            )
            for k in range(count)
        ]
    return parts


def _joined(
    data: Buffer,
    parts: Ranges,
    scanned: Iterator[Ranges],
    on_scanned: Callable[[int], None] | None,
) -> Ranges:
    """The parts' ranges as one scan of the whole takes them."""
    out: Ranges = []
    resume = 0
    for (start, end), ranges in zip(parts, scanned, strict=True):
        if resume > start:
            ranges = _realigned(data, resume, end, ranges)
        out += ranges
        if ranges:
            resume = max(resume, ranges[-1][1])
        if on_scanned is not None:
            on_scanned(end)
    return out


def _realigned(data: Buffer, resume: int, end: int, first: Ranges) -> Ranges:
    """The ranges of the part up to ``end`` as a whole scan takes them, its
    last accepted range ending at ``resume``; ``first`` is the part's own
    scan from its start."""
    out: Ranges = []
    at = resume
    while at < end:
        stop = min(end, at + WINDOW)
        for start, finish in ravick_lib.scan_range(data, at, stop):
            k = bisect.bisect_left(first, (start,))
            if k < len(first) and first[k][0] == start:
                return out + first[k:]
            out.append((start, finish))
            at = finish
        at = max(at, stop)
    return out


Hits = tuple[list[tuple[int, int]], tuple[int, ...]]


def signatures_in_parts(
    data: Buffer,
    threads: int,
    max_hits: int,
    min_part: int | None = None,
    extents: Extents | None = None,
) -> Hits:
    """``_signatures.find(data, max_hits)``, on up to ``threads`` threads;
    with ``extents``, at the offsets inside them only (a file's holes, which
    they leave out, hold no signature).

    Each part keeps its first ``max_hits`` of each kind; joined in offset
    order, the first ``max_hits`` of each kind are the whole search's, and
    the rest counts as dropped.
    """
    from ravick import _signatures

    size = len(memoryview(data))
    min_part = MIN_PART if min_part is None else min_part
    spans = [(0, size)] if extents is None else extents
    held = sum(end - start for start, end in spans)
    threads = max(1, min(threads, held // max(min_part, 1)))
    if extents is None and threads == 1:
        return _signatures.find(data, max_hits)
    parts = _pieces(spans, held, threads)

    def part(bounds: tuple[int, int]) -> tuple[list[tuple[int, int]], tuple[int, ...]]:
        return _signatures.find(data, max_hits, *bounds)

    if threads == 1:
        found = list(map(part, parts))
    else:
        from concurrent.futures import ThreadPoolExecutor  # slow to import

        with ThreadPoolExecutor(threads) as pool:
            found = list(pool.map(part, parts))
    kinds = len(_signatures.KINDS)
    kept = [0] * kinds
    total = [0] * kinds
    hits: list[tuple[int, int]] = []
    for part_hits, part_dropped in found:
        for kind, count in enumerate(part_dropped):
            total[kind] += count
        for offset, kind in part_hits:
            total[kind] += 1
            if kept[kind] < max_hits:
                kept[kind] += 1
                hits.append((offset, kind))
    return hits, tuple(t - k for t, k in zip(total, kept, strict=True))
