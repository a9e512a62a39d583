"""Options of descriptors as ``.proto`` assignments, read from their wire bytes.

The ``protobuf`` runtime keeps custom options (extensions of the ``*Options``
messages it does not know) as unknown fields, so the options are read here
straight from their serialized bytes: that gives known and unknown fields in
wire order, which is the order protoc keeps for custom options, and lets
every extension number be resolved against the descriptors at hand.
"""

from __future__ import annotations

import struct
from collections.abc import Iterator, Sequence
from dataclasses import dataclass, field

from google.protobuf import descriptor_pb2

from ravick._symbols import Extension, Symbols
from ravick._text import (
    float_text,
    is_dotted_name,
    is_identifier,
    quoted,
    type_key,
)
from ravick._wire import (
    FIXED32,
    FIXED64,
    LENGTH,
    START_GROUP,
    VARINT,
    WireField,
    _Malformed,
    _signed,
    _value,
    parse_wire,
)

FieldProto = descriptor_pb2.FieldDescriptorProto
MessageProto = descriptor_pb2.DescriptorProto
EnumProto = descriptor_pb2.EnumDescriptorProto
FileProto = descriptor_pb2.FileDescriptorProto

_MAX_DEPTH = 64
_INLINE_WIDTH = 72

_VARINT_TYPES = frozenset(
    {
        FieldProto.TYPE_INT32,
        FieldProto.TYPE_INT64,
        FieldProto.TYPE_UINT32,
        FieldProto.TYPE_UINT64,
        FieldProto.TYPE_SINT32,
        FieldProto.TYPE_SINT64,
        FieldProto.TYPE_BOOL,
        FieldProto.TYPE_ENUM,
    }
)
_FIXED64_TYPES = frozenset(
    {FieldProto.TYPE_DOUBLE, FieldProto.TYPE_FIXED64, FieldProto.TYPE_SFIXED64}
)
_FIXED32_TYPES = frozenset(
    {FieldProto.TYPE_FLOAT, FieldProto.TYPE_FIXED32, FieldProto.TYPE_SFIXED32}
)
_MESSAGE_TYPES = frozenset({FieldProto.TYPE_MESSAGE, FieldProto.TYPE_GROUP})

# Known option fields that source text cannot, or must not, assign.
_UNASSIGNABLE = {
    "google.protobuf.MessageOptions": frozenset({7}),  # map_entry: from map<K, V>
}
_UNINTERPRETED = 999


@dataclass(frozen=True, slots=True)
class Assignment:
    """One ``name = value`` option; a multi-line value has one entry a line."""

    name: str
    value: tuple[str, ...]

    def lines(self, suffix: str = "") -> list[str]:
        """The assignment as lines, ``suffix`` after the value."""
        first = f"{self.name} = {self.value[0]}"
        if len(self.value) == 1:
            return [first + suffix]
        return [first, *self.value[1:-1], self.value[-1] + suffix]


@dataclass(frozen=True, slots=True)
class RenderedOptions:
    """The printable assignments of one options message and what was left out."""

    assignments: tuple[Assignment, ...]
    left_out: tuple[str, ...]


_NOTHING = RenderedOptions((), ())


