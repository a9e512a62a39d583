"""C++ generated code: ``descriptor_table_protodef_<file>[] ... = { "..."
"..." };`` with C escapes (octal, ``\\n``, ``\\"``, ``\\'``, ``\\\\``,
``\\?`` of the trigraph guards), and above 65,535 bytes a char array
``{ '\\n', '\\022', ... }``."""

from __future__ import annotations

import re
from collections.abc import Iterator

from ravick.layers import Budget, Region
from ravick.layers._literals import (
    C_ESCAPES,
    Escapes,
    read_joined,
    read_literal,
    skip_space,
)
from ravick.layers._source import literal_regions

LAYER = "cpp-literal"
ANCHORS = ("descriptor_table_protodef_",)
_DEFINITION = re.compile(r"\w+\[\]\s*(?:\w+\(\s*\w+\s*\))?\s*=", re.ASCII)
ESCAPES = Escapes(
    simple={**C_ESCAPES, "?": 0x3F},
    octal_digits=3,
    hex_digits=(1, 2),
)


def read(text: str, at: int) -> tuple[bytes, int] | None:
    # The definition, not a use: the name, "[]", maybe a section attribute,
    # "=", and in newer releases a brace.
    match = _DEFINITION.match(text, at)
    if match is None:
        return None
    k = skip_space(text, match.end())
    if text.startswith("{", k):
        k = skip_space(text, k + 1)
    if text.startswith('"', k):
        return read_joined(text, k, ESCAPES)
    return _char_array(text, k)


def _char_array(text: str, k: int) -> tuple[bytes, int] | None:
    out = bytearray()
    while True:
        got = read_literal(text, k, ESCAPES)
        if got is None or len(got[0]) != 1:
            return None
        out += got[0]
        k = skip_space(text, got[1])
        if text.startswith(",", k):
            k = skip_space(text, k + 1)
        if text.startswith("}", k):
            return bytes(out), k + 1


def regions(text: str, budget: Budget) -> Iterator[Region]:
    """Every descriptor literal of C++ generated code in ``text``."""
    yield from literal_regions(text, ANCHORS, read, LAYER, budget)
