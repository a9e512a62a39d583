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


def scan_in_parts(
    data: Buffer,
    threads: int,
    min_part: int | None = None,
    on_scanned: Callable[[int], None] | None = None,
    piece: int | None = None,
) -> Ranges:
    """``ravick_lib.scan(data)``'s ranges, scanned on up to ``threads``
    threads in pieces of at most ``piece`` bytes; ``on_scanned`` is told the
    bytes scanned so far after each piece."""
    size = len(memoryview(data))
    min_part = MIN_PART if min_part is None else min_part
    piece = PIECE if piece is None else piece
    threads = max(1, min(threads, size // max(min_part, 1)))
    parts = max(threads, -(-size // max(piece, 1)))
    if parts <= 1:
        ranges = ravick_lib.scan_range(data)
        if on_scanned is not None:
            on_scanned(size)
        return ranges
    bounds = [size * k // parts for k in range(parts + 1)]

    def part(k: int) -> Ranges:
        return ravick_lib.scan_range(data, bounds[k], bounds[k + 1])

    if threads == 1:
        scanned: Iterator[Ranges] = map(part, range(parts))
        return _joined(data, bounds, scanned, on_scanned)
    from concurrent.futures import ThreadPoolExecutor  # slow to import

    with ThreadPoolExecutor(threads) as pool:
        return _joined(data, bounds, pool.map(part, range(parts)), on_scanned)


def _joined(
    data: Buffer,
    bounds: list[int],
    scanned: Iterator[Ranges],
    on_scanned: Callable[[int], None] | None,
) -> Ranges:
    """The parts' ranges as one scan of the whole takes them."""
    out: Ranges = []
    resume = 0
    for k, ranges in enumerate(scanned):
        if resume > bounds[k]:
            ranges = _realigned(data, resume, bounds[k + 1], ranges)
        out += ranges
        if ranges:
            resume = max(resume, ranges[-1][1])
        if on_scanned is not None:
            on_scanned(bounds[k + 1])
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
    data: Buffer, threads: int, max_hits: int, min_part: int | None = None
) -> Hits:
    """``_signatures.find(data, max_hits)``, on up to ``threads`` threads.

    Each part keeps its first ``max_hits`` of each kind; joined in offset
    order, the first ``max_hits`` of each kind are the whole search's, and
    the rest counts as dropped.
    """
    from ravick import _signatures

    size = len(memoryview(data))
    min_part = MIN_PART if min_part is None else min_part
    parts = max(1, min(threads, size // max(min_part, 1)))
    if parts == 1:
        return _signatures.find(data, max_hits)
    from concurrent.futures import ThreadPoolExecutor  # slow to import

    bounds = [size * k // parts for k in range(parts + 1)]
    with ThreadPoolExecutor(parts) as pool:
        found = list(
            pool.map(
                lambda k: _signatures.find(data, max_hits, bounds[k], bounds[k + 1]),
                range(parts),
            )
        )
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
