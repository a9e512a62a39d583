"""What a protobuf compiler always writes, checked on a parsed descriptor.

``ravick_lib.scan`` follows the wire format exactly, so byte runs that happen
to be valid descriptors (code templates, string tables) are found too. A
descriptor is plausible when its names look like compiler output:

- the file name is a relative path whose segments are made of letters,
  digits, ``_``, ``-`` and ``.`` (never ``.`` or ``..`` alone), ending in
  ``.proto``; every dependency is such a path too;
- ``package`` is empty or a dotted identifier;
- ``syntax`` is empty, "proto2", "proto3" or "editions";
- every message, field, oneof, enum, enum value, service, method and
  extension name is an identifier, and every type name a field or method
  refers to is a dotted identifier, with or without a leading dot.
"""

from __future__ import annotations

import re
from collections.abc import Iterator

from google.protobuf import descriptor_pb2

_IDENT = re.compile(r"[A-Za-z_][A-Za-z0-9_]*")
_DOTTED = re.compile(r"[A-Za-z_][A-Za-z0-9_]*(?:\.[A-Za-z_][A-Za-z0-9_]*)*")
_TYPE_REF = re.compile(r"\.?[A-Za-z_][A-Za-z0-9_]*(?:\.[A-Za-z_][A-Za-z0-9_]*)*")
_SEGMENT = re.compile(r"[A-Za-z0-9_.-]+")
_SYNTAXES = ("", "proto2", "proto3", "editions")
# The same rules over all names at once, one name a line: one regex call
# instead of one for each of the thousands of names a large file holds.
_IDENT_LINES = re.compile(r"(?:[A-Za-z_][A-Za-z0-9_]*\n)*")
_TYPE_REF_LINES = re.compile(
    r"(?:\.?[A-Za-z_][A-Za-z0-9_]*(?:\.[A-Za-z_][A-Za-z0-9_]*)*\n)*"
)


def is_proto_path(name: str) -> bool:
    """True for a relative path of identifier-like segments ending in .proto."""
    if not name.endswith(".proto") or len(name) <= len(".proto"):
        return False
    return all(
        _SEGMENT.fullmatch(s) is not None and s not in (".", "..")
        for s in name.split("/")
    )


def doubt_about(fd: descriptor_pb2.FileDescriptorProto) -> str | None:
    """Why ``fd`` is plainly not compiler output, or None when it may be."""
    if not is_proto_path(fd.name):
        return f"name {fd.name!r} is not a relative .proto path"
    if fd.package and not _DOTTED.fullmatch(fd.package):
        return f"package {fd.package!r} is not a dotted identifier"
    if fd.syntax not in _SYNTAXES:
        return f"syntax {fd.syntax!r} is unknown"
    for dep in fd.dependency:
        if not is_proto_path(dep):
            return f"dependency {dep!r} is not a relative .proto path"
    if _all_names_fit(fd):
        return None
    for kind, name in _declared_names(fd):
        if not _IDENT.fullmatch(name):
            return f"{kind} name {name!r} is not an identifier"
    for kind, ref in _type_references(fd):
        if not _TYPE_REF.fullmatch(ref):
            return f"{kind} {ref!r} is not a type name"
    return None


def _all_names_fit(fd: descriptor_pb2.FileDescriptorProto) -> bool:
    idents: list[str] = []
    refs: list[str] = []
    fields: list[descriptor_pb2.FieldDescriptorProto] = list(fd.extension)
    enums: list[descriptor_pb2.EnumDescriptorProto] = list(fd.enum_type)
    pending = list(fd.message_type)
    while pending:
        message = pending.pop()
        idents.append(message.name)
        fields.extend(message.field)
        fields.extend(message.extension)
        idents.extend(o.name for o in message.oneof_decl)
        enums.extend(message.enum_type)
        pending.extend(message.nested_type)
    for enum in enums:
        idents.append(enum.name)
        idents.extend(v.name for v in enum.value)
    for f in fields:
        idents.append(f.name)
        refs.extend(r for r in (f.type_name, f.extendee) if r)
    for service in fd.service:
        idents.append(service.name)
        for method in service.method:
            idents.append(method.name)
            refs += (method.input_type, method.output_type)
    return (
        _IDENT_LINES.fullmatch("".join(n + "\n" for n in idents)) is not None
        and _TYPE_REF_LINES.fullmatch("".join(r + "\n" for r in refs)) is not None
    )


def _declared_names(
    fd: descriptor_pb2.FileDescriptorProto,
) -> Iterator[tuple[str, str]]:
    for message in fd.message_type:
        yield from _message_names(message)
    for enum in fd.enum_type:
        yield from _enum_names(enum)
    for ext in fd.extension:
        yield "extension", ext.name
    for service in fd.service:
        yield "service", service.name
        for method in service.method:
            yield "method", method.name


def _message_names(
    message: descriptor_pb2.DescriptorProto,
) -> Iterator[tuple[str, str]]:
    yield "message", message.name
    for f in message.field:
        yield "field", f.name
    for ext in message.extension:
        yield "extension", ext.name
    for oneof in message.oneof_decl:
        yield "oneof", oneof.name
    for nested in message.nested_type:
        yield from _message_names(nested)
    for enum in message.enum_type:
        yield from _enum_names(enum)


def _enum_names(enum: descriptor_pb2.EnumDescriptorProto) -> Iterator[tuple[str, str]]:
    yield "enum", enum.name
    for value in enum.value:
        yield "enum value", value.name


def _type_references(
    fd: descriptor_pb2.FileDescriptorProto,
) -> Iterator[tuple[str, str]]:
    fields: list[descriptor_pb2.FieldDescriptorProto] = list(fd.extension)
    pending = list(fd.message_type)
    while pending:
        message = pending.pop()
        fields.extend(message.field)
        fields.extend(message.extension)
        pending.extend(message.nested_type)
    for f in fields:
        if f.type_name:
            yield "field type", f.type_name
        if f.extendee:
            yield "extendee", f.extendee
    for service in fd.service:
        for method in service.method:
            yield "method input type", method.input_type
            yield "method output type", method.output_type
