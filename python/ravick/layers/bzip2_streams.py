"""bzip2 streams (``BZh1``..``BZh9`` and the block magic): tar.bz2 bundles."""

from __future__ import annotations

import bz2

from ravick.layers import Budget, Region
from ravick.layers._inflate import decode_stream

LAYER = "bzip2"


def region_at(data: bytes, offset: int, budget: Budget) -> Region | None:
    """The bzip2 stream at ``offset``, decompressed."""
    return decode_stream(data, offset, LAYER, bz2.BZ2Decompressor, budget)
