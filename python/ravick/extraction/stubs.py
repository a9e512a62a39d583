"""A stub: a small file, at an imported path that no input holds, defining
with invented names what its importers use from it (empty messages, enums
of one value, extensions whose types re-encode the option bytes found)."""

from __future__ import annotations

from collections.abc import Iterable
from dataclasses import dataclass, field

from google.protobuf import descriptor_pb2

from ravick._file_graph import Kind, OptionUse
from ravick._text import is_identifier
from ravick.extraction.needs import Needs
from ravick.extraction.records import FileProto, shown

FieldProto = descriptor_pb2.FieldDescriptorProto
MessageProto = descriptor_pb2.DescriptorProto
EnumProto = descriptor_pb2.EnumDescriptorProto

DESCRIPTOR_PROTO = "google/protobuf/descriptor.proto"
_MAX_FIELD_END = 536870912  # one past the largest field number
# The types that re-encode a value of each wire type byte for byte.
_TYPE_OF_WIRE = {
    0: FieldProto.TYPE_UINT64,
    1: FieldProto.TYPE_FIXED64,
    2: FieldProto.TYPE_BYTES,
    5: FieldProto.TYPE_FIXED32,
}
# Options whose extensions protoc checks for more than a number and a type.
_NOT_STUBBED = frozenset({"google.protobuf.FeatureSet"})


@dataclass(slots=True)
class StubNeeds:
    """What the importers of one missing file need from it, together."""

    needs: Needs = field(default_factory=Needs)
    by_importer: dict[str, list[str]] = field(default_factory=dict)
    """What each importer needs, as words for the stub's comment."""

    def add(self, importer: str, needs: Needs) -> None:
        """Adds ``needs`` of ``importer`` (the union of what importers need)."""
        words = self.by_importer.setdefault(importer, [])
        for name, kind in needs.types.items():
            if self.needs.types.get(name) != "extendee":
                self.needs.types[name] = kind
            words.append(f"{'message' if kind == 'extendee' else kind} {name}")
        for name, values in needs.enum_values.items():
            known = self.needs.enum_values.setdefault(name, [])
            known += [v for v in values if v not in known]
        self.needs.open_enums |= needs.open_enums
        for key, use in needs.options.items():
            old = self.needs.options.get(key)
            if old is not None:
                use = OptionUse(
                    old.wire_types | use.wire_types, old.repeated or use.repeated
                )
            self.needs.options[key] = use
            words.append(f"option {key[0]} {key[1]}")


def stub_package(names: Iterable[str]) -> str:
    """The longest package that holds every one of ``names`` as a type."""
    scopes = [name.split(".")[:-1] for name in names]
    if not scopes:
        return ""
    common = scopes[0]
    for scope in scopes[1:]:
        k = 0
        while k < min(len(common), len(scope)) and common[k] == scope[k]:
            k += 1
        common = common[:k]
    return ".".join(common)


def build_stub(path: str, package: str, needs: Needs, taken: set[str]) -> FileProto:
    """The stub at ``path`` in ``package`` for ``needs``. ``taken`` holds the
    full names defined elsewhere, which its extensions must not reuse; the
    names of its extensions are added."""
    fd = FileProto(name=path)
    if package:
        fd.package = package
    scope: dict[str, MessageProto | EnumProto] = {}
    values_taken: dict[str, set[str]] = {}
    for name in sorted(needs.types, key=lambda n: (n.count("."), n)):
        _add_type(fd, scope, values_taken, package, name, needs)
    extensions = [
        (key, use)
        for key, use in sorted(needs.options.items())
        if key[0] not in _NOT_STUBBED
        and len(use.wire_types) == 1
        and use.wire_types <= _TYPE_OF_WIRE.keys()
    ]
    if extensions:
        fd.dependency.append(DESCRIPTOR_PROTO)
    for (kind, number), use in extensions:
        fd.extension.append(_option_extension(kind, number, use, package, taken))
    open_enum = any(n in needs.open_enums for n in needs.types)
    if open_enum and "extendee" not in needs.types.values():
        fd.syntax = "proto3"
    return fd


