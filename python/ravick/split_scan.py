"""The native scan of one large buffer on several threads, with the very
results of one scan of the whole buffer.

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
from collections.abc import Buffer

import ravick_lib

MIN_PART = 16 << 20
"""Bytes per thread below which a buffer is scanned on one thread."""
WINDOW = 1 << 20
"""Bytes of candidates scanned at a time while a part realigns."""

Ranges = list[tuple[int, int]]


def scan_in_parts(data: Buffer, threads: int, min_part: int = MIN_PART) -> Ranges:
    """``ravick_lib.scan(data)``'s ranges, scanned on up to ``threads`` threads."""
    size = len(memoryview(data))
    parts = max(1, min(threads, size // max(min_part, 1)))
    if parts == 1:
        return ravick_lib.scan_range(data)
    from concurrent.futures import ThreadPoolExecutor  # slow to import

    bounds = [size * k // parts for k in range(parts + 1)]
    with ThreadPoolExecutor(parts) as pool:
        scanned = list(
            pool.map(
                lambda k: ravick_lib.scan_range(data, bounds[k], bounds[k + 1]),
                range(parts),
            )
        )
    out: Ranges = []
    resume = 0
    for k, ranges in enumerate(scanned):
        if resume > bounds[k]:
            ranges = _realigned(data, resume, bounds[k + 1], ranges)
        out += ranges
        if ranges:
            resume = max(resume, ranges[-1][1])
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
