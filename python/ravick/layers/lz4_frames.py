"""LZ4: frames (``04 22 4D 18``), and the ``XALZ`` header that .NET for
Android puts before an assembly compressed as one LZ4 block::

    "XALZ"  u32 descriptor index  u32 uncompressed length  <LZ4 block>
"""

from __future__ import annotations

import struct
from typing import TYPE_CHECKING

from ravick.layers import Budget, Region
from ravick.layers._inflate import decode_stream
from ravick.layers._lazy import lazy

if TYPE_CHECKING:
    import lz4.block as lz4_block
    import lz4.frame as lz4_frame
else:
    lz4_block = lazy("lz4.block")
    lz4_frame = lazy("lz4.frame")

LAYER = "lz4"
XALZ_LAYER = "xalz"
_XALZ_HEADER = struct.Struct("<4sII")


def region_at(data: bytes, offset: int, budget: Budget) -> Region | None:
    """The LZ4 frame at ``offset``, decompressed."""
    return decode_stream(data, offset, LAYER, lz4_frame.LZ4FrameDecompressor, budget)


def xalz_region_at(data: bytes, offset: int, budget: Budget) -> Region | None:
    """The assembly behind the ``XALZ`` header at ``offset``, decompressed.

    The block runs to the end of the buffer (the header is the file's
    start); a length above the budget is not decoded at all.
    """
    if len(data) - offset < _XALZ_HEADER.size:
        return None
    _, _, size = _XALZ_HEADER.unpack_from(data, offset)
    start = offset + _XALZ_HEADER.size
    if size == 0:
        return None
    if size > budget.cap():
        budget.note(f"XALZ assembly at {offset:#x} not decoded: {size} bytes")
        return None
    try:
        with memoryview(data) as view:  # never a copy of the rest of the input
            out = lz4_block.decompress(view[start:], uncompressed_size=size)
    except (lz4_block.LZ4BlockError, ValueError, MemoryError):
        return None
    budget.spend(len(out))
    return Region(offset, len(data), out, XALZ_LAYER)