@dataclass
class _Renderer:
    symbols: Symbols
    assignments: list[Assignment] = field(default_factory=list)
    left_out: list[str] = field(default_factory=list)

    def top_level(self, message: str, data: bytes) -> None:
        fields = parse_wire(data)
        if fields is None:
            self.left_out.append(f"malformed {message}")
            return
        singular_counts = _counts(fields)
        unassignable = _UNASSIGNABLE.get(message, frozenset())
        for entry in fields:
            if entry.number == _UNINTERPRETED:
                continue  # compiled descriptors carry none; nothing to print
            if entry.number in unassignable:
                self.left_out.append(f"{entry.number} of {message} (implied only)")
                continue
            self.assign("", message, entry, singular_counts[entry.number] > 1)

    def assign(
        self,
        prefix: str,
        message: str,
        entry: WireField,
        split: bool,
        custom: bool = False,
        depth: int = 0,
    ) -> None:
        """Adds ``entry`` of ``message`` as assignments named under ``prefix``.

        ``split`` says the field has more entries at this level; ``custom``
        that ``message`` sits inside a custom option, whose parts protoc keeps
        as assigned instead of merging them.
        """
        known = self.symbols.field(message, entry.number)
        if known is not None and not _is_extension_scope(message, known):
            if not is_identifier(known.name):
                self.left_out.append(f"{prefix}{entry.number} of {message}")
                return
            name = prefix + known.name
            where = _field_scope(self.symbols, message)
            group = self.symbols.delimited(known, *where)
            if _descend(known, entry, group) and isinstance(entry.value, bytes):
                type_name = type_key(known.type_name)
                if custom:
                    self.descend_path(name, type_name, entry.value, depth)
                else:
                    self.descend(name, type_name, entry.value)
                return
            self.add(name, known, entry, where)
            return
        ext = self.symbols.extension(message, entry.number)
        if ext is None or not is_dotted_name(ext.full_name):
            self.left_out.append(f"{prefix}{entry.number} of {message}")
            return
        name = f"{prefix}(.{ext.full_name})"
        if not self.symbols.importable(ext):
            value = value_text(ext.field, entry, self.symbols, [], 0)
            text = " ".join(value) if value else "?"
            self.left_out.append(f"{name} = {text} ({ext.file} is not imported)")
            return
        where = _extension_scope(ext)
        group = self.symbols.delimited(ext.field, *where)
        if not (split or custom):
            notes: list[str] = []
            value = value_text(ext.field, entry, self.symbols, notes, 0, group)
            if value is not None and not notes:
                self.assignments.append(Assignment(name, value))
                return
        # A path also reaches what an aggregate cannot name, such as an
        # extension that a nearer name hides inside the aggregate.
        if _descend(ext.field, entry, group) and isinstance(entry.value, bytes):
            type_name = type_key(ext.field.type_name)
            self.descend_path(name, type_name, entry.value, depth)
            return
        self.add(name, ext.field, entry, where)

    def descend(self, name: str, message: str, data: bytes) -> None:
        """Assigns each field of a known options sub-message by its path."""
        fields = parse_wire(data)
        if fields is None:
            self.left_out.append(f"malformed {name}")
            return
        if not fields:
            self.assignments.append(Assignment(name, ("{}",)))
        counts = _counts(fields)
        for entry in fields:
            self.assign(name + ".", message, entry, counts[entry.number] > 1)

    def descend_path(self, name: str, message: str, data: bytes, depth: int) -> None:
        """Assigns one separately set part of a custom message option by its path.

        protoc keeps each ``(opt).a.b = v`` as its own wire entry holding one
        chain of fields, so one entry prints back as one such path.
        """
        fields = parse_wire(data)
        if (
            fields is not None
            and len(fields) == 1
            and depth < _MAX_DEPTH
            and not self.packed(message, fields[0])
            and not self.symbols.is_message_set(message)
        ):
            self.assign(name + ".", message, fields[0], True, True, depth + 1)
            return
        notes: list[str] = []
        value = aggregate(message, data, self.symbols, notes, 1)
        self.left_out.extend(f"{name}: {note}" for note in notes)
        if value is None:
            self.left_out.append(f"{name} (no aggregate of {message})")
            return
        self.assignments.append(Assignment(name, value))

    def packed(self, message: str, entry: WireField) -> bool:
        """Whether ``entry`` of ``message`` holds repeated scalars packed:
        paths would store them one by one, an aggregate packs them again."""
        proto = self.symbols.field(message, entry.number)
        if proto is None:
            ext = self.symbols.extension(message, entry.number)
            proto = None if ext is None else ext.field
        return (
            proto is not None
            and _packed(proto, entry)
            and isinstance(entry.value, bytes)
        )

    def add(
        self,
        name: str,
        proto: FieldProto,
        entry: WireField,
        where: tuple[str, str | None] = ("", None),
    ) -> None:
        if _packed(proto, entry) and isinstance(entry.value, bytes):
            for element in _unpack(proto, entry.value):
                self.add(name, proto, element)
            return
        notes: list[str] = []
        group = self.symbols.delimited(proto, *where)
        value = value_text(proto, entry, self.symbols, notes, 0, group)
        self.left_out.extend(f"{name}: {note}" for note in notes)
        if value is None:
            self.left_out.append(f"{name} ({_describe(entry)})")
            return
        self.assignments.append(Assignment(name, value))


def _field_scope(symbols: Symbols, message: str) -> tuple[str, str | None]:
    """Where a field of ``message`` is declared: the message and its file."""
    return message, symbols.field_file(message)


def _extension_scope(ext: Extension) -> tuple[str, str | None]:
    """Where an extension is declared: its scope and its file."""
    return ext.full_name.rpartition(".")[0], ext.file


def _is_extension_scope(message: str, known: FieldProto) -> bool:
    # Fields of an options message never come from extensions; guard anyway
    # against a context file that redefines one with an extendee.
    return bool(known.extendee) and type_key(known.extendee) != message


