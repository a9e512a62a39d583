"""Unity IL2CPP's ``global-metadata.dat``: the C# runtime's base64 chunks
(60 characters each, the last padded) as string literals in UTF-8.

The header gives the literal table, (length, data index) records in the
order the converter first met each literal, and the data they index. A
literal is stored once however often it is used, so a chunk that two
descriptors share stands only among the first one's chunks, and the
second's run of chunks has a gap there. Where a run does not read as
whole descriptors, the missing chunk is searched for among the file's
other chunks: the one after which the descriptor's fields read on (see
``_wire_shape``) fills the gap. A run whose first chunk is shared has no
start of its own; it is tried after each chunk that starts a descriptor.
"""

from __future__ import annotations

import bisect
import re
import struct
from collections.abc import Iterator
from dataclasses import dataclass

import ravick_lib

from ravick.layers import Budget, Region
from ravick.layers._source import from_base64
from ravick.layers._wire_shape import Frames, walk

LAYER = "il2cpp-literals"
MAGIC = b"\xaf\x1b\xb1\xfa"
CHUNK = 60
"""Base64 characters in every chunk of a descriptor but its last."""
_PIECE = CHUNK * 3 // 4
MAX_LITERALS = 4_000_000
MAX_TRIALS = 200_000
"""Pieces tried in gaps, for one file."""
MAX_GAPS = 256
"""Gaps filled in one run."""
_LOOKAHEAD = 8
"""Chunks read on past the end of the data to tell candidates apart."""
_CLOSED = 1 << 40
_REACH = 256
"""Bytes before the point where the fields stop reading on within which
the gap is looked for (a string over a gap reads on to its end)."""
_HEADER = struct.Struct("<4s5i")
_RECORD = struct.Struct("<Ii")
_BASE64 = re.compile(rb"[A-Za-z0-9+/]+={0,2}")


@dataclass(frozen=True, slots=True)
class _Run:
    """Consecutive chunk literals in table order: the span of the file that
    holds them all, and each one's decoded bytes."""

    start: int
    end: int
    pieces: tuple[bytes, ...]


def is_metadata(data: bytes) -> bool:
    """True for an IL2CPP metadata file."""
    return data[: len(MAGIC)] == MAGIC and len(data) >= _HEADER.size


def literal_data(data: bytes) -> tuple[int, int] | None:
    """Where the literals' bytes stand, when the header says so sanely."""
    _, _, _, _, at, size = _HEADER.unpack_from(data)
    if at < 0 or size < 0 or at + size > len(data):
        return None
    return at, at + size


def regions(data: bytes, budget: Budget) -> Iterator[Region]:
    """The descriptors that the file's base64 literals spell, gaps filled."""
    runs = _runs(data, budget)
    pool = _Pool([p for run in runs for p in run.pieces])
    seen: set[bytes] = set()
    for run in runs:
        joined = _rejoined(run.pieces, pool)
        if joined is None or budget.exhausted("IL2CPP literals"):
            continue
        # A run without its first chunk and the run that holds that chunk
        # may be filled to the same descriptors: each is given once.
        found = {joined[a:b] for a, b in ravick_lib.scan(joined)}
        if found and found <= seen:
            continue
        seen |= found
        joined = joined[: budget.cap()]
        budget.spend(len(joined))
        yield Region(run.start, run.end, joined, LAYER)
    if pool.trials_left <= 0:
        budget.note(f"IL2CPP literals: gaps past {MAX_TRIALS} pieces tried not filled")


def _runs(data: bytes, budget: Budget) -> list[_Run]:
    """Runs of chunk literals in table order: every chunk but the last of a
    run is ``CHUNK`` characters of base64 without padding."""
    _, _, table, size, _, _ = _HEADER.unpack_from(data)
    span = literal_data(data)
    if span is None or table < 0 or size < 0 or table + size > len(data):
        budget.note("IL2CPP metadata: the string literal table is outside the file")
        return []
    count = size // _RECORD.size
    if count > MAX_LITERALS:
        budget.note(f"IL2CPP metadata: literals past the first {MAX_LITERALS} not read")
        count = MAX_LITERALS
    runs: list[_Run] = []
    current: list[tuple[int, int, bytes]] = []

    def close() -> None:
        if current:
            pieces = tuple(piece for _, _, piece in current)
            # Table order need not be the data's: the run spans every chunk.
            start = min(at for at, _, _ in current)
            end = max(end for _, end, _ in current)
            runs.append(_Run(start, end, pieces))
            current.clear()

    for k in range(count):
        length, index = _RECORD.unpack_from(data, table + k * _RECORD.size)
        chunk = _chunk(data, span, index, length)
        if chunk is None:
            close()
            continue
        if _starts_descriptor(chunk):
            close()  # another descriptor, after a literal that is not its
        current.append((span[0] + index, span[0] + index + length, chunk))
        if len(chunk) != _PIECE:  # a last chunk: short or padded
            close()
    close()
    return runs


def _chunk(data: bytes, span: tuple[int, int], index: int, length: int) -> bytes | None:
    """The decoded bytes of one literal that is a chunk of base64."""
    if index < 0 or length <= 0 or length % 4 or length > CHUNK:
        return None
    start = span[0] + index
    if start + length > span[1]:
        return None
    text = data[start : start + length]
    if _BASE64.fullmatch(text) is None:
        return None
    return from_base64(text.rstrip(b"="))


