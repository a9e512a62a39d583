"""The forms of a ``.proto`` source and what they stand for in a descriptor:
the lines being written and their comments, the units fields print in (a
field, a oneof), the nested types that fields declare (map entries, groups),
synthetic oneofs, derived names and literals."""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass, field
from typing import NamedTuple

from google.protobuf import descriptor_pb2

from ravick._symbols import FieldProto, FileProto, MessageProto
from ravick._text import as_text, is_dotted_name, is_identifier

EnumProto = descriptor_pb2.EnumDescriptorProto
ServiceProto = descriptor_pb2.ServiceDescriptorProto
Location = descriptor_pb2.SourceCodeInfo.Location

_SCALARS = {
    FieldProto.TYPE_DOUBLE: "double",
    FieldProto.TYPE_FLOAT: "float",
    FieldProto.TYPE_INT64: "int64",
    FieldProto.TYPE_UINT64: "uint64",
    FieldProto.TYPE_INT32: "int32",
    FieldProto.TYPE_FIXED64: "fixed64",
    FieldProto.TYPE_FIXED32: "fixed32",
    FieldProto.TYPE_BOOL: "bool",
    FieldProto.TYPE_STRING: "string",
    FieldProto.TYPE_BYTES: "bytes",
    FieldProto.TYPE_UINT32: "uint32",
    FieldProto.TYPE_SFIXED32: "sfixed32",
    FieldProto.TYPE_SFIXED64: "sfixed64",
    FieldProto.TYPE_SINT32: "sint32",
    FieldProto.TYPE_SINT64: "sint64",
}
# The unstable edition renames the scalars: the plain names are fixed-width
# and the varints are spelled out.
_UNSTABLE_SCALARS = {
    **_SCALARS,
    FieldProto.TYPE_INT64: "varint64",
    FieldProto.TYPE_UINT64: "uvarint64",
    FieldProto.TYPE_INT32: "varint32",
    FieldProto.TYPE_FIXED64: "uint64",
    FieldProto.TYPE_FIXED32: "uint32",
    FieldProto.TYPE_UINT32: "uvarint32",
    FieldProto.TYPE_SFIXED32: "int32",
    FieldProto.TYPE_SFIXED64: "int64",
    FieldProto.TYPE_SINT32: "zigzag32",
    FieldProto.TYPE_SINT64: "zigzag64",
}
_MAP_KEYS = frozenset(_SCALARS) - {
    FieldProto.TYPE_DOUBLE,
    FieldProto.TYPE_FLOAT,
    FieldProto.TYPE_BYTES,
}
_MAP_ENTRY_OPTIONS = b"\x38\x01"  # MessageOptions{map_entry: true}


@dataclass
class Writer:
    lines: list[str] = field(default_factory=list)
    depth: int = 0

    def add(self, text: str) -> None:
        self.lines.append("  " * self.depth + text if text else "")

    def gap(self) -> None:
        """A blank line, unless one is there or a block has just opened."""
        if self.lines and self.lines[-1] and not self.lines[-1].endswith("{"):
            self.lines.append("")

    def note(self, text: str) -> None:
        """A comment naming what was left out, on one line whatever ``text`` is."""
        self.add(note_line(text))

    def comment(self, text: str | bytes) -> None:
        for line in as_text(text).removesuffix("\n").split("\n"):
            self.add("//" + comment_line(line))


def note_line(text: str) -> str:
    return "// ravick: " + comment_safe(text)


def comment_safe(text: str) -> str:
    return text.encode("unicode_escape").decode("ascii")


def comment_line(line: str) -> str:
    # Bytes that were not UTF-8 come as lone surrogates: spell them out.
    line = line.encode("utf-8", "backslashreplace").decode("utf-8")
    return "".join(c if c >= " " or c == "\t" else " " for c in line)


def comments_by_path(descriptor: FileProto) -> dict[tuple[int, ...], Location]:
    found: dict[tuple[int, ...], Location] = {}
    for location in descriptor.source_code_info.location:
        found.setdefault(tuple(location.path), location)
    return found


def derived_json_name(name: str) -> str:
    """The JSON name protoc derives from a field name."""
    if "_" not in name:
        return name
    return camel_case(name, upper_first=False)


def map_entry_name(field_name: str) -> str:
    return camel_case(field_name, upper_first=True) + "Entry"


def camel_case(name: str, *, upper_first: bool) -> str:
    # protoc's rule: drop each underscore and capitalise the ASCII letter
    # after it.
    head, *rest = name.split("_")
    if upper_first:
        head = _upper_first(head)
    return head + "".join(_upper_first(part) for part in rest)


_ASCII_UPPER = str.maketrans("abcdefghijklmnopqrstuvwxyz", "ABCDEFGHIJKLMNOPQRSTUVWXYZ")