def _counts(fields: list[WireField]) -> dict[int, int]:
    counts: dict[int, int] = {}
    for entry in fields:
        counts[entry.number] = counts.get(entry.number, 0) + 1
    return counts


def _descend(proto: FieldProto, entry: WireField, group: bool) -> bool:
    return (
        proto.type == FieldProto.TYPE_MESSAGE
        and proto.label != FieldProto.LABEL_REPEATED
        and entry.wire_type == (START_GROUP if group else LENGTH)
    )


def _describe(entry: WireField) -> str:
    return f"field {entry.number}, wire type {entry.wire_type}"


def left_out_text(left_out: Sequence[str]) -> str:
    """The note on the options of one message left out."""
    return "options left out, no printable definition: " + ", ".join(left_out)


def render_options(message: str, data: bytes, symbols: Symbols) -> RenderedOptions:
    """Assignments for the options message ``message`` serialized as ``data``.

    Assignments come in wire order; known sub-messages such as ``features``
    are assigned field by field, custom options by name, message values as
    text-format aggregates. Fields that cannot be printed are named in
    ``left_out``.
    """
    if not data:
        return _NOTHING
    # Files repeat the same options often, and the answer depends only on
    # the bytes and the names the file sees.
    key = (message, data)
    rendered = symbols.index.renders.get(key) or symbols.rendered.get(key)
    if rendered is None:
        before = symbols.file_lookups
        renderer = _Renderer(symbols)
        renderer.top_level(message, data)
        rendered = RenderedOptions(
            tuple(renderer.assignments), tuple(renderer.left_out)
        )
        shared = symbols.file_lookups == before
        (symbols.index.renders if shared else symbols.rendered)[key] = rendered
    return rendered


def _packed(proto: FieldProto, entry: WireField) -> bool:
    return entry.wire_type == LENGTH and (
        proto.type in _VARINT_TYPES
        or proto.type in _FIXED32_TYPES
        or proto.type in _FIXED64_TYPES
    )


def _unpack(proto: FieldProto, data: bytes) -> Iterator[WireField]:
    if proto.type in _VARINT_TYPES:
        wire_type = VARINT
    else:
        wire_type = FIXED32 if proto.type in _FIXED32_TYPES else FIXED64
    pos = 0
    while pos < len(data):
        try:
            value, pos = _value(data, pos, 1, wire_type)
        except _Malformed:
            return
        yield WireField(1, wire_type, value)


def _expected_wire_type(proto: FieldProto) -> int:
    if proto.type in _VARINT_TYPES:
        return VARINT
    if proto.type in _FIXED64_TYPES:
        return FIXED64
    if proto.type in _FIXED32_TYPES:
        return FIXED32
    if proto.type == FieldProto.TYPE_GROUP:
        return START_GROUP
    return LENGTH


def value_text(
    proto: FieldProto,
    entry: WireField,
    symbols: Symbols,
    notes: list[str],
    depth: int,
    delimited: bool = False,
) -> tuple[str, ...] | None:
    """The value of ``entry`` typed as ``proto``, as one or more lines;
    ``delimited`` when a message field is encoded as a group (editions).

    Returns None when the value has no faithful text (wrong wire type, an
    enum number without a name); parts dropped inside aggregates go to
    ``notes``.
    """
    expected = START_GROUP if delimited else _expected_wire_type(proto)
    if entry.wire_type != expected:
        return None
    if isinstance(entry.value, bytes):
        if proto.type in _MESSAGE_TYPES:
            type_name = type_key(proto.type_name)
            return aggregate(type_name, entry.value, symbols, notes, depth + 1)
        return (quoted(entry.value, text=proto.type == FieldProto.TYPE_STRING),)
    scalar = _scalar_text(proto, entry.value, symbols)
    # In an aggregate protoc takes a number that an open enum has no name
    # for (an option's own value must be a name).
    if (
        scalar is None
        and proto.type == FieldProto.TYPE_ENUM
        and depth > 0
        and symbols.enum_is_open(type_key(proto.type_name))
    ):
        scalar = str(_signed(entry.value, 32))
    return None if scalar is None else (scalar,)


def _scalar_text(proto: FieldProto, raw: int, symbols: Symbols) -> str | None:
    kind = proto.type
    if kind == FieldProto.TYPE_BOOL:
        return "true" if raw else "false"
    if kind == FieldProto.TYPE_ENUM:
        return symbols.enum_value_name(type_key(proto.type_name), _signed(raw, 32))
    if kind == FieldProto.TYPE_FLOAT:
        return float_text(struct.unpack("<f", struct.pack("<I", raw))[0], single=True)
    if kind == FieldProto.TYPE_DOUBLE:
        return float_text(struct.unpack("<d", struct.pack("<Q", raw))[0])
    return str(_integer(kind, raw))


