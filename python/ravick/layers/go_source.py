"""Go generated code: ``rawDesc = []byte{0x0a, ...}``, ``string([]byte{...})``
and (protoc-gen-go 1.36.6 on) ``const ... = "" + "\\n\\x0e..." + ...`` with
Go's escapes; and the gzip byte arrays of golang/protobuf 1.3 and gogo
(``var fileDescriptor_<hash> = []byte{...}``, ``var gzipped = []byte{...}``),
which the gzip layer then opens."""

from __future__ import annotations

from collections.abc import Iterator

from ravick.layers import Budget, Region
from ravick.layers._literals import C_ESCAPES, Escapes, read_joined, skip_space
from ravick.layers._source import after, byte_list, literal_regions

LAYER = "go-literal"
ANCHORS = ("_rawDesc =", "_rawDesc=", "var fileDescriptor", "gzipped =")
ESCAPES = Escapes(
    simple=C_ESCAPES,
    octal_digits=3,
    hex_digits=(2, 2),
    unicode="utf8",
)


def read(text: str, at: int) -> tuple[bytes, int] | None:
    k = skip_space(text, at)
    if text.startswith('"', k):
        return read_joined(text, k, ESCAPES, joiner="+")
    k = after(text, k, "[]byte{", within=60)
    if k == -1:
        return None
    return byte_list(text, k)


def regions(text: str, budget: Budget) -> Iterator[Region]:
    """Every descriptor literal of Go generated code in ``text``."""
    yield from literal_regions(text, ANCHORS, read, LAYER, budget)
