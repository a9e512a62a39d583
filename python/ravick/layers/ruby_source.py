"""Ruby generated code: ``descriptor_data = "..."`` (protobuf 23 on; ``\\#``
before ``{``, ``$`` and ``@``), and the raw bytes after ``__END__`` that
descriptor.proto's own file reads back with ``File.binread(__FILE__)``."""

from __future__ import annotations

from collections.abc import Iterator

from ravick.layers import Budget, Region
from ravick.layers._literals import C_ESCAPES, Escapes, read_literal, skip_space
from ravick.layers._source import after, literal_regions

LAYER = "ruby-literal"
ANCHORS = ("descriptor_data",)
_RAW_ANCHOR = "File.binread(__FILE__)"
ESCAPES = Escapes(
    simple={**C_ESCAPES, "#": 0x23, "e": 0x1B, "s": 0x20},
    octal_digits=3,
    hex_digits=(1, 2),
    unicode="utf8",
)
_END = "\n__END__\n"


def read(text: str, at: int) -> tuple[bytes, int] | None:
    k = after(text, at, "=", within=8)
    if k == -1:
        return None
    return read_literal(text, skip_space(text, k), ESCAPES)


def regions(text: str, budget: Budget) -> Iterator[Region]:
    """Every descriptor literal of Ruby generated code in ``text``."""
    yield from literal_regions(text, ANCHORS, read, LAYER, budget)
    if _RAW_ANCHOR in text:
        end = text.find(_END)
        if end != -1 and budget.cap() > 0:
            data = text[end + len(_END) :].encode("latin-1")[: budget.cap()]
            budget.spend(len(data))
            start = end + len(_END)
            yield Region(end, len(text), data, LAYER, stored_at=start, covers=True)