def _add_type(
    fd: FileProto,
    scope: dict[str, MessageProto | EnumProto],
    values_taken: dict[str, set[str]],
    package: str,
    name: str,
    needs: Needs,
) -> None:
    relative = name[len(package) + 1 :] if package else name
    parts = relative.split(".")
    if not all(is_identifier(p) for p in parts):
        return
    parent: MessageProto | None = None
    for depth in range(len(parts) - 1):
        key = ".".join(parts[: depth + 1])
        found = scope.get(key)
        if isinstance(found, EnumProto):
            return  # an enum cannot hold a type
        if found is None:
            found = (fd.message_type if parent is None else parent.nested_type).add()
            found.name = parts[depth]
            scope[key] = found
        parent = found
    if relative in scope:
        return
    kind: Kind = needs.types[name]
    if kind == "enum":
        enum = (fd.enum_type if parent is None else parent.enum_type).add()
        enum.name = parts[-1]
        enclosing = ".".join(parts[:-1])
        used = values_taken.setdefault(enclosing, set())
        for k, value in enumerate(
            _enum_values(enum.name, needs.enum_values.get(name, []), used)
        ):
            enum.value.add(name=value, number=k)
        scope[relative] = enum
        return
    message = (fd.message_type if parent is None else parent.nested_type).add()
    message.name = parts[-1]
    if kind == "extendee":
        message.extension_range.add(start=1, end=_MAX_FIELD_END)
    scope[relative] = message


def _enum_values(enum: str, wanted: list[str], used: set[str]) -> list[str]:
    """The defaults importers name (each once in the scope enum values share),
    or one invented value."""
    values = [v for v in wanted if is_identifier(v) and v not in used]
    if not values:
        base = f"{enum.upper()}_UNKNOWN"
        values = [base]
        k = 1
        while values[0] in used:
            values = [f"{base}_{k}"]
            k += 1
    used.update(values)
    return values


def _option_extension(
    kind: str, number: int, use: OptionUse, package: str, taken: set[str]
) -> FieldProto:
    (wire,) = use.wire_types
    name = f"unknown_{number}"
    if _join(package, name) in taken:
        name = f"{name}_{kind.rsplit('.', 1)[-1].lower()}"
    while _join(package, name) in taken:
        name += "_"
    taken.add(_join(package, name))
    return FieldProto(
        name=name,
        number=number,
        label=FieldProto.LABEL_REPEATED if use.repeated else FieldProto.LABEL_OPTIONAL,
        type=_TYPE_OF_WIRE[wire],
        extendee="." + kind,
        json_name=_json_name(name),
    )


def _join(package: str, name: str) -> str:
    return f"{package}.{name}" if package else name


def _json_name(name: str) -> str:
    """The JSON name protoc gives a field: underscores dropped, the letter
    after each one upper case."""
    out: list[str] = []
    upper = False
    for c in name:
        if c == "_":
            upper = True
        else:
            out.append(c.upper() if upper else c)
            upper = False
    return "".join(out)


def stub_header(by_importer: dict[str, list[str]]) -> str:
    """Comment lines saying what the stub is and which importer needed what."""
    lines = [
        "// A stand-in written by ravick: no input holds this file. Its names are",
        "// invented; it defines what the files importing it use, and no more.",
    ]
    for importer, words in by_importer.items():
        lines.append(f"//   {shown(importer)}: {shown(', '.join(words)) or 'nothing'}")
    return "\n".join(lines) + "\n"


def alias_header(target: str) -> str:
    """Comment lines saying what the alias is."""
    return (
        "// A stand-in written by ravick: no input holds this file under this\n"
        f"// name; {shown(target)} evidently is it, and is imported publicly.\n"
    )
