"""TypeScript and JavaScript from protobuf-es v2: ``fileDesc("<base64>",
[deps])``, standard base64 without padding; the literal survives
minification. The generator removes the dependency list before encoding:
its descriptors are marked."""

from __future__ import annotations

from collections.abc import Iterator

from ravick.layers import Budget, Region
from ravick.layers._literals import Escapes, read_literal, skip_space
from ravick.layers._source import from_base64, literal_regions

LAYER = "es-literal"
ANCHORS = ("fileDesc(",)
STRIPPED = ("dependency",)
ESCAPES = Escapes(simple={"\\": 0x5C, '"': 0x22, "'": 0x27})


def read(text: str, at: int) -> tuple[bytes, int] | None:
    got = read_literal(text, skip_space(text, at), ESCAPES)
    if got is None:
        return None
    data = from_base64(got[0])
    return None if data is None else (data, got[1])


def regions(text: str, budget: Budget) -> Iterator[Region]:
    """Every descriptor literal of protobuf-es code in ``text``."""
    yield from literal_regions(text, ANCHORS, read, LAYER, budget, STRIPPED)
