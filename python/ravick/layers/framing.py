"""Length framing: where the bytes before a descriptor say how long it is.

``ravick_lib.scan`` reads a descriptor for as long as the bytes after it
parse as more of its fields, so what a container puts after it can become
part of it (in a ``.pyc`` file the module's name, a marshal string, reads as
field 15). Two containers state the length:

- a marshal bytes object (``.pyc`` files, PyInstaller archives): type ``s``
  or ``\\xf3``, then a little-endian u32 length;
- a ``FileDescriptorSet`` (``protoc -o`` output, gogo's description sets,
  the sets PHP code embeds): field 1, ``0A``, then a varint length.

When a range starts right after such a length and the framed prefix is a
whole descriptor by itself, the framed range is reported, and the rest of
the original range is scanned again. Nothing else is ever trimmed.
"""

from __future__ import annotations

import ravick_lib

DESCRIPTOR_SET = "descriptor-set"
_MARSHAL_BYTES = (0x73, 0xF3)
_MAX_VARINT = 5


def framed(data: bytes, ranges: list[tuple[int, int]]) -> list[tuple[int, int, bool]]:
    """``ranges`` with framed ends; True marks an entry of a descriptor set."""
    out: list[tuple[int, int, bool]] = []
    for start, end in ranges:
        _frame(data, start, end, out)
    return out


def _frame(data: bytes, start: int, end: int, out: list[tuple[int, int, bool]]) -> None:
    in_set = False
    for length, is_set in _stated_lengths(data, start):
        if length == end - start:
            in_set = in_set or is_set
        elif 0 < length < end - start and _whole(data, start, start + length):
            out.append((start, start + length, is_set))
            rest = ravick_lib.scan(data[start + length : end])
            base = start + length
            for s, e in rest:
                _frame(data, base + s, base + e, out)
            return
    out.append((start, end, in_set))


def _stated_lengths(data: bytes, start: int) -> list[tuple[int, bool]]:
    """Lengths that the bytes before ``start`` state, with their kind."""
    lengths: list[tuple[int, bool]] = []
    if start >= 5 and data[start - 5] in _MARSHAL_BYTES:
        lengths.append((int.from_bytes(data[start - 4 : start], "little"), False))
    for size in range(1, _MAX_VARINT + 1):
        at = start - size
        if at < 1 or data[at - 1] != 0x0A:
            continue
        value = _varint(data, at, start)
        if value is not None:
            lengths.append((value, True))
    return lengths


def _varint(data: bytes, begin: int, end: int) -> int | None:
    """The varint that fills ``data[begin:end]`` exactly, minimally encoded."""
    value = 0
    for k, byte in enumerate(data[begin:end]):
        last = begin + k == end - 1
        if (byte & 0x80 == 0) != last:
            return None
        value |= (byte & 0x7F) << (7 * k)
    if end - begin > 1 and data[end - 1] == 0:
        return None  # not minimal
    return value


def _whole(data: bytes, start: int, end: int) -> bool:
    return ravick_lib.scan(data[start:end]) == [(0, end - start)]
