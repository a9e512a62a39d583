"""The plain finds of a scan, framed and grouped by their bytes."""

from collections.abc import Buffer, Sequence

def frame(
    buffer: Buffer, ranges: Sequence[tuple[int, int]], threads: int = 1, /
) -> tuple[bytes, bytes, bytes, bytes, list[int], bytes]:
    """A scan's ranges in a buffer with framed ends, grouped by their bytes,
    on up to ``threads`` threads (the same results):
    ``(starts, ends, in_set, ids, firsts, uses)``, the first four as columns
    of native 64-bit, 64-bit, one-byte and 32-bit values, ``firsts`` the
    index of each number's first range, and ``uses`` a byte per number (1:
    met outside a set, 2: inside one, 3: both)."""

def join(
    starts: Buffer,
    ends: Buffer,
    in_set: Buffer,
    ids: Buffer,
    rests: Buffer,
    bounds: Buffer,
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
    end unless ``mid`` is None, and its rest. With ``n`` numbers, the rest
    of a find numbered ``i`` and marked ``m`` is
    ``rests[bounds[k]:bounds[k + 1]]`` for ``k = m * n + i`` (``bounds``
    64-bit); finds whose rest is empty are left out, the others joined by
    ``sep``."""
