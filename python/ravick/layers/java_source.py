"""Java generated code: ``String[] descriptorData = { "..." + "...", "..." };``
with Java escapes (octal, ``\\uXXXX``), each character one byte
(ISO-8859-1), the array's elements joined."""

from __future__ import annotations

from collections.abc import Iterator

from ravick.layers import Budget, Region
from ravick.layers._literals import Escapes, read_joined, skip_space
from ravick.layers._source import after, literal_regions

LAYER = "java-literal"
ANCHORS = ("descriptorData",)
ESCAPES = Escapes(
    simple={
        "\\": 0x5C,
        "'": 0x27,
        '"': 0x22,
        "b": 8,
        "f": 12,
        "n": 10,
        "r": 13,
        "t": 9,
        "s": 0x20,
    },
    octal_digits=3,
    unicode="latin1",
)


def read(text: str, at: int) -> tuple[bytes, int] | None:
    k = after(text, at, "{", within=40)
    if k == -1:
        return None
    parts: list[bytes] = []
    while True:
        got = read_joined(text, skip_space(text, k), ESCAPES, joiner="+")
        if got is None:
            return None
        parts.append(got[0])
        k = skip_space(text, got[1])
        if text.startswith(",", k):
            k = skip_space(text, k + 1)
        if text.startswith("}", k):
            return b"".join(parts), k + 1


def regions(text: str, budget: Budget) -> Iterator[Region]:
    """Every descriptor literal of Java generated code in ``text``."""
    yield from literal_regions(text, ANCHORS, read, LAYER, budget)
