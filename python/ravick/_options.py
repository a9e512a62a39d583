"""Options of descriptors as ``.proto`` assignments, read from their wire bytes.

The ``protobuf`` runtime keeps custom options (extensions of the ``*Options``
messages it does not know) as unknown fields, so the options are read here
straight from their serialized bytes: that gives known and unknown fields in
wire order, which is the order protoc keeps for custom options, and lets
every extension number be resolved against the descriptors at hand.
"""

from __future__ import annotations

import math
import re
import struct
from collections.abc import Iterable, Iterator
from dataclasses import dataclass, field
from functools import cached_property

from google.protobuf import descriptor_pb2

FieldProto = descriptor_pb2.FieldDescriptorProto
MessageProto = descriptor_pb2.DescriptorProto
EnumProto = descriptor_pb2.EnumDescriptorProto
FileProto = descriptor_pb2.FileDescriptorProto

VARINT, FIXED64, LENGTH, START_GROUP, END_GROUP, FIXED32 = 0, 1, 2, 3, 4, 5
_U64 = (1 << 64) - 1
_MAX_DEPTH = 64
_INLINE_WIDTH = 72

_IDENT = re.compile(r"[A-Za-z_][A-Za-z0-9_]*", re.ASCII)
_DOTTED = re.compile(r"\.?[A-Za-z_][A-Za-z0-9_]*(\.[A-Za-z_][A-Za-z0-9_]*)*", re.ASCII)

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
_IMPLICIT = descriptor_pb2.FeatureSet.IMPLICIT
_OPEN = descriptor_pb2.FeatureSet.OPEN


def is_identifier(name: object) -> bool:
    """Whether ``name`` can be printed as one protobuf identifier."""
    return isinstance(name, str) and _IDENT.fullmatch(name) is not None


def is_dotted_name(name: object) -> bool:
    """Whether ``name`` is a (possibly fully qualified) dotted identifier."""
    return isinstance(name, str) and _DOTTED.fullmatch(name) is not None


def as_text(value: str | bytes) -> str:
    """A string field's value as text.

    The runtime hands out ``bytes`` for a proto2 string that is not valid
    UTF-8; such bytes come back as the same bytes from :func:`as_bytes`.
    """
    if isinstance(value, str):
        return value
    return value.decode("utf-8", "surrogateescape")


def as_bytes(value: str | bytes) -> bytes:
    """A string field's value as the bytes it stands for."""
    if isinstance(value, bytes):
        return value
    try:
        return value.encode("utf-8", "surrogateescape")
    except UnicodeEncodeError:
        return value.encode("utf-8", "surrogatepass")


def type_key(type_name: str | bytes) -> str:
    """A type reference as a symbol key: its full name without the leading dot."""
    return as_text(type_name).removeprefix(".")


def quoted(data: bytes, *, text: bool = False) -> str:
    """A double-quoted literal that protoc and text format read back as ``data``.

    With ``text``, printable non-ASCII characters of valid UTF-8 stay as they
    are; everything else outside printable ASCII is an octal escape.
    """
    if text:
        try:
            decoded = data.decode("utf-8")
        except UnicodeDecodeError:
            pass
        else:
            if decoded.isascii():
                return '"' + decoded.translate(_BYTE_ESCAPES) + '"'
            return '"' + "".join(_escape_char(c) for c in decoded) + '"'
    return '"' + data.decode("latin-1").translate(_BYTE_ESCAPES) + '"'


_SIMPLE_ESCAPES = {
    0x0A: "\\n",
    0x0D: "\\r",
    0x09: "\\t",
    0x22: '\\"',
    0x27: "\\'",
    0x5C: "\\\\",
}


def _escape_byte(b: int) -> str:
    if b in _SIMPLE_ESCAPES:
        return _SIMPLE_ESCAPES[b]
    if 0x20 <= b < 0x7F:
        return chr(b)
    return f"\\{b:03o}"


# Code points 0 to 255 (bytes decoded as latin-1) to their escapes.
_BYTE_ESCAPES = {b: _escape_byte(b) for b in range(256) if _escape_byte(b) != chr(b)}