def _starts_descriptor(piece: bytes) -> bool:
    """True when ``piece`` begins as a descriptor does: 0A, a length, and
    the file's name, printable, ending in ".proto" where the piece holds
    all of it."""
    if len(piece) < 3 or piece[0] != 0x0A or piece[1] >= 0x80:
        return piece[:1] == b"\n" and len(piece) == _PIECE and _printable(piece[3:])
    name = piece[2 : 2 + piece[1]]
    if len(name) < piece[1]:
        return _printable(name)
    return name.endswith(b".proto") and _printable(name)


def _printable(text: bytes) -> bool:
    return bool(text) and all(0x20 < b < 0x7F for b in text)


class _Pool:
    """Every chunk of the file once, in table order, and how many more may
    be tried in gaps."""

    def __init__(self, pieces: list[bytes]) -> None:
        self.pieces = list(dict.fromkeys(pieces))
        self.starts = [p for p in self.pieces if _starts_descriptor(p)]
        self.middles = [p for p in self.pieces if not _starts_descriptor(p)]
        self.trials_left = MAX_TRIALS
        self._after = {p: self.pieces[k + 1] for k, p in enumerate(self.pieces[:-1])}

    def successor(self, piece: bytes) -> bytes | None:
        """The chunk stored after ``piece``."""
        return self._after.get(piece)

    def candidates(self, before: bytes, starts: bool) -> list[bytes]:
        """The chunks to try after ``before``: first the one stored after
        it (where a shared chunk's successor is shared too, it is the one),
        then every other that does not start a descriptor."""
        if starts:
            return self.starts
        successor = self._after.get(before)
        if successor is None or _starts_descriptor(successor):
            return self.middles
        return [successor, *self.middles]


def _rejoined(own: tuple[bytes, ...], pool: _Pool) -> bytes | None:
    """A run's bytes with its gaps filled; None when it holds no descriptor."""
    data = b"".join(own)
    bounds = _bounds(own)
    whole_chunk = len(own[0]) == _PIECE
    orphan = not _starts_descriptor(own[0])
    if orphan:
        if not whole_chunk:
            return None
        # A run without its first chunk: which descriptor's start is it?
        filled = _fill(data, [0], len(own[0]), pool, starts=True)
        if filled is None:
            return None
        data, bounds = _with_piece(data, bounds, *filled)
    elif not whole_chunk:
        return data  # one literal: nothing to join
    for _ in range(MAX_GAPS):
        shape = walk(data, keep_states=False)
        if shape.broke_at >= len(data) and shape.closed:
            break
        # The gap is before the break (bytes after it read on for a while)
        # or after it (a field whose length reaches past the gap and so past
        # its message's end): nearest first.
        near = [b for b in bounds if abs(b - shape.broke_at) <= _REACH]
        near.sort(key=lambda b: abs(b - shape.broke_at))
        filled = _fill(data, near, shape.broke_at, pool)
        if filled is None:
            break
        data, bounds = _with_piece(data, bounds, *filled)
    if orphan:
        # Given a start it did not have, a run must read as whole descriptors.
        shape = walk(data, keep_states=False)
        if shape.broke_at < len(data) or not shape.closed:
            return None
    return data


def _bounds(pieces: tuple[bytes, ...]) -> list[int]:
    bounds, at = [0], 0
    for p in pieces:
        at += len(p)
        bounds.append(at)
    return bounds


def _with_piece(
    data: bytes, bounds: list[int], gap: int, piece: bytes
) -> tuple[bytes, list[int]]:
    moved = {b if b < gap else b + len(piece) for b in bounds}
    return data[:gap] + piece + data[gap:], sorted({*moved, gap})


def _fill(
    data: bytes, gaps: list[int], broke_at: int, pool: _Pool, *, starts: bool = False
) -> tuple[int, bytes] | None:
    """Which chunk, at which of ``gaps``, lets the fields read on furthest
    past ``broke_at``; None when none does."""
    states = walk(data).states
    keys = [pos for pos, _ in states]
    for gap in gaps:
        k = bisect.bisect_right(keys, gap) - 1
        state = states[k] if k >= 0 else (0, None)
        best: tuple[int, bytes] | None = None
        for piece in pool.candidates(data[max(0, gap - _PIECE) : gap], starts):
            if pool.trials_left <= 0:
                return None
            pool.trials_left -= 1
            reach = _reach(data, gap, piece, state, pool)
            if reach > max(broke_at, gap) + len(piece) and (
                best is None or reach > best[0]
            ):
                best = (reach, piece)
        if best is not None:
            return gap, best[1]
    return None


def _reach(
    data: bytes, gap: int, piece: bytes, state: tuple[int, Frames | None], pool: _Pool
) -> int:
    """How far the fields read with ``piece`` at ``gap``. Where the data
    ends first, the chunks stored after the piece are read on too: a wrong
    piece that happens to fit soon breaks, the right one's successors fit."""
    candidate = data[:gap] + piece + data[gap:]
    for _ in range(_LOOKAHEAD):
        shape = walk(candidate, *state, keep_states=False)
        if shape.closed:
            return _CLOSED + shape.broke_at  # every message ends: beats reach
        if shape.broke_at < len(candidate):
            return shape.broke_at
        following = pool.successor(piece)
        if following is None:
            break
        candidate += following
        piece = following
    return len(candidate)