def _upper_first(part: str) -> str:
    return part[:1].translate(_ASCII_UPPER) + part[1:]


def join_name(scope: str | bytes, name: str | bytes) -> str:
    return f"{as_text(scope)}.{as_text(name)}" if scope else as_text(name)


WithOptions = (
    FileProto
    | MessageProto
    | FieldProto
    | descriptor_pb2.OneofDescriptorProto
    | EnumProto
    | descriptor_pb2.EnumValueDescriptorProto
    | ServiceProto
    | descriptor_pb2.MethodDescriptorProto
    | MessageProto.ExtensionRange
)


def options_bytes(owner: WithOptions) -> bytes | None:
    if not owner.HasField("options"):
        return None
    return owner.options.SerializePartialToString()


class Unit(NamedTuple):
    """Fields printed together: one field, or the members of one oneof."""

    fields: tuple[int, ...]
    oneof: int | None


class Implicit(NamedTuple):
    """Nested types that fields and extensions declare rather than the scope.

    Map entries come from ``map<K, V>`` fields and group types from proto2
    ``group`` fields; protoc puts them among the nested types at the point of
    their field, so the field prints them.
    """

    map_entries: dict[int, int]  # field index -> nested index
    field_groups: dict[int, int]  # field index -> nested index
    extension_groups: dict[int, int]  # extension index -> nested index


class Scope(NamedTuple):
    """A file or message body: what it declares and where its paths start."""

    full_name: str
    path: tuple[int, ...]
    messages: Sequence[MessageProto]
    message_tag: int
    enums: Sequence[EnumProto]
    enum_tag: int
    extensions: Sequence[FieldProto]
    extension_tag: int
    fields: Sequence[FieldProto] = ()
    oneofs: Sequence[descriptor_pb2.OneofDescriptorProto] = ()


def features_only(proto: FieldProto) -> bytes:
    """The options protoc gives the key and value of the map field ``proto``.

    In editions protoc copies the map field's features onto both.
    """
    if not proto.options.HasField("features"):
        return b""
    copied = descriptor_pb2.FieldOptions()
    copied.features.CopyFrom(proto.options.features)
    return copied.SerializePartialToString()


def is_plain_map_entry(entry: MessageProto, entry_field_options: bytes) -> bool:
    """Whether ``entry`` is exactly what protoc makes of a ``map<K, V>`` field."""
    if (
        entry.nested_type
        or entry.enum_type
        or entry.extension
        or entry.extension_range
        or entry.oneof_decl
        or entry.reserved_range
        or entry.reserved_name
        or entry.options.SerializePartialToString() != _MAP_ENTRY_OPTIONS
        or len(entry.field) != 2
    ):
        return False
    key, value = entry.field
    return (
        (key.name, key.number, value.name, value.number) == ("key", 1, "value", 2)
        and all(is_plain_entry_field(f, entry_field_options) for f in entry.field)
        and key.type in _MAP_KEYS
        and value.type != FieldProto.TYPE_GROUP
    )


def is_plain_entry_field(proto: FieldProto, options: bytes) -> bool:
    return (
        proto.label == FieldProto.LABEL_OPTIONAL
        and (
            not proto.HasField("options")
            or proto.options.SerializePartialToString() == options
        )
        and not proto.HasField("oneof_index")
        and not proto.HasField("default_value")
        and not proto.HasField("extendee")
        and not proto.proto3_optional
        and proto.json_name in ("", proto.name)
    )


def field_units(fields: Sequence[FieldProto]) -> list[Unit]:
    """Fields grouped for printing, each oneof at its first field.

    A proto3 ``optional`` field's synthetic oneof is no oneof in the source.
    """
    members: dict[int, list[int]] = {}
    for i, proto in enumerate(fields):
        if proto.HasField("oneof_index"):
            members.setdefault(proto.oneof_index, []).append(i)
    if not members:
        return [Unit((i,), None) for i in range(len(fields))]
    synthetic = _synthetic(fields, members)
    units: list[Unit] = []
    for i, proto in enumerate(fields):
        if not proto.HasField("oneof_index") or proto.oneof_index in synthetic:
            units.append(Unit((i,), None))
        elif members[proto.oneof_index][0] == i:
            units.append(Unit(tuple(members[proto.oneof_index]), proto.oneof_index))
    return units


