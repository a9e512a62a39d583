"""What a protobuf compiler always writes, checked on a parsed descriptor.

``ravick_lib.scan`` follows the wire format exactly, so byte runs that happen
to be valid descriptors (code templates, string tables) are found too. A
descriptor is plausible when its names look like compiler output:

- the file name is a relative path whose segments are made of letters,
  digits, ``_``, ``-`` and ``.`` (never ``.`` or ``..`` alone), ending in
  ``.proto``; every dependency and option dependency is such a path too;
- ``package`` is empty or a dotted identifier;
- ``syntax`` is empty, "proto2", "proto3" or "editions";
- every message, field, oneof, enum, enum value, service, method and
  extension name is an identifier, and every type name a field or method
  refers to is a dotted identifier, with or without a leading dot.
"""

from __future__ import annotations

import re
from typing import TYPE_CHECKING

if TYPE_CHECKING:
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
    try:
        return _doubt(fd)
    except TypeError:
        # protobuf gives bytes for a string that is not UTF-8: never a name
        # a compiler wrote.
        return "holds a name that is not UTF-8"


def _doubt(fd: descriptor_pb2.FileDescriptorProto) -> str | None:
    if not is_proto_path(fd.name):
        return f"name {fd.name!r} is not a relative .proto path"
    if fd.package and not _DOTTED.fullmatch(fd.package):
        return f"package {fd.package!r} is not a dotted identifier"
    if fd.syntax not in _SYNTAXES:
        return f"syntax {fd.syntax!r} is unknown"
    for dep in fd.dependency:
        if not is_proto_path(dep):
            return f"dependency {dep!r} is not a relative .proto path"
    # Option imports (edition 2024) are paths as well; older protobuf
    # releases do not know the field.
    for dep in getattr(fd, "option_dependency", ()):
        if not is_proto_path(dep):
            return f"option dependency {dep!r} is not a relative .proto path"
    names, refs = _names_and_references(fd)
    if not _IDENT_LINES.fullmatch("".join(n + "\n" for _, n in names)):
        kind, name = next(x for x in names if not _IDENT.fullmatch(x[1]))
        return f"{kind} name {name!r} is not an identifier"
    if not _TYPE_REF_LINES.fullmatch("".join(r + "\n" for _, r in refs)):
        kind, ref = next(x for x in refs if not _TYPE_REF.fullmatch(x[1]))
        return f"{kind} {ref!r} is not a type name"
    return None


def _names_and_references(
    fd: descriptor_pb2.FileDescriptorProto,
) -> tuple[list[tuple[str, str]], list[tuple[str, str]]]:
    """Every declared name and every type name referred to, with its kind."""
    names: list[tuple[str, str]] = []
    refs: list[tuple[str, str]] = []
    fields: list[descriptor_pb2.FieldDescriptorProto] = list(fd.extension)
    enums: list[descriptor_pb2.EnumDescriptorProto] = list(fd.enum_type)
    pending = list(fd.message_type)
    while pending:
        message = pending.pop()
        names.append(("message", message.name))
        fields.extend(message.field)
        fields.extend(message.extension)
        names.extend(("oneof", o.name) for o in message.oneof_decl)
        enums.extend(message.enum_type)
        pending.extend(message.nested_type)
    for enum in enums:
        names.append(("enum", enum.name))
        names.extend(("enum value", v.name) for v in enum.value)
    for f in fields:
        names.append(("field", f.name))
        if f.type_name:
            refs.append(("field type", f.type_name))
        if f.extendee:
            refs.append(("extendee", f.extendee))
    for service in fd.service:
        names.append(("service", service.name))
        for method in service.method:
            names.append(("method", method.name))
            refs.append(("method input type", method.input_type))
            refs.append(("method output type", method.output_type))
    return names, refs
