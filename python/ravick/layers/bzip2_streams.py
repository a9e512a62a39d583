"""bzip2 streams (``BZh1``..``BZh9`` and the block magic): tar.bz2 bundles."""

from __future__ import annotations

from typing import TYPE_CHECKING

from ravick.layers import Budget, Region
from ravick.layers._inflate import decode_stream
from ravick.layers._lazy import lazy

if TYPE_CHECKING:
    import bz2
else:
    bz2 = lazy("bz2")

LAYER = "bzip2"


def region_at(data: bytes, offset: int, budget: Budget) -> Region | None:
    """The bzip2 stream at ``offset``, decompressed."""
    return decode_stream(data, offset, LAYER, bz2.BZ2Decompressor, budget)
