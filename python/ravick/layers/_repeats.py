"""Streams met again in one buffer, decoded once.

A memory image or a disk holds the same program many times over, and with
it the same compressed streams: a Go program's gzipped descriptors are
thousands of streams per copy. A stream that decoded completely, within
its cap and without a note, decodes to the same bytes wherever the same
encoded bytes stand, so a later copy is recognised by comparing its bytes
and given the first copy's result, its cost still charged to the budget.
"""

from __future__ import annotations

from collections.abc import Callable

from ravick.layers import Budget, Region

RegionAt = Callable[[bytes, int, Budget], Region | None]

HEAD = 16
"""Encoded bytes a stream is first looked up by."""
MAX_PER_HEAD = 8
"""Streams kept with the same first bytes."""
MAX_KEPT = 64 << 20
"""Encoded and decoded bytes kept for one buffer, in all."""


class Repeats:
    """The streams of one buffer decoded so far, by their encoded bytes."""

    def __init__(self, max_kept: int = MAX_KEPT) -> None:
        self._left = max_kept
        self._by_head: dict[tuple[str, bytes], list[tuple[bytes, Region]]] = {}

    def region_at(
        self, kind: str, decode: RegionAt, data: bytes, offset: int, budget: Budget
    ) -> Region | None:
        """``decode(data, offset, budget)``, from an earlier copy when the
        same encoded bytes stood there."""
        view = memoryview(data)
        key = (kind, bytes(view[offset : offset + HEAD]))
        known = self._by_head.get(key, ())
        for encoded, first in known:
            # Below the cap, the decoder never stopped short of the end.
            if len(first.data) < budget.cap() and _equal(view, offset, encoded):
                budget.spend(len(first.data))
                return _moved(first, offset, offset + len(encoded))
        notes = len(budget.notes)
        region = decode(data, offset, budget)
        if region is None or region.cut or len(budget.notes) != notes:
            return region
        encoded = bytes(view[region.start : region.end])
        cost = len(encoded) + len(region.data)
        if len(known) < MAX_PER_HEAD and cost <= self._left:
            self._left -= cost
            self._by_head.setdefault(key, []).append((encoded, region))
        return region


def _equal(view: memoryview, offset: int, encoded: bytes) -> bool:
    # A copy compares with memcmp; a memoryview compares byte by byte.
    return bytes(view[offset : offset + len(encoded)]) == encoded


def _moved(region: Region, start: int, end: int) -> Region:
    return Region(
        start=start,
        end=end,
        data=region.data,
        layer=region.layer,
        label=region.label,
        cut=region.cut,
        stored_at=region.stored_at,
        covers=region.covers,
        stripped=region.stripped,
    )
