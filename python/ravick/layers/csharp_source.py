"""C# generated code: ``Convert.FromBase64String(string.Concat("...",
"..."))``, padded base64 in literals of 60 characters."""

from __future__ import annotations

from collections.abc import Iterator

from ravick.layers import Budget, Region
from ravick.layers._literals import Escapes, read_joined, skip_space
from ravick.layers._source import from_base64, literal_regions

LAYER = "csharp-literal"
ANCHORS = ("FromBase64String(",)
ESCAPES = Escapes(simple={"\\": 0x5C, '"': 0x22, "'": 0x27, "n": 10})


def read(text: str, at: int) -> tuple[bytes, int] | None:
    k = skip_space(text, at)
    if text.startswith("string.Concat(", k):
        k += len("string.Concat(")
    got = read_joined(text, skip_space(text, k), ESCAPES, joiner=",")
    if got is None:
        return None
    data = from_base64(got[0])
    return None if data is None else (data, got[1])


def regions(text: str, budget: Budget) -> Iterator[Region]:
    """Every descriptor literal of C# generated code in ``text``."""
    yield from literal_regions(text, ANCHORS, read, LAYER, budget)
