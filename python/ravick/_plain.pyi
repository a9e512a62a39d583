"""The plain finds of a scan, framed and grouped by their bytes."""

from collections.abc import Buffer, Sequence

def frame(
    buffer: Buffer, ranges: Sequence[tuple[int, int]], /
) -> tuple[bytes, bytes, bytes, bytes, list[int]]:
    """A scan's ranges in a buffer with framed ends, grouped by their bytes:
    ``(starts, ends, in_set, ids, firsts)``, the first four as columns of
    native 64-bit, 64-bit, one-byte and 32-bit values."""

def join(
    starts: Buffer,
    ends: Buffer,
    in_set: Buffer,
    ids: Buffer,
    rests: Sequence[Sequence[bytes | None]],
    head: bytes,
    mid: bytes | None,
    sep: bytes,
    hex: bool,
    at: int,
    stop: int,
    /,
) -> bytes:
    """The text of the finds ``at..stop`` of :func:`frame`'s columns: each
    is ``head``, its start (in hex with ``0x`` when ``hex``), ``mid`` and its
    end unless ``mid`` is None, and ``rests[in_set][id]``; finds whose rest
    is None are left out, the others joined by ``sep``."""
