"""What every generated-source layer shares: finding its anchors in text and
turning each literal read after one into a region."""

from __future__ import annotations

import base64
import binascii
import re
from collections.abc import Callable, Iterator, Sequence

from ravick.layers import Budget, Region

MAX_ANCHORS = 100_000
"""Anchors of one kind looked at in one buffer."""
TEXT_SAMPLE = 8192
"""Bytes at the start of a buffer that must hold no NUL for it to be text."""

Reader = Callable[[str, int], tuple[bytes, int] | None]
"""Reads the literal after an anchor: its bytes and where it ends."""

_HEX_BYTE = re.compile(r"0[xX]([0-9a-fA-F]{1,2})")
_BYTE_LIST = re.compile(r"(?:\s|//[^\n]*|0[xX][0-9a-fA-F]{1,2}|,)*", re.ASCII)


def looks_like_text(data: bytes) -> bool:
    """True when ``data`` may be source text: binaries hold NUL bytes early,
    and PHP code, whose literals may hold raw bytes, says what it is."""
    return data[:5] == b"<?php" or b"\0" not in data[:TEXT_SAMPLE]


def literal_regions(
    text: str,
    anchors: Sequence[str],
    read: Reader,
    layer: str,
    budget: Budget,
    stripped: tuple[str, ...] = (),
) -> Iterator[Region]:
    """A region for every literal that ``read`` decodes after an anchor."""
    for anchor in anchors:
        at = text.find(anchor)
        for count in range(MAX_ANCHORS + 1):
            if at == -1:
                break
            if count == MAX_ANCHORS:
                budget.note(f"{layer}: more than {MAX_ANCHORS} {anchor!r} not read")
                break
            end = at + len(anchor)
            got = read(text, end) if budget.cap() > 0 else None
            if got is not None and got[0]:
                data, end = got
                data = data[: budget.cap()]
                budget.spend(len(data))
                yield Region(at, end, data, layer, covers=True, stripped=stripped)
            at = text.find(anchor, max(end, at + 1))


def after(text: str, at: int, token: str, within: int = 200) -> int:
    """The offset just past ``token`` if it comes within ``within``
    characters of ``at``, else -1."""
    k = text.find(token, at, at + within + len(token))
    return -1 if k == -1 else k + len(token)


def byte_list(text: str, at: int) -> tuple[bytes, int] | None:
    """A brace list of hex bytes (``0x0a, 0x0e, ...``) starting at ``at``,
    just after its ``{``; its bytes and the end past ``}``."""
    match = _BYTE_LIST.match(text, at)
    if match is None or not text.startswith("}", match.end()):
        return None
    values = bytes(int(h, 16) for h in _HEX_BYTE.findall(text, at, match.end()))
    return values, match.end() + 1


def from_base64(text: bytes) -> bytes | None:
    """Standard base64, padded or not; None when it is not."""
    try:
        return base64.b64decode(text + b"=" * (-len(text) % 4), validate=True)
    except (binascii.Error, ValueError):
        return None
