"""Rust generated code (rust-protobuf): ``static file_descriptor_proto_data:
&'static [u8] = b"\\`` and continued lines with ``\\xHH``, ``\\n``,
``\\t``, ``\\\\``, ``\\"``, ``\\0``."""

from __future__ import annotations

from collections.abc import Iterator

from ravick.layers import Budget, Region
from ravick.layers._literals import Escapes, read_literal
from ravick.layers._source import after, literal_regions

LAYER = "rust-literal"
ANCHORS = ("file_descriptor_proto_data",)
ESCAPES = Escapes(
    simple={"\\": 0x5C, "'": 0x27, '"': 0x22, "n": 10, "r": 13, "t": 9, "0": 0},
    hex_digits=(2, 2),
    line_continuation=True,
)


def read(text: str, at: int) -> tuple[bytes, int] | None:
    k = after(text, at, 'b"', within=80)
    return None if k == -1 else read_literal(text, k - 1, ESCAPES)


def regions(text: str, budget: Budget) -> Iterator[Region]:
    """Every descriptor literal of Rust generated code in ``text``."""
    yield from literal_regions(text, ANCHORS, read, LAYER, budget)