def _escape_char(c: str) -> str:
    code = ord(c)
    if code < 0x80:
        return _escape_byte(code)
    if c.isprintable():
        return c
    return "".join(_escape_byte(b) for b in c.encode("utf-8", "surrogatepass"))


def c_unescape(text: str | bytes) -> bytes:
    """Bytes of a C-escaped string as protoc stores a ``bytes`` default.

    Malformed escapes are kept literally, so this never fails.
    """
    raw = as_bytes(text)
    out = bytearray()
    i = 0
    while i < len(raw):
        b = raw[i]
        if b != 0x5C or i + 1 == len(raw):
            out.append(b)
            i += 1
            continue
        i = _unescape_one(raw, i + 1, out)
    return bytes(out)


_NAMED_ESCAPES = {
    ord("n"): 0x0A,
    ord("r"): 0x0D,
    ord("t"): 0x09,
    ord("a"): 0x07,
    ord("b"): 0x08,
    ord("f"): 0x0C,
    ord("v"): 0x0B,
    ord("\\"): 0x5C,
    ord("'"): 0x27,
    ord('"'): 0x22,
    ord("?"): 0x3F,
}
_OCTAL = b"01234567"
_HEX = b"0123456789abcdefABCDEF"


def _unescape_one(raw: bytes, i: int, out: bytearray) -> int:
    """Appends the escape starting after a backslash at ``i``; returns the end."""
    c = raw[i]
    if c in _NAMED_ESCAPES:
        out.append(_NAMED_ESCAPES[c])
        return i + 1
    if c in _OCTAL:
        end = i
        while end < len(raw) and end < i + 3 and raw[end] in _OCTAL:
            end += 1
        out.append(int(raw[i:end], 8) & 0xFF)
        return end
    if c in b"xX" and i + 1 < len(raw) and raw[i + 1] in _HEX:
        end = i + 1
        while end < len(raw) and end < i + 3 and raw[end] in _HEX:
            end += 1
        out.append(int(raw[i + 1 : end], 16))
        return end
    out += b"\\" + bytes([c])
    return i + 1


def float_text(value: float, *, single: bool = False) -> str:
    """The shortest literal that reads back as ``value`` (as a float32 if single)."""
    if math.isnan(value):
        return "nan"
    if math.isinf(value):
        return "inf" if value > 0 else "-inf"
    if single:
        for digits in range(1, 10):
            text = f"{value:.{digits}g}"
            if struct.unpack("<f", struct.pack("<f", float(text)))[0] == value:
                return text
    return repr(value)


# --- wire format ---------------------------------------------------------


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


# --- symbols ---------------------------------------------------------------


@dataclass(frozen=True, slots=True)
class Extension:
    """An extension field with its full name (without a leading dot) and the
    name of the file that defines it."""

    full_name: str
    field: FieldProto
    file: str


@dataclass
class _SymbolTables:
    """Every definition of each name, with the name of the file holding it."""

    messages: dict[str, list[tuple[str, MessageProto]]] = field(default_factory=dict)
    enums: dict[str, list[tuple[str, EnumProto]]] = field(default_factory=dict)
    extensions: dict[tuple[str, int], list[tuple[str, Extension]]] = field(
        default_factory=dict
    )
    # Packages and their enclosing packages, and the full names of extensions.
    packages: set[str] = field(default_factory=set)
    extension_names: set[str] = field(default_factory=set)
    files: dict[str, FileProto] = field(default_factory=dict)

    def add_file(self, file: FileProto) -> None:
        scope = file.package
        self.files.setdefault(as_text(file.name), file)
        parts = as_text(scope).split(".")
        self.packages.update(".".join(parts[:k]) for k in range(1, len(parts) + 1))
        name = as_text(file.name)
        self._add_scope(name, scope, file.message_type, file.enum_type, file.extension)

    def _add_scope(
        self,
        file: str,
        scope: str | bytes,
        messages: Iterable[MessageProto],
        enums: Iterable[EnumProto],
        extensions: Iterable[FieldProto],
    ) -> None:
        for enum in enums:
            self.enums.setdefault(_join(scope, enum.name), []).append((file, enum))
        for ext in extensions:
            key = (type_key(ext.extendee), ext.number)
            full_name = _join(scope, ext.name)
            self.extensions.setdefault(key, []).append(
                (file, Extension(full_name, ext, file))
            )
            self.extension_names.add(full_name)
        for message in messages:
            name = _join(scope, message.name)
            self.messages.setdefault(name, []).append((file, message))
            self._add_scope(
                file, name, message.nested_type, message.enum_type, message.extension
            )


