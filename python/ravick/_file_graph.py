"""How the files of one tree relate: import order and the names they define.

protoc compiles a set of files together only when every fully qualified name
is defined once and no two extensions of a message share a number; these
helpers find the files that break that, and put files in an order in which
each comes after its imports.
"""

from __future__ import annotations

import heapq
from collections import defaultdict
from collections.abc import Iterator, Mapping, Sequence
from dataclasses import dataclass, field
from typing import Literal

from google.protobuf import descriptor_pb2
from google.protobuf.message import Message

from ravick._text import as_text

FileProto = descriptor_pb2.FileDescriptorProto
MessageProto = descriptor_pb2.DescriptorProto
EnumProto = descriptor_pb2.EnumDescriptorProto
Kind = Literal["message", "enum", "extendee"]
Reference = tuple[str, Kind, str]
"""A type a file names with a leading dot: its full name, how the file uses
it, and the default of an enum field."""
_TYPE_ENUM = descriptor_pb2.FieldDescriptorProto.TYPE_ENUM


def dependency_order(
    imports: Mapping[str, Sequence[str]],
) -> tuple[list[str], set[str]]:
    """The names of ``imports`` with every file after the files it imports.

    Among the files whose imports are all placed, the smallest name comes
    first. Imports of names not in ``imports`` play no part. An import cycle
    is broken by placing its smallest name early; the names so placed are
    returned too (none of them can compile).
    """
    needs = {name: set(deps) & imports.keys() for name, deps in imports.items()}
    users: dict[str, list[str]] = defaultdict(list)
    for name, deps in needs.items():
        for dep in deps:
            users[dep].append(name)
    waiting = {name: len(deps) for name, deps in needs.items()}
    ready = [name for name, count in waiting.items() if count == 0]
    heapq.heapify(ready)
    by_name = sorted(needs)
    forced_at = 0
    placed: set[str] = set()
    broken: set[str] = set()
    order: list[str] = []
    while len(order) < len(needs):
        if ready:
            name = heapq.heappop(ready)
        else:
            while by_name[forced_at] in placed:
                forced_at += 1
            name = by_name[forced_at]
            broken.add(name)
        placed.add(name)
        order.append(name)
        for user in users[name]:
            waiting[user] -= 1
            if waiting[user] == 0 and user not in placed:
                heapq.heappush(ready, user)
    return order, broken


@dataclass(frozen=True, slots=True)
class Definitions:
    """What one file defines that no other file of a tree may define too."""

    names: frozenset[str]
    """Fully qualified names of messages, fields, oneofs, enums, enum values,
    services, methods and extensions."""
    packages: frozenset[str]
    """The package and each of its enclosing packages."""
    extension_numbers: frozenset[tuple[str, int]]
    """(extended message, field number) of each extension."""


def definitions(file: FileProto) -> Definitions:
    """The names and extension numbers ``file`` defines."""
    names: set[str] = set()
    numbers: set[tuple[str, int]] = set()
    scope = as_text(file.package)
    _add_scope(names, numbers, scope, file.message_type, file.enum_type)
    _add_extensions(names, numbers, scope, file.extension)
    for service in file.service:
        full = _join(scope, service.name)
        names.add(full)
        names.update(_join(full, m.name) for m in service.method)
    parts = scope.split(".") if scope else []
    packages = {".".join(parts[: i + 1]) for i in range(len(parts))}
    return Definitions(frozenset(names), frozenset(packages), frozenset(numbers))


def _add_scope(
    names: set[str],
    numbers: set[tuple[str, int]],
    scope: str,
    messages: Sequence[MessageProto],
    enums: Sequence[EnumProto],
) -> None:
    stack: list[tuple[str, MessageProto]] = [(scope, m) for m in messages]
    _add_enums(names, scope, enums)
    while stack:
        outer, message = stack.pop()
        full = _join(outer, message.name)
        names.add(full)
        names.update(_join(full, f.name) for f in message.field)
        names.update(_join(full, o.name) for o in message.oneof_decl)
        _add_enums(names, full, message.enum_type)
        _add_extensions(names, numbers, full, message.extension)
        stack.extend((full, nested) for nested in message.nested_type)


