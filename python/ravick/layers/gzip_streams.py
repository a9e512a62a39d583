"""gzip streams (``1F 8B 08``): Go programs built with golang/protobuf 1.3
and gogo keep every descriptor gzip-compressed; tar.gz files."""

from __future__ import annotations

import zlib

from ravick.layers import Budget, Region
from ravick.layers._inflate import decode_stream

LAYER = "gzip"


def region_at(data: bytes, offset: int, budget: Budget) -> Region | None:
    """The gzip member at ``offset``, inflated."""
    return decode_stream(
        data, offset, LAYER, lambda: zlib.decompressobj(16 + zlib.MAX_WBITS), budget
    )