def _join(scope: str | bytes, name: str | bytes) -> str:
    return f"{as_text(scope)}.{as_text(name)}" if scope else as_text(name)


def _tables_of(files: Iterable[FileProto]) -> _SymbolTables:
    tables = _SymbolTables()
    for file in files:
        tables.add_file(file)
    return tables


# descriptor.proto as this runtime knows it: the option messages the compiler
# reads. Built once; never changed.
_BUILTIN = _tables_of([FileProto.FromString(descriptor_pb2.DESCRIPTOR.serialized_pb)])


def _pick[T](defined: list[tuple[str, T]] | None, visible: frozenset[str]) -> T | None:
    """The definition from a visible file, else the first one."""
    entry = _pick_entry(defined, visible)
    return None if entry is None else entry[1]


def _pick_entry[T](
    defined: list[tuple[str, T]] | None, visible: frozenset[str]
) -> tuple[str, T] | None:
    """The definition that :func:`_pick` picks, with its file's name."""
    if not defined:
        return None
    return next((entry for entry in defined if entry[0] in visible), defined[0])


@dataclass(frozen=True)
class SymbolIndex:
    """The names that a set of files defines, indexed on first use.

    Most files without custom options never need more than descriptor.proto,
    so the files are indexed only when a look-up gets past it.
    """

    files: tuple[FileProto, ...]
    # What render_options made of options that only descriptor.proto
    # resolves, which prints the same in every file, by type and bytes.
    renders: dict[tuple[str, bytes], RenderedOptions] = field(
        default_factory=dict, compare=False, repr=False
    )

    @cached_property
    def tables(self) -> _SymbolTables:
        return _tables_of(self.files)

    @cached_property
    def imports(self) -> dict[str, list[str]]:
        """The imports of each file by name (the first file of a name)."""
        found: dict[str, list[str]] = {}
        for file in self.files:
            found.setdefault(as_text(file.name), [as_text(d) for d in file.dependency])
        return found

    def for_file(self, file: FileProto) -> Symbols:
        """Look-ups for printing ``file``: where a name has several definitions,
        the one from ``file`` or a file it imports, directly or not, wins."""
        visible = {as_text(file.name)}
        pending = [as_text(d) for d in [*file.dependency, *file.option_dependency]]
        complete = True
        while pending:
            name = pending.pop()
            if name not in visible:
                visible.add(name)
                complete = complete and name in self.imports
                pending.extend(self.imports.get(name, ()))
        return Symbols(self, frozenset(visible), complete)