def _add_enums(names: set[str], scope: str, enums: Sequence[EnumProto]) -> None:
    for enum in enums:
        names.add(_join(scope, enum.name))
        # Enum values are defined in the scope that holds their enum.
        names.update(_join(scope, v.name) for v in enum.value)


def _add_extensions(
    names: set[str],
    numbers: set[tuple[str, int]],
    scope: str,
    extensions: Sequence[descriptor_pb2.FieldDescriptorProto],
) -> None:
    for extension in extensions:
        names.add(_join(scope, extension.name))
        numbers.add((as_text(extension.extendee).lstrip("."), extension.number))


def _join(scope: str, name: str | bytes) -> str:
    # A name that is not UTF-8 comes as bytes: its text keeps them escaped.
    return f"{scope}.{as_text(name)}" if scope else as_text(name)


def file_facts(
    file: FileProto,
) -> tuple[Definitions, dict[tuple[str, int], OptionUse], tuple[Reference, ...]]:
    """:func:`definitions`, :func:`custom_option_uses` and :func:`references`
    of ``file``, read natively from its bytes where they can be."""
    from ravick import _printer
    from ravick._symbols import native_builtin

    found = _printer.file_facts(file.SerializePartialToString(), native_builtin())
    if found is None:
        return definitions(file), custom_option_uses(file), tuple(references(file))
    names, packages, numbers, uses, refs = found
    defined = Definitions(frozenset(names), frozenset(packages), frozenset(numbers))
    custom = {
        (kind, number): OptionUse(frozenset(wires), repeated)
        for kind, number, wires, repeated in uses
    }
    return defined, custom, tuple(refs)


@dataclass(slots=True)
class DefinitionTable:
    """The definitions claimed so far by the files of one tree, by owner."""

    names: dict[str, str] = field(default_factory=dict)
    packages: dict[str, str] = field(default_factory=dict)
    numbers: dict[tuple[str, int], str] = field(default_factory=dict)

    def clash(self, found: Definitions) -> tuple[str, str] | None:
        """The file already defining something ``found`` defines, and what."""
        for name in sorted(found.names):
            owner = self.names.get(name) or self.packages.get(name)
            if owner is not None:
                return owner, f"defines {name}, as {owner} does"
        for package in sorted(found.packages):
            if package in self.names:
                owner = self.names[package]
                return owner, f"its package {package} is a name in {owner}"
        for extendee, number in sorted(found.extension_numbers):
            owner = self.numbers.get((extendee, number))
            if owner is not None:
                return owner, (
                    f"extends {extendee} with number {number}, as {owner} does"
                )
        return None

    def claim(self, file_name: str, found: Definitions) -> None:
        """Records ``found`` as defined by ``file_name``."""
        for name in found.names:
            self.names.setdefault(name, file_name)
        for package in found.packages:
            self.packages.setdefault(package, file_name)
        for number in found.extension_numbers:
            self.numbers.setdefault(number, file_name)


@dataclass(frozen=True, slots=True)
class OptionUse:
    """How a file sets one custom option: the wire types of its values, and
    whether one options message holds it more than once."""

    wire_types: frozenset[int]
    repeated: bool


def custom_option_uses(file: FileProto) -> dict[tuple[str, int], OptionUse]:
    """How ``file`` sets each custom option, by (options message, number).

    A custom option is an extension of an options message. The protobuf
    runtime keeps it as an unknown field, or as an extension when a module
    defining it happens to be imported, so the numbers are read from the
    serialized options instead.
    """
    wires: dict[tuple[str, int], set[int]] = defaultdict(set)
    repeated: set[tuple[str, int]] = set()
    for options in _options_messages(file):
        known = options.DESCRIPTOR.fields_by_number
        kind = options.DESCRIPTOR.full_name
        counts: dict[int, int] = defaultdict(int)
        for number, wire in top_level_fields(options.SerializeToString()):
            if number not in known:
                wires[kind, number].add(wire)
                counts[number] += 1
        repeated.update((kind, n) for n, count in counts.items() if count > 1)
    return {
        key: OptionUse(frozenset(found), key in repeated)
        for key, found in wires.items()
    }


