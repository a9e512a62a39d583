"""Text of declarations that needs nothing of the file being printed but
its syntax: labels, ``default`` and ``json_name``, map types, option
brackets and ``reserved`` statements."""

from __future__ import annotations

from collections.abc import Iterable, Sequence

from google.protobuf import descriptor_pb2

from ravick._options import Assignment
from ravick._source_forms import (
    EnumProto,
    Writer,
    derived_json_name,
    field_type_text,
    is_float_literal,
    is_int_literal,
)
from ravick._symbols import FieldProto, MessageProto
from ravick._text import as_bytes, as_text, c_unescape, is_identifier, quoted

MAX_FIELD_END = 536870912  # one past the largest field number
MAX_INT32 = 2147483647


def label_text(proto: FieldProto, syntax: str, *, in_oneof: bool) -> str:
    """The label a field prints with in a file of ``syntax``."""
    if in_oneof:
        return ""
    if proto.label == FieldProto.LABEL_REPEATED:
        return "repeated "
    if syntax == "proto2":
        return "required " if proto.label == FieldProto.LABEL_REQUIRED else "optional "
    if syntax == "proto3":
        if proto.proto3_optional:
            return "optional "
        return "required " if proto.label == FieldProto.LABEL_REQUIRED else ""
    return ""


def pseudo_options(proto: FieldProto) -> tuple[list[Assignment], list[str]]:
    """``default`` and ``json_name``, which are not options but print like them."""
    pseudo: list[Assignment] = []
    notes: list[str] = []
    has_json_name = proto.HasField("json_name")
    if not has_json_name and not proto.HasField("default_value"):
        return pseudo, notes
    if proto.HasField("default_value"):
        text = default_text(proto)
        if text is None:
            notes.append(f"default {proto.default_value!r} of {proto.name} left out")
        else:
            pseudo.append(Assignment("default", (text,)))
    if has_json_name and proto.json_name != derived_json_name(as_text(proto.name)):
        if proto.HasField("extendee"):
            notes.append(f"json_name {proto.json_name!r} of extension left out")
        else:
            json_name = quoted(as_bytes(proto.json_name), text=True)
            pseudo.append(Assignment("json_name", (json_name,)))
    return pseudo, notes


def default_text(proto: FieldProto) -> str | None:
    value = proto.default_value
    kind = proto.type
    if kind == FieldProto.TYPE_STRING:
        return quoted(as_bytes(value), text=True)
    if kind == FieldProto.TYPE_BYTES:
        return quoted(c_unescape(value))
    if not isinstance(value, str):
        return None
    if kind == FieldProto.TYPE_BOOL:
        return value if value in ("true", "false") else None
    if kind == FieldProto.TYPE_ENUM:
        return value if is_identifier(value) else None
    if kind in (FieldProto.TYPE_FLOAT, FieldProto.TYPE_DOUBLE):
        return value if is_float_literal(value) else None
    return value if is_int_literal(value) else None


def map_type(entry: MessageProto, *, unstable: bool = False) -> str | None:
    key = field_type_text(entry.field[0], unstable=unstable)
    value = field_type_text(entry.field[1], unstable=unstable)
    if key is None or value is None:
        return None
    return f"map<{key}, {value}>"


def bracketed(
    head: str, pseudo: Sequence[Assignment], options: Sequence[Assignment]
) -> list[str]:
    """``head`` with ``[...]`` options, on one line when they fit."""
    items = [*pseudo, *options]
    if not items:
        return [head]
    if all(len(a.value) == 1 for a in items):
        line = head + " [" + ", ".join(a.lines()[0] for a in items) + "]"
        if len(line) <= 88:
            return [line]
    lines = [head + " ["]
    for k, assignment in enumerate(items):
        suffix = "," if k + 1 < len(items) else ""
        lines.extend("  " + line for line in assignment.lines(suffix))
    lines.append("]")
    return lines


def print_reserved(
    out: Writer,
    ranges: Iterable[descriptor_pb2.DescriptorProto.ReservedRange]
    | Iterable[EnumProto.EnumReservedRange],
    names: Iterable[str],
    max_end: int,
    *,
    editions: bool,
) -> None:
    """``reserved`` statements; ``max_end`` is the exclusive end meaning max."""
    spans = []
    for reserved in ranges:
        # Message ranges end past their last number, enum ranges on it.
        last = reserved.end - 1 if max_end == MAX_FIELD_END else reserved.end
        if last == reserved.start:
            spans.append(str(reserved.start))
        else:
            is_max = reserved.end == max_end
            spans.append(f"{reserved.start} to {'max' if is_max else last}")
    if spans:
        out.add("reserved " + ", ".join(spans) + ";")
    printed = []
    for name in names:
        if editions:
            if is_identifier(name):
                printed.append(name)
            else:
                out.note(f"reserved name {name!r} left out: not an identifier")
        else:
            printed.append(quoted(as_bytes(name), text=True))
    if printed:
        out.add("reserved " + ", ".join(printed) + ";")
