"""The shape of a FileDescriptorProto on the wire, checked field by field.

Where a descriptor's pieces come apart (chunks stored once and shared
between descriptors), the bytes after a missing piece still parse for a
while, then break: a tag no message of descriptor.proto has, a wire type
that does not match the field, a length past its parent's end. ``walk``
says where the break is, and keeps the parser's state at every field, so
that a candidate piece can be tried from the field before the gap without
parsing the whole descriptor again.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from functools import cache
from typing import TYPE_CHECKING

if TYPE_CHECKING:  # imported on first use: the runtime's descriptors load slowly
    from google.protobuf.descriptor import Descriptor, FieldDescriptor

_VARINT, _FIXED64, _LENGTH, _FIXED32 = 0, 1, 2, 5
_MAX_DEPTH = 64


@dataclass(frozen=True, slots=True)
class Shape:
    """One message of descriptor.proto: the wire types of its fields, their
    message shapes, and whether extensions may add fields (options)."""

    wire: dict[int, tuple[int, ...]] = field(default_factory=dict)
    nested: dict[int, Shape] = field(default_factory=dict)
    strings: frozenset[int] = frozenset()
    open: bool = False


Frames = tuple[tuple[Shape, int], ...]
"""The messages being read, outermost first, each with where it ends; the
outermost, the descriptor itself, ends with the data (-1)."""


@dataclass(frozen=True, slots=True)
class Walk:
    """Where the shape broke (``len(data)`` when it did not), whether every
    message was closed there, and the state before each field read."""

    broke_at: int
    closed: bool
    states: list[tuple[int, Frames]]


@cache
def file_shape() -> Shape:
    """FileDescriptorProto's shape, as the protobuf runtime knows it."""
    from google.protobuf import descriptor_pb2

    shapes: dict[str, Shape] = {}
    return _shape(descriptor_pb2.FileDescriptorProto.DESCRIPTOR, shapes)


def _shape(message: Descriptor, shapes: dict[str, Shape]) -> Shape:
    from google.protobuf.descriptor import FieldDescriptor

    known = shapes.get(message.full_name)
    if known is not None:
        return known
    shape = Shape(open=bool(message.extension_ranges))
    shapes[message.full_name] = shape
    strings = set()
    for f in message.fields:
        shape.wire[f.number] = _wire_types(f)
        if f.type == FieldDescriptor.TYPE_MESSAGE and f.message_type is not None:
            shape.nested[f.number] = _shape(f.message_type, shapes)
        elif f.type == FieldDescriptor.TYPE_STRING:
            strings.add(f.number)
    object.__setattr__(shape, "strings", frozenset(strings))
    return shape


def _wire_types(f: FieldDescriptor) -> tuple[int, ...]:
    from google.protobuf.descriptor import FieldDescriptor

    t = f.type
    if t in (FieldDescriptor.TYPE_MESSAGE, FieldDescriptor.TYPE_STRING):
        return (_LENGTH,)
    if t == FieldDescriptor.TYPE_BYTES:
        return (_LENGTH,)
    if t in (
        FieldDescriptor.TYPE_FIXED64,
        FieldDescriptor.TYPE_SFIXED64,
        FieldDescriptor.TYPE_DOUBLE,
    ):
        single = _FIXED64
    elif t in (
        FieldDescriptor.TYPE_FIXED32,
        FieldDescriptor.TYPE_SFIXED32,
        FieldDescriptor.TYPE_FLOAT,
    ):
        single = _FIXED32
    else:
        single = _VARINT
    # A repeated number may be packed.
    repeated = getattr(f, "is_repeated", None)
    if repeated is None:  # before protobuf 6.31
        repeated = getattr(f, "label", 0) == FieldDescriptor.LABEL_REPEATED
    return (single, _LENGTH) if repeated else (single,)


def _varint(data: bytes, pos: int) -> tuple[int, int] | None:
    value = shift = 0
    for k in range(pos, min(pos + 10, len(data))):
        byte = data[k]
        value |= (byte & 0x7F) << shift
        if byte < 0x80:
            return value, k + 1
        shift += 7
    return None


def walk(
    data: bytes,
    start: int = 0,
    frames: Frames | None = None,
    *,
    keep_states: bool = True,
) -> Walk:
    """Reads ``data`` from ``start`` as a FileDescriptorProto's fields (a
    run of descriptors back to back reads as one) until the shape breaks."""
    stack = list(frames if frames is not None else ((file_shape(), -1),))
    states: list[tuple[int, Frames]] = []
    pos, n = start, len(data)
    while pos < n:
        shape, end = stack[-1]
        if pos == end:
            stack.pop()
            continue
        if keep_states:
            states.append((pos, tuple(stack)))
        read = _field(data, pos, shape, end if end >= 0 else n)
        if read is _TRUNCATED:
            break  # a field that the data ends inside
        if read is None:
            return Walk(pos, False, states)
        pos, nested = read
        if nested is not None:
            if len(stack) >= _MAX_DEPTH:
                return Walk(states[-1][0] if states else pos, False, states)
            stack.append(nested)
    closed = pos == n and all(end in (-1, n) for _, end in stack)
    return Walk(n, closed, states)


_TRUNCATED = (-1, None)


def _field(
    data: bytes, pos: int, shape: Shape, end: int
) -> tuple[int, tuple[Shape, int] | None] | None:
    """Where to read on after the field at ``pos`` (past it, or into it when
    it is a message, with the message's shape and end); None when it does
    not fit the shape, ``_TRUNCATED`` when the data ends inside it."""
    # Only a field of the outermost message still open at the data's end
    # can be one that the data ends inside.
    cut = _TRUNCATED if end == len(data) else None
    tag = _varint(data, pos)
    if tag is None:
        return cut if len(data) - pos < 10 else None
    number, wire = tag[0] >> 3, tag[0] & 7
    allowed = shape.wire.get(number)
    if number == 0 or (allowed is None and not shape.open):
        return None
    if allowed is not None and wire not in allowed:
        return None
    pos = tag[1]
    if wire == _VARINT:
        value = _varint(data, pos)
        if value is None:
            return cut
        after = value[1]
    elif wire == _FIXED64:
        after = pos + 8
    elif wire == _FIXED32:
        after = pos + 4
    elif wire == _LENGTH:
        length = _varint(data, pos)
        if length is None:
            return cut
        after = length[1] + length[0]
        if after <= end and number in shape.strings and allowed is not None:
            try:
                data[length[1] : after].decode("utf-8")
            except UnicodeDecodeError:
                return None
        nested = shape.nested.get(number) if allowed is not None else None
        if nested is not None and after <= end:
            return length[1], (nested, after)
    else:
        return None
    if after > end:
        return cut
    return after, None
