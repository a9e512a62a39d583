"""zlib streams (CM 8, a valid FCHECK, no preset dictionary): PyInstaller
stores every module this way, and so do many resource formats."""

from __future__ import annotations

import zlib

from ravick.layers import Budget, Region
from ravick.layers._inflate import decode_stream

LAYER = "zlib"


def region_at(data: bytes, offset: int, budget: Budget) -> Region | None:
    """The zlib stream at ``offset``, inflated."""
    return decode_stream(data, offset, LAYER, lambda: zlib.decompressobj(), budget)
