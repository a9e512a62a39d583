"""PHP generated code: ``internalAddGeneratedFile(hex2bin("..."), true)``
(up to 3.13), ``'...'`` raw bytes with ``\\\\`` and ``\\'`` escaped (3.14
to 25.x), ``"..."`` with ``\\xHH`` (26 on). The payload is a
FileDescriptorSet of one file whose first import other than
descriptor.proto the generator dropped: its descriptors are marked."""

from __future__ import annotations

import binascii
from collections.abc import Iterator

from ravick.layers import Budget, Region
from ravick.layers._literals import Escapes, read_literal, skip_space
from ravick.layers._source import literal_regions

LAYER = "php-literal"
ANCHORS = ("internalAddGeneratedFile(",)
STRIPPED = ("dependency",)
SINGLE = Escapes(simple={"\\": 0x5C, "'": 0x27}, keep_unknown=True)
DOUBLE = Escapes(
    simple={
        "\\": 0x5C,
        "$": 0x24,
        '"': 0x22,
        "e": 0x1B,
        "f": 12,
        "n": 10,
        "r": 13,
        "t": 9,
        "v": 11,
    },
    octal_digits=3,
    hex_digits=(1, 2),
    unicode="utf8",
    keep_unknown=True,
)


def read(text: str, at: int) -> tuple[bytes, int] | None:
    k = skip_space(text, at)
    if text.startswith("hex2bin(", k):
        got = read_literal(text, skip_space(text, k + 8), SINGLE)
        if got is None:
            return None
        try:
            return binascii.unhexlify(got[0]), got[1]
        except (binascii.Error, ValueError):
            return None
    if text.startswith("'", k):
        return read_literal(text, k, SINGLE)
    return read_literal(text, k, DOUBLE)


def regions(text: str, budget: Budget) -> Iterator[Region]:
    """Every descriptor set literal of PHP generated code in ``text``."""
    yield from literal_regions(text, ANCHORS, read, LAYER, budget, STRIPPED)