def implicit_types(scope: Scope, syntax: str) -> Implicit:
    """The nested types of ``scope`` that its fields and extensions declare:
    map entries and (in proto2) groups, each claimed once."""
    if not scope.messages:
        return Implicit({}, {}, {})
    by_name: dict[str, int] = {}
    for j, nested in enumerate(scope.messages):
        by_name.setdefault("." + join_name(scope.full_name, nested.name), j)
    claimed: set[int] = set()

    def claim(j: int | None) -> int | None:
        if j is None or j in claimed:
            return None
        claimed.add(j)
        return j

    maps: dict[int, int] = {}
    groups: dict[int, int] = {}
    for i, proto in enumerate(scope.fields):
        entry = claim(_map_entry_index(proto, scope, by_name))
        if entry is not None:
            maps[i] = entry
            continue
        group = claim(_group_index(proto, scope, by_name, syntax))
        if group is not None:
            groups[i] = group
    extension_groups: dict[int, int] = {}
    for i, proto in enumerate(scope.extensions):
        group = claim(_group_index(proto, scope, by_name, syntax))
        if group is not None:
            extension_groups[i] = group
    return Implicit(maps, groups, extension_groups)


def _map_entry_index(
    proto: FieldProto, scope: Scope, by_name: dict[str, int]
) -> int | None:
    if (
        proto.label != FieldProto.LABEL_REPEATED
        or proto.type != FieldProto.TYPE_MESSAGE
        or proto.HasField("oneof_index")
        or proto.HasField("default_value")
    ):
        return None
    j = by_name.get(proto.type_name)
    if j is None or not is_identifier(proto.name):
        return None
    entry = scope.messages[j]
    if entry.name != map_entry_name(proto.name) or not is_plain_map_entry(
        entry, features_only(proto)
    ):
        return None
    return j


def _group_index(
    proto: FieldProto, scope: Scope, by_name: dict[str, int], syntax: str
) -> int | None:
    if proto.type != FieldProto.TYPE_GROUP or syntax != "proto2":
        return None
    j = by_name.get(proto.type_name)
    if j is None or not is_identifier(proto.name):
        return None
    name = scope.messages[j].name
    if not (name[:1].isupper() and is_identifier(name)):
        return None
    if proto.name != name.lower() or scope.messages[j].options.map_entry:
        return None
    return j


def renamed_synthetic_oneofs(
    message: MessageProto,
) -> list[tuple[str, str, str]]:
    """(field, oneof name, name protoc derives) of each proto3 ``optional``
    field whose synthetic oneof a source cannot name as it is named.

    protoc names it after the field, with a leading ``_`` unless the field
    has one, and ``X`` prepended while the name is taken by a field, a oneof
    or an earlier synthetic oneof.
    """
    if not message.oneof_decl:
        return []
    synthetic = synthetic_oneofs(message.field)
    names = {f.name for f in message.field}
    names |= {o.name for k, o in enumerate(message.oneof_decl) if k not in synthetic}
    renamed = []
    for proto in message.field:
        if not proto.proto3_optional or proto.oneof_index not in synthetic:
            continue
        derived = proto.name if proto.name.startswith("_") else "_" + proto.name
        while derived in names:
            derived = "X" + derived
        names.add(derived)
        actual = message.oneof_decl[proto.oneof_index].name
        if actual != derived:
            renamed.append((proto.name, actual, derived))
    return renamed


def synthetic_oneofs(fields: Sequence[FieldProto]) -> set[int]:
    members: dict[int, list[int]] = {}
    for i, proto in enumerate(fields):
        if proto.HasField("oneof_index"):
            members.setdefault(proto.oneof_index, []).append(i)
    return _synthetic(fields, members)


def _synthetic(fields: Sequence[FieldProto], members: dict[int, list[int]]) -> set[int]:
    """The oneofs of ``members`` (oneof -> field indexes) that are synthetic."""
    return {
        k
        for k, indexes in members.items()
        if len(indexes) == 1 and fields[indexes[0]].proto3_optional
    }


def field_type_text(proto: FieldProto, *, unstable: bool = False) -> str | None:
    """The type as a source declares it; ``unstable`` for the unstable
    edition's names of the scalars."""
    scalars = _UNSTABLE_SCALARS if unstable else _SCALARS
    if proto.type in scalars:
        return scalars[proto.type]
    if is_dotted_name(proto.type_name):
        return proto.type_name
    return None


def is_int_literal(text: str) -> bool:
    digits = text.removeprefix("-")
    return digits.isascii() and digits.isdigit()


def is_float_literal(text: str) -> bool:
    body = text.removeprefix("-")
    if body in ("inf", "nan"):
        return True
    mantissa, _, exponent = body.lower().partition("e")
    if exponent:
        exponent = exponent.removeprefix("+").removeprefix("-")
        if not (exponent.isascii() and exponent.isdigit()):
            return False
    whole, _, fraction = mantissa.partition(".")
    digits = whole + fraction
    return bool(digits) and digits.isascii() and digits.isdigit()
