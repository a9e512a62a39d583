"""xz streams (``FD 37 7A 58 5A 00``): tar.xz bundles, firmware."""

from __future__ import annotations

from typing import TYPE_CHECKING

from ravick.layers import Budget, Region
from ravick.layers._inflate import DECODE_ERRORS, decode_stream
from ravick.layers._lazy import lazy

if TYPE_CHECKING:
    import lzma
else:
    lzma = lazy("lzma")

LAYER = "xz"
MEMORY_LIMIT = 128 << 20
"""Bytes the decoder may allocate (the dictionary a header asks for)."""


def region_at(data: bytes, offset: int, budget: Budget) -> Region | None:
    """The xz stream at ``offset``, decompressed."""
    return decode_stream(
        data,
        offset,
        LAYER,
        lambda: lzma.LZMADecompressor(lzma.FORMAT_XZ, memlimit=MEMORY_LIMIT),
        budget,
        (*DECODE_ERRORS, lzma.LZMAError),
    )
