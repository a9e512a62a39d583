"""Signatures of containers and compressed streams, found in one pass."""

from collections.abc import Buffer

KINDS: tuple[str, ...]

def find(
    buffer: Buffer, max_hits: int, /
) -> tuple[list[tuple[int, int]], tuple[int, ...]]:
    """Every container or stream signature in a buffer, in offset order."""