def top_level_numbers(data: bytes) -> set[int]:
    """The field numbers of a well-formed serialized message's own fields."""
    return {number for number, _ in top_level_fields(data)}


def top_level_fields(data: bytes) -> list[tuple[int, int]]:
    """(number, wire type) of a well-formed serialized message's own fields,
    in wire order; a group counts once, by its start."""
    fields: list[tuple[int, int]] = []
    pos, depth = 0, 0
    while pos < len(data):
        tag, pos = _varint(data, pos)
        number, wire = tag >> 3, tag & 7
        if depth == 0 and wire != 4:
            fields.append((number, wire))
        if wire == 0:
            _, pos = _varint(data, pos)
        elif wire == 1:
            pos += 8
        elif wire == 2:
            size, pos = _varint(data, pos)
            pos += size
        elif wire == 3:
            depth += 1
        elif wire == 4:
            depth -= 1
        elif wire == 5:
            pos += 4
        else:
            break
    return fields


def _varint(data: bytes, pos: int) -> tuple[int, int]:
    value = shift = 0
    while pos < len(data):
        byte = data[pos]
        pos += 1
        value |= (byte & 0x7F) << shift
        if byte < 0x80:
            break
        shift += 7
    return value, pos


_Owner = (
    FileProto
    | MessageProto
    | EnumProto
    | descriptor_pb2.FieldDescriptorProto
    | descriptor_pb2.OneofDescriptorProto
    | descriptor_pb2.DescriptorProto.ExtensionRange
    | descriptor_pb2.EnumValueDescriptorProto
    | descriptor_pb2.ServiceDescriptorProto
    | descriptor_pb2.MethodDescriptorProto
)


def _options_messages(file: FileProto) -> Iterator[Message]:
    owners: list[_Owner] = [file, *file.service, *file.extension]
    owners += [m for s in file.service for m in s.method]
    enums: list[EnumProto] = list(file.enum_type)
    stack: list[MessageProto] = list(file.message_type)
    while stack:
        message = stack.pop()
        owners += [message, *message.field, *message.extension]
        owners += [*message.oneof_decl, *message.extension_range]
        enums += message.enum_type
        stack += message.nested_type
    for enum in enums:
        owners += [enum, *enum.value]
    for owner in owners:
        if owner.HasField("options"):
            yield owner.options
            if owner.options.HasField("features"):
                yield owner.options.features


def references(fd: FileProto) -> Iterator[Reference]:
    """(full name, how it is used, enum default) of each type ``fd`` names
    with a leading dot; other names were never resolved and tell nothing."""
    fields: list[descriptor_pb2.FieldDescriptorProto] = list(fd.extension)
    stack: list[MessageProto] = list(fd.message_type)
    while stack:
        message = stack.pop()
        fields += [*message.field, *message.extension]
        stack += message.nested_type
    for f in fields:
        # A name that is not UTF-8 comes as bytes: its text keeps them escaped.
        type_name, extendee = as_text(f.type_name), as_text(f.extendee)
        if type_name.startswith("."):
            if f.type == _TYPE_ENUM:
                yield type_name[1:], "enum", as_text(f.default_value)
            else:
                yield type_name[1:], "message", ""
        if extendee.startswith("."):
            yield extendee[1:], "extendee", ""
    for service in fd.service:
        for method in service.method:
            for name in (as_text(method.input_type), as_text(method.output_type)):
                if name.startswith("."):
                    yield name[1:], "message", ""
