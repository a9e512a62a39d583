"""Decoding one compressed stream found inside a buffer, within the budget.

Every decoder here is fed the buffer in steps and asked for no more output
than the budget allows, so neither a bomb nor a stream that never ends can
take more memory or time than its cap.
"""

from __future__ import annotations

import zlib
from collections.abc import Callable
from typing import Protocol

from ravick.layers import MAX_RATIO, RATIO_SLACK, Budget, Region

STEP = 1 << 16
"""Encoded bytes fed to a decoder at a time."""


class Decompressor(Protocol):
    """What zlib, bz2, lzma and lz4.frame decompressors have in common."""

    @property
    def eof(self) -> bool: ...

    @property
    def unused_data(self) -> bytes: ...

    def decompress(self, data: bytes, max_length: int = ..., /) -> bytes: ...


DECODE_ERRORS: tuple[type[Exception], ...] = (
    zlib.error,
    OSError,
    EOFError,
    ValueError,
    RuntimeError,
    MemoryError,
)
"""What decoders raise on data that is not their format (callers add their
own, such as lzma.LZMAError)."""


def decode_stream(
    data: bytes,
    offset: int,
    layer: str,
    make: Callable[[], Decompressor],
    budget: Budget,
    errors: tuple[type[Exception], ...] = DECODE_ERRORS,
) -> Region | None:
    """The stream at ``offset`` decoded, or None when nothing decodes.

    A stream that breaks, ends with the buffer, passes the ratio cap or
    reaches the budget gives what was decoded before that, marked cut.
    """
    cap = budget.cap()
    if cap <= 0:
        return None
    decoder = make()
    feed = _Feed(memoryview(data), offset)
    parts: list[bytes] = []
    produced = 0
    while produced < cap and not decoder.eof:
        chunk = feed.next_input(decoder)
        if chunk is None:
            break
        try:
            out = decoder.decompress(chunk, cap - produced)
        except errors:
            break
        if not out and not chunk:
            break
        feed.keep_tail(decoder)
        parts.append(out)
        produced += len(out)
        if produced > MAX_RATIO * feed.consumed + RATIO_SLACK:
            budget.note(
                f"{layer} stream at {offset:#x} stopped: it decodes to more "
                f"than {MAX_RATIO} times its size"
            )
            break
    if produced == 0:
        return None
    budget.spend(produced)
    complete = decoder.eof
    if produced >= cap and not complete:
        budget.note(
            f"{layer} stream at {offset:#x} cut after {produced} inflated bytes"
        )
    # lz4's decoder gives None, not b"", when a frame ends its input.
    unused = (decoder.unused_data or b"") if complete else b""
    end = offset + feed.consumed - len(unused)
    return Region(offset, end, b"".join(parts), layer, cut=not complete)


class _Feed:
    """The encoded bytes handed to a decoder, step by step.

    zlib hands back what it did not take (``unconsumed_tail``); the other
    decoders keep it and want empty input until they need more.
    """

    def __init__(self, view: memoryview, offset: int) -> None:
        self._view = view
        self._pos = offset
        self._offset = offset
        self._tail = b""

    @property
    def consumed(self) -> int:
        """Encoded bytes the decoder has taken."""
        return self._pos - self._offset - len(self._tail)

    def next_input(self, decoder: Decompressor) -> bytes | None:
        if self._tail:
            return self._tail
        if not getattr(decoder, "needs_input", True):
            return b""
        if self._pos >= len(self._view):
            return None
        chunk = bytes(self._view[self._pos : self._pos + STEP])
        self._pos += len(chunk)
        return chunk

    def keep_tail(self, decoder: Decompressor) -> None:
        tail = getattr(decoder, "unconsumed_tail", b"")
        self._tail = bytes(tail)
