"""zstd frames (``28 B5 2F FD``): Nuitka's one-file executables, packages
and firmware."""

from __future__ import annotations

from typing import TYPE_CHECKING

from ravick.layers import MAX_RATIO, RATIO_SLACK, Budget, Region
from ravick.layers._lazy import lazy

if TYPE_CHECKING:
    import zstandard
else:
    zstandard = lazy("zstandard")

LAYER = "zstd"
MAX_WINDOW = 1 << 26
"""The largest window a frame may ask for (the decoder allocates it)."""
_BLOCK_OUT = 1 << 17
"""What one zstd block may decode to; a block header takes 3 bytes at least,
and an RLE block one more."""


def region_at(data: bytes, offset: int, budget: Budget) -> Region | None:
    """The zstd frame at ``offset``, decompressed within the budget.

    The decoder has no output limit, so it is fed few enough bytes at a time
    that no call can decode past the cap by more than one block.
    """
    cap = budget.cap()
    if cap <= 0:
        return None
    decoder = zstandard.ZstdDecompressor(max_window_size=MAX_WINDOW).decompressobj()
    view = memoryview(data)
    parts: list[bytes] = []
    produced = 0
    pos = offset
    while produced < cap and pos < len(data) and not decoder.eof:
        step = max(1, min(1 << 16, (cap - produced) * 4 // _BLOCK_OUT))
        chunk = bytes(view[pos : pos + step])
        try:
            out = decoder.decompress(chunk)
        except (zstandard.ZstdError, ValueError, MemoryError):
            break
        pos += len(chunk)
        parts.append(out)
        produced += len(out)
        if produced > MAX_RATIO * (pos - offset) + RATIO_SLACK:
            budget.note(
                f"zstd frame at {offset:#x} stopped: it decodes to more "
                f"than {MAX_RATIO} times its size"
            )
            break
    if produced == 0:
        return None
    complete = decoder.eof
    if complete:
        pos -= len(decoder.unused_data)
    decoded = b"".join(parts)[:cap]
    budget.spend(len(decoded))
    if produced >= cap and not complete:
        budget.note(
            f"zstd frame at {offset:#x} cut after {len(decoded)} inflated bytes"
        )
    return Region(offset, pos, decoded, LAYER, cut=not complete)