def _integer(kind: int, raw: int) -> int:
    if kind in (FieldProto.TYPE_INT64, FieldProto.TYPE_SFIXED64):
        return _signed(raw, 64)
    if kind in (FieldProto.TYPE_INT32, FieldProto.TYPE_SFIXED32):
        return _signed(raw, 32)
    if kind in (FieldProto.TYPE_UINT32, FieldProto.TYPE_FIXED32):
        return raw & 0xFFFFFFFF
    if kind == FieldProto.TYPE_SINT32:
        raw &= 0xFFFFFFFF
        return (raw >> 1) ^ -(raw & 1)
    if kind == FieldProto.TYPE_SINT64:
        return (raw >> 1) ^ -(raw & 1)
    return raw


def aggregate(
    message: str, data: bytes, symbols: Symbols, notes: list[str], depth: int
) -> tuple[str, ...] | None:
    """``data`` as a text-format aggregate of ``message``, ``{ ... }``.

    Fields in wire order; extensions as ``[full.name]``. Fields without a
    known definition are dropped and named in ``notes``.
    """
    fields = parse_wire(data)
    if fields is None or depth > _MAX_DEPTH or symbols.message(message) is None:
        return None
    entries = [_aggregate_entry(message, e, symbols, notes, depth) for e in fields]
    body = [line for lines in entries for line in lines]
    if not body:
        return ("{}",)
    inline = "{ " + " ".join(body) + " }"
    if len(inline) <= _INLINE_WIDTH and all(len(lines) <= 1 for lines in entries):
        return (inline,)
    return ("{", *("  " + line for line in body), "}")


def _message_set_item(entry: WireField) -> tuple[int, WireField] | None:
    """The extension number and message of a MessageSet item (group 1 holding
    type_id 2 and message 3), or None for anything else."""
    if entry.number != 1 or entry.wire_type != START_GROUP:
        return None
    fields = parse_wire(entry.value) if isinstance(entry.value, bytes) else None
    if fields is None or len(fields) != 2:
        return None
    type_id, payload = sorted(fields, key=lambda f: f.number)
    if (type_id.number, type_id.wire_type) != (2, VARINT) or (
        payload.number,
        payload.wire_type,
    ) != (3, LENGTH):
        return None
    assert isinstance(type_id.value, int)
    return type_id.value, WireField(type_id.value, LENGTH, payload.value)


def _aggregate_entry(
    message: str, entry: WireField, symbols: Symbols, notes: list[str], depth: int
) -> list[str]:
    item = _message_set_item(entry) if symbols.is_message_set(message) else None
    if item is not None:
        entry = item[1]
    proto = None if item is not None else symbols.field(message, entry.number)
    if proto is not None and is_identifier(proto.name):
        name = proto.name
        where = _field_scope(symbols, message)
    else:
        ext = symbols.extension(message, entry.number)
        if ext is None or not is_dotted_name(ext.full_name):
            notes.append(f"{_describe(entry)} of {message}")
            return []
        if not symbols.importable(ext):
            notes.append(f"[{ext.full_name}] ({ext.file} is not imported)")
            return []
        if not symbols.found_from(ext.full_name, message):
            notes.append(f"[{ext.full_name}], which another name hides here")
            return []
        proto, name = ext.field, f"[{ext.full_name}]"
        where = _extension_scope(ext)
    if _packed(proto, entry) and isinstance(entry.value, bytes):
        values = [
            value_text(proto, v, symbols, notes, depth)
            for v in _unpack(proto, entry.value)
        ]
        if any(v is None for v in values):
            notes.append(f"{name} ({_describe(entry)})")
            return []
        return [f"{name}: [" + ", ".join(v[0] for v in values if v) + "]"]
    group = symbols.delimited(proto, *where)
    value = value_text(proto, entry, symbols, notes, depth, group)
    if value is None:
        notes.append(f"{name} ({_describe(entry)})")
        return []
    if entry.value in (0, b"") and symbols.implicit_presence(message, proto):
        notes.append(f"{name}: {value[0]}, a zero that an aggregate cannot keep")
        return []
    separator = " " if proto.type in _MESSAGE_TYPES else ": "
    if len(value) == 1:
        return [f"{name}{separator}{value[0]}"]
    return [f"{name}{separator}{value[0]}", *value[1:]]
