"""Signatures of containers and compressed streams, found in one pass."""

from collections.abc import Buffer

KINDS: tuple[str, ...]

def find(
    buffer: Buffer, max_hits: int, start: int = 0, end: int | None = None, /
) -> tuple[list[tuple[int, int]], tuple[int, ...]]:
    """Every container or stream signature in a buffer (at offsets
    ``start..end``, checked against the bytes to its end), in offset order."""
