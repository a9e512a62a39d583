"""Layers: the containers and encodings that hold descriptors.

A layer looks at a buffer and yields :class:`Region` objects: where in that
buffer something it understands stands, and the bytes it decodes to. The
finder scans every buffer with ``ravick_lib.scan`` and opens every region
again, recursively, within the limits below (each one guards against a
kind of hostile input).
"""

from __future__ import annotations

import io
from collections.abc import Buffer
from dataclasses import dataclass, field

MAX_DEPTH = 6
"""Regions inside regions opened at most (a container image layer holding a
wheel holding a module is four)."""
MAX_REGION = 64 << 20
"""Bytes one region (a stream, an archive member) may decode to."""
MAX_DECODED_TOTAL = 1 << 30
"""Bytes all regions of one input may decode to together."""
MAX_MEMBERS = 100_000
"""Members of one archive looked at."""
MAX_RATIO = 1100
"""Decoded bytes per encoded byte (past a slack of ``RATIO_SLACK``) before a
stream counts as a bomb; deflate itself cannot pass 1032."""
RATIO_SLACK = 1 << 20
MAX_HITS = 100_000
"""Signatures of one kind tried in one buffer."""
MAX_ATTEMPTS = 1_000_000
"""Signatures tried in all buffers of one input."""


@dataclass(frozen=True, slots=True)
class Region:
    """Decoded bytes and where their encoded form stands in a buffer.

    ``layer`` names the layer ("gzip", "zip", ...); ``label`` says which one
    (an archive member's name: untrusted text, never a path). ``cut`` is
    True when decoding stopped before the end (a cap, a broken stream).
    ``stored_at`` is where the bytes stand as they are in the buffer (a tar
    member, a stored zip member), so that what a scan of the whole buffer
    found there is reported once, with the member's name.
    """

    start: int
    end: int
    data: bytes
    layer: str
    label: str = ""
    cut: bool = False
    stored_at: int | None = None
    covers: bool = False
    """True when the region's whole span is an encoding of its bytes (a
    literal in source text): what a plain scan found inside it is a
    garbled copy, dropped in favour of what the region holds."""
    stripped: tuple[str, ...] = ()
    """Fields the writer of this form removed from the descriptors it holds
    (``("dependency",)`` for PHP and protobuf-es)."""

    @property
    def step(self) -> str:
        """The region as one step of a path: "gzip", "zip:a/b.class"."""
        return f"{self.layer}:{self.label}" if self.label else self.layer


@dataclass(slots=True)
class Budget:
    """What one input may still cost, and the notes on what hit a limit."""

    decoded_left: int = MAX_DECODED_TOTAL
    region_cap: int = MAX_REGION
    attempts_left: int = MAX_ATTEMPTS
    notes: list[str] = field(default_factory=list)
    decoded_total: int = 0

    def cap(self) -> int:
        """Bytes the next region may decode to."""
        return max(0, min(self.region_cap, self.decoded_left))

    def spend(self, decoded: int) -> None:
        """Counts bytes decoded."""
        self.decoded_left -= decoded
        self.decoded_total += decoded

    def note(self, text: str) -> None:
        """Adds a note for the report."""
        self.notes.append(text)

    def exhausted(self, where: str) -> bool:
        """True, with a note, when nothing more may be decoded."""
        if self.cap() > 0:
            return False
        self.note(
            f"streams and members past {where} not inflated: "
            f"{self.decoded_total} bytes decoded in all"
        )
        return True


class ViewFile(io.RawIOBase):
    """A read-only, seekable file over a buffer, without copying it."""

    def __init__(self, data: Buffer) -> None:
        super().__init__()
        self._view = memoryview(data)
        self._pos = 0

    def readable(self) -> bool:
        return True

    def seekable(self) -> bool:
        return True

    def readinto(self, buffer: memoryview) -> int:  # type: ignore[override]
        n = max(0, min(len(buffer), len(self._view) - self._pos))
        buffer[:n] = self._view[self._pos : self._pos + n]
        self._pos += n
        return n

    def seek(self, offset: int, whence: int = io.SEEK_SET) -> int:
        base = {io.SEEK_SET: 0, io.SEEK_CUR: self._pos, io.SEEK_END: len(self._view)}
        pos = base[whence] + offset
        if pos < 0:
            raise OSError("negative seek position")
        self._pos = pos
        return pos

    def tell(self) -> int:
        return self._pos
