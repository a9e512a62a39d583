"""Python generated code: ``AddSerializedFile(b'...')`` (protobuf 3.20 on),
``serialized_pb=b'...'`` (older) and ``serialized_pb=_b('...')`` (3.0),
with adjacent literals joined."""

from __future__ import annotations

from collections.abc import Iterator

from ravick.layers import Budget, Region
from ravick.layers._literals import C_ESCAPES, Escapes, read_literal, skip_space
from ravick.layers._source import literal_regions

LAYER = "python-literal"
ANCHORS = ("AddSerializedFile(", "serialized_pb=")
ESCAPES = Escapes(
    simple=C_ESCAPES,
    octal_digits=3,
    hex_digits=(2, 2),
    line_continuation=True,
)


def read(text: str, at: int) -> tuple[bytes, int] | None:
    """The bytes of the literal (or adjacent literals) at ``at``."""
    k = skip_space(text, at)
    if text.startswith("_b(", k):
        k = skip_space(text, k + 3)
    parts: list[bytes] = []
    end = k
    while True:
        k = skip_space(text, end)
        if k < len(text) and text[k] in "bB":
            k += 1
        got = read_literal(text, k, ESCAPES)
        if got is None:
            break
        parts.append(got[0])
        end = got[1]
    return (b"".join(parts), end) if parts else None


def regions(text: str, budget: Budget) -> Iterator[Region]:
    """Every descriptor literal of Python generated code in ``text``."""
    yield from literal_regions(text, ANCHORS, read, LAYER, budget)