@dataclass(frozen=True)
class Symbols:
    """Messages, enums and extensions by full name (without a leading dot).

    descriptor.proto as this runtime knows it answers first, so the option
    messages are the ones the compiler knows whatever older copy of
    descriptor.proto the files hold; then the files of the index, preferring
    the ``visible`` ones.
    """

    index: SymbolIndex
    visible: frozenset[str] = frozenset()
    # Whether every file that ``visible`` names is in the index.
    complete: bool = True
    # Fields by number of each message looked up so far.
    _fields: dict[str, dict[int, FieldProto]] = field(
        default_factory=dict, compare=False, repr=False
    )
    # What render_options made of each options message, by type and bytes.
    rendered: dict[tuple[str, bytes], RenderedOptions] = field(
        default_factory=dict, compare=False, repr=False
    )
    # How many look-ups got past descriptor.proto to the files.
    _file_lookups: list[int] = field(
        default_factory=lambda: [0], compare=False, repr=False
    )

    @property
    def file_lookups(self) -> int:
        """How many look-ups so far depended on the files, not descriptor.proto."""
        return self._file_lookups[0]

    def _files(self) -> _SymbolTables:
        self._file_lookups[0] += 1
        return self.index.tables

    def message(self, name: str) -> MessageProto | None:
        """The message called ``name``, or None."""
        found = _pick(_BUILTIN.messages.get(name), self.visible)
        if found is None:
            found = _pick(self._files().messages.get(name), self.visible)
        return found

    def message_file(self, name: str) -> FileProto | None:
        """The file defining the message that :meth:`message` finds."""
        entry = _pick_entry(_BUILTIN.messages.get(name), self.visible)
        if entry is not None:
            return _BUILTIN.files.get(entry[0])
        tables = self._files()
        entry = _pick_entry(tables.messages.get(name), self.visible)
        return None if entry is None else tables.files.get(entry[0])

    def implicit_presence(self, message: str, proto: FieldProto) -> bool:
        """Whether ``proto``, a field of ``message``, has no presence, so that
        protoc leaves its zero value out of a message it builds from text."""
        if (
            proto.label == FieldProto.LABEL_REPEATED
            or proto.type in _MESSAGE_TYPES
            or proto.HasField("oneof_index")
            or proto.HasField("extendee")
            or proto.proto3_optional
        ):
            return False
        file = self.message_file(message)
        if file is None or file.syntax not in ("proto3", "editions"):
            return False
        if file.syntax == "proto3":
            return True
        features = [proto.options.features]
        scope = message
        while (enclosing := self.message(scope)) is not None:
            features.append(enclosing.options.features)
            scope = scope.rpartition(".")[0]
        features.append(file.options.features)
        for feature_set in features:
            if feature_set.HasField("field_presence"):
                return feature_set.field_presence == _IMPLICIT
        return False

    def enum_is_open(self, name: str) -> bool:
        """Whether the enum called ``name`` is open, so that protoc takes a
        number without a name for it in a text-format aggregate."""
        entry = _pick_entry(_BUILTIN.enums.get(name), self.visible)
        tables = _BUILTIN
        if entry is None:
            tables = self._files()
            entry = _pick_entry(tables.enums.get(name), self.visible)
        file = None if entry is None else tables.files.get(entry[0])
        if entry is None or file is None:
            return False
        if file.syntax != "editions":
            return file.syntax == "proto3"
        features = [entry[1].options.features]
        scope = name.rpartition(".")[0]
        while (enclosing := self.message(scope)) is not None:
            features.append(enclosing.options.features)
            scope = scope.rpartition(".")[0]
        features.append(file.options.features)
        for feature_set in features:
            if feature_set.HasField("enum_type"):
                return feature_set.enum_type == _OPEN
        return True  # the editions default

    def enum(self, name: str) -> EnumProto | None:
        """The enum called ``name``, or None."""
        found = _pick(_BUILTIN.enums.get(name), self.visible)
        if found is None:
            found = _pick(self._files().enums.get(name), self.visible)
        return found

    def extension(self, extendee: str, number: int) -> Extension | None:
        """The extension ``number`` of ``extendee``, or None."""
        key = (extendee, number)
        found = _pick(_BUILTIN.extensions.get(key), self.visible)
        if found is None:
            found = _pick(self._files().extensions.get(key), self.visible)
        return found

    def importable(self, ext: Extension) -> bool:
        """Whether source text can use ``ext``: its file is imported, directly
        or not, or some import is missing from the index and might hold it."""
        self._file_lookups[0] += 1
        return ext.file in self.visible or not self.complete

    def _defines(self, name: str, *, aggregates_only: bool) -> bool:
        for t in (_BUILTIN, self._files()):
            if name in t.packages or name in t.messages or name in t.enums:
                return True
            if not aggregates_only and name in t.extension_names:
                return True
        return False

    def found_from(self, name: str, scope: str) -> bool:
        """Whether protoc finds extension ``name`` written as ``[name]`` in a
        text-format aggregate of the message ``scope``.

        protoc looks the first part of the name up in the scopes around
        ``scope``, innermost first, and follows the rest from the first
        package, message or enum it finds there.
        """
        first = name.split(".", 1)[0]
        enclosing = scope.split(".")[:-1]
        while enclosing:
            candidate = ".".join([*enclosing, first])
            if self._defines(candidate, aggregates_only=first != name):
                return False
            enclosing.pop()
        return True

    def field(self, message: str, number: int) -> FieldProto | None:
        """The field ``number`` of ``message``, or None."""
        if message not in _BUILTIN.messages:
            self._file_lookups[0] += 1
        fields = self._fields.get(message)
        if fields is None:
            proto = self.message(message)
            fields = {}
            for f in proto.field if proto is not None else ():
                fields.setdefault(f.number, f)
            self._fields[message] = fields
        return fields.get(number)

    def enum_value_name(self, enum: str, number: int) -> str | None:
        """The first name of value ``number`` of ``enum``, if it is printable."""
        proto = self.enum(enum)
        if proto is None:
            return None
        for value in proto.value:
            if value.number == number and is_identifier(value.name):
                return value.name
        return None


