"""The protobuf wire format, read field by field from serialized bytes."""

from __future__ import annotations

from dataclasses import dataclass

VARINT, FIXED64, LENGTH, START_GROUP, END_GROUP, FIXED32 = 0, 1, 2, 3, 4, 5
_U64 = (1 << 64) - 1


@dataclass(frozen=True, slots=True)
class WireField:
    """One field as it stands on the wire: a varint, fixed or raw value.

    ``value`` is an int for varint and fixed wire types, and the payload bytes
    for length-delimited fields and groups (a group without its end tag).
    """

    number: int
    wire_type: int
    value: int | bytes


def _varint(data: bytes, pos: int) -> tuple[int, int]:
    result = 0
    shift = 0
    while pos < len(data) and shift < 70:
        b = data[pos]
        pos += 1
        result |= (b & 0x7F) << shift
        if b < 0x80:
            return result & _U64, pos
        shift += 7
    raise _Malformed


class _Malformed(Exception):
    pass


def parse_wire(data: bytes) -> list[WireField] | None:
    """Top-level fields of ``data`` in wire order, or None if it is malformed."""
    fields: list[WireField] = []
    pos = 0
    try:
        while pos < len(data):
            tag, pos = _varint(data, pos)
            number, wire_type = tag >> 3, tag & 7
            if number == 0:
                return None
            value, pos = _value(data, pos, number, wire_type)
            fields.append(WireField(number, wire_type, value))
    except _Malformed:
        return None
    return fields


def _value(
    data: bytes, pos: int, number: int, wire_type: int
) -> tuple[int | bytes, int]:
    if wire_type == VARINT:
        return _varint(data, pos)
    if wire_type in (FIXED64, FIXED32):
        size = 8 if wire_type == FIXED64 else 4
        if pos + size > len(data):
            raise _Malformed
        return int.from_bytes(data[pos : pos + size], "little"), pos + size
    if wire_type == LENGTH:
        size, pos = _varint(data, pos)
        if pos + size > len(data):
            raise _Malformed
        return data[pos : pos + size], pos + size
    if wire_type == START_GROUP:
        end, after = _group_end(data, pos, number)
        return data[pos:end], after
    raise _Malformed


def _group_end(data: bytes, pos: int, number: int) -> tuple[int, int]:
    """Offset of the end tag closing group ``number`` at ``pos``, and after it."""
    open_groups = [number]
    while pos < len(data):
        start = pos
        tag, pos = _varint(data, pos)
        inner, wire_type = tag >> 3, tag & 7
        if wire_type == END_GROUP:
            if inner != open_groups.pop():
                raise _Malformed
            if not open_groups:
                return start, pos
        elif wire_type == START_GROUP:
            open_groups.append(inner)
        else:
            _, pos = _value(data, pos, inner, wire_type)
    raise _Malformed


def _signed(value: int, bits: int) -> int:
    value &= (1 << bits) - 1
    return value - (1 << bits) if value >> (bits - 1) else value