# --- rendering -------------------------------------------------------------


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
            if _descend(known, entry) and isinstance(entry.value, bytes):
                type_name = type_key(known.type_name)
                if custom:
                    self.descend_path(name, type_name, entry.value, depth)
                else:
                    self.descend(name, type_name, entry.value)
                return
            self.add(name, known, entry)
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
        if not (split or custom):
            notes: list[str] = []
            value = value_text(ext.field, entry, self.symbols, notes, 0)
            if value is not None and not notes:
                self.assignments.append(Assignment(name, value))
                return
        # A path also reaches what an aggregate cannot name, such as an
        # extension that a nearer name hides inside the aggregate.
        if _descend(ext.field, entry) and isinstance(entry.value, bytes):
            type_name = type_key(ext.field.type_name)
            self.descend_path(name, type_name, entry.value, depth)
            return
        self.add(name, ext.field, entry)

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

    def add(self, name: str, proto: FieldProto, entry: WireField) -> None:
        if _packed(proto, entry) and isinstance(entry.value, bytes):
            for element in _unpack(proto, entry.value):
                self.add(name, proto, element)
            return
        notes: list[str] = []
        value = value_text(proto, entry, self.symbols, notes, 0)
        self.left_out.extend(f"{name}: {note}" for note in notes)
        if value is None:
            self.left_out.append(f"{name} ({_describe(entry)})")
            return
        self.assignments.append(Assignment(name, value))


def _is_extension_scope(message: str, known: FieldProto) -> bool:
    # Fields of an options message never come from extensions; guard anyway
    # against a context file that redefines one with an extendee.
    return bool(known.extendee) and type_key(known.extendee) != message


def _counts(fields: list[WireField]) -> dict[int, int]:
    counts: dict[int, int] = {}
    for entry in fields:
        counts[entry.number] = counts.get(entry.number, 0) + 1
    return counts


def _descend(proto: FieldProto, entry: WireField) -> bool:
    return (
        proto.type == FieldProto.TYPE_MESSAGE
        and proto.label != FieldProto.LABEL_REPEATED
        and entry.wire_type == LENGTH
    )


def _describe(entry: WireField) -> str:
    return f"field {entry.number}, wire type {entry.wire_type}"


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
) -> tuple[str, ...] | None:
    """The value of ``entry`` typed as ``proto``, as one or more lines.

    Returns None when the value has no faithful text (wrong wire type, an
    enum number without a name); parts dropped inside aggregates go to
    ``notes``.
    """
    if entry.wire_type != _expected_wire_type(proto):
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


def _aggregate_entry(
    message: str, entry: WireField, symbols: Symbols, notes: list[str], depth: int
) -> list[str]:
    proto = symbols.field(message, entry.number)
    if proto is not None and is_identifier(proto.name):
        name = proto.name
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
    if _packed(proto, entry) and isinstance(entry.value, bytes):
        values = [
            value_text(proto, v, symbols, notes, depth)
            for v in _unpack(proto, entry.value)
        ]
        if any(v is None for v in values):
            notes.append(f"{name} ({_describe(entry)})")
            return []
        return [f"{name}: [" + ", ".join(v[0] for v in values if v) + "]"]
    value = value_text(proto, entry, symbols, notes, depth)
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
