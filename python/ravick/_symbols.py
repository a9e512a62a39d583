"""The names a run's descriptors define: messages, enums, fields and
extensions, looked up as protoc resolves them from one file."""

from __future__ import annotations

from collections.abc import Iterable
from dataclasses import dataclass, field
from functools import cache, cached_property
from typing import TYPE_CHECKING, Literal

from google.protobuf import descriptor_pb2

from ravick._text import as_text, is_identifier, type_key

if TYPE_CHECKING:
    from ravick._options import RenderedOptions

FieldProto = descriptor_pb2.FieldDescriptorProto
MessageProto = descriptor_pb2.DescriptorProto
EnumProto = descriptor_pb2.EnumDescriptorProto
FileProto = descriptor_pb2.FileDescriptorProto

_MESSAGE_TYPES = frozenset({FieldProto.TYPE_MESSAGE, FieldProto.TYPE_GROUP})
_IMPLICIT = descriptor_pb2.FeatureSet.IMPLICIT
_OPEN = descriptor_pb2.FeatureSet.OPEN
_DELIMITED = descriptor_pb2.FeatureSet.DELIMITED


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
        scope = as_text(file.package)
        name = as_text(file.name)
        self.files.setdefault(name, file)
        self.packages |= _packages_of([file])
        self._add_scope(name, scope, file.message_type, file.enum_type, file.extension)

    def _add_scope(
        self,
        file: str,
        scope: str,
        messages: Iterable[MessageProto],
        enums: Iterable[EnumProto],
        extensions: Iterable[FieldProto],
    ) -> None:
        prefix = scope + "." if scope else ""
        for enum in enums:
            self.enums.setdefault(prefix + as_text(enum.name), []).append((file, enum))
        for ext in extensions:
            key = (type_key(ext.extendee), ext.number)
            full_name = prefix + as_text(ext.name)
            self.extensions.setdefault(key, []).append(
                (file, Extension(full_name, ext, file))
            )
            self.extension_names.add(full_name)
        for message in messages:
            name = prefix + as_text(message.name)
            self.messages.setdefault(name, []).append((file, message))
            if message.nested_type or message.enum_type or message.extension:
                self._add_scope(
                    file,
                    name,
                    message.nested_type,
                    message.enum_type,
                    message.extension,
                )

    def replaced(self, file: FileProto, files: Iterable[FileProto]) -> _SymbolTables:
        """These tables with ``file`` in place of the files of its name, as
        :func:`_tables_of` makes them for ``file`` followed by the others;
        ``files`` are the files these tables were made of."""
        name = as_text(file.name)
        gone = _tables_of(f for f in files if as_text(f.name) == name)
        own = _tables_of([file])
        extensions = _replaced(self.extensions, gone.extensions, own.extensions, name)
        return _SymbolTables(
            messages=_replaced(self.messages, gone.messages, own.messages, name),
            enums=_replaced(self.enums, gone.enums, own.enums, name),
            extensions=extensions,
            packages=_packages_of(f for f in files if as_text(f.name) != name)
            | own.packages,
            extension_names={e.full_name for d in extensions.values() for _, e in d},
            files={name: file} | {k: f for k, f in self.files.items() if k != name},
        )


def _replaced[K, T](
    tables: dict[K, list[tuple[str, T]]],
    gone: dict[K, list[tuple[str, T]]],
    own: dict[K, list[tuple[str, T]]],
    name: str,
) -> dict[K, list[tuple[str, T]]]:
    """``tables`` without the definitions of file ``name`` (those in
    ``gone``), those of ``own`` first."""
    out = dict(tables)
    for key in gone:
        kept = [entry for entry in out.get(key, ()) if entry[0] != name]
        if kept:
            out[key] = kept
        else:
            out.pop(key, None)
    for key, entries in own.items():
        out[key] = entries + out.get(key, [])
    return out


def _packages_of(files: Iterable[FileProto]) -> set[str]:
    packages: set[str] = set()
    for package in {as_text(f.package) for f in files}:
        parts = package.split(".")
        packages.update(".".join(parts[:k]) for k in range(1, len(parts) + 1))
    return packages


def _tables_of(files: Iterable[FileProto]) -> _SymbolTables:
    tables = _SymbolTables()
    for file in files:
        tables.add_file(file)
    return tables


# descriptor.proto as this runtime knows it: the option messages the compiler
# reads. Built once; never changed.
_BUILTIN = _tables_of([FileProto.FromString(descriptor_pb2.DESCRIPTOR.serialized_pb)])
# Its messages' fields by number, and the file defining them: every file
# sees these alike, so their look-ups need no index.
_BUILTIN_FIELDS = {
    name: {f.number: f for f in reversed(message.field)}
    for name, [(_, message), *_] in _BUILTIN.messages.items()
}
_BUILTIN_FILE = {name: file for name, [(file, _), *_] in _BUILTIN.messages.items()}


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


@cache
def native_builtin() -> object:
    """descriptor.proto as this runtime knows it, indexed for the native
    printer (made once)."""
    from ravick import _printer

    return _printer.index((descriptor_pb2.DESCRIPTOR.serialized_pb,))


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
    # The index whose files this one holds but for those named as files[0].
    base: SymbolIndex | None = field(default=None, compare=False, repr=False)

    @cached_property
    def tables(self) -> _SymbolTables:
        if self.base is None:
            return _tables_of(self.files)
        return self.base.tables.replaced(self.files[0], self.base.files)

    def replacing(self, file: FileProto) -> SymbolIndex:
        """The index of ``file`` and this index's files of other names,
        ``file`` first, sharing what it can with this index: a conflicting
        version of one file prints with the others as context without
        indexing them again."""
        name = as_text(file.name)
        others = (f for f in self.files if as_text(f.name) != name)
        return SymbolIndex((file, *others), self.renders, self)

    @cached_property
    def native(self) -> object | None:
        """The native printer's index of these files (None if it cannot
        read them: the Python renderer then renders their custom options).
        A conflicting version's reads its base's."""
        from ravick import _printer

        try:
            if self.base is None:
                data = [f.SerializePartialToString() for f in self.files]
                return _printer.index(data)
            base = self.base.native
            if base is None:
                return None
            return _printer.replacing(base, self.files[0].SerializePartialToString())
        except ValueError:
            return None

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
        builtin = _BUILTIN_FILE.get(name)
        if builtin is not None:
            return _BUILTIN.files.get(builtin)
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
        presence = self._feature(
            "field_presence", proto.options.features, message, file
        )
        return presence == _IMPLICIT

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
        scope = name.rpartition(".")[0]
        kind = self._feature("enum_type", entry[1].options.features, scope, file)
        return kind is None or kind == _OPEN  # open is the editions default

    def delimited(self, proto: FieldProto, scope: str, file: str | None) -> bool:
        """Whether ``proto``, a message field declared in message or package
        ``scope`` of the file named ``file``, is encoded as a group (the
        editions feature ``message_encoding = DELIMITED``)."""
        if proto.type != FieldProto.TYPE_MESSAGE or file is None:
            return False
        found = _BUILTIN.files.get(file) or self._files().files.get(file)
        if found is None or found.syntax != "editions":
            return False
        own = proto.options.features
        return self._feature("message_encoding", own, scope, found) == _DELIMITED

    def is_message_set(self, message: str) -> bool:
        """Whether ``message`` has the MessageSet wire format, whose
        extensions stand on the wire as items (group 1: type_id, message)."""
        proto = self.message(message)
        return proto is not None and proto.options.message_set_wire_format

    def field_file(self, message: str) -> str | None:
        """The name of the file defining ``message``."""
        builtin = _BUILTIN_FILE.get(message)
        if builtin is not None:
            return builtin
        file = self.message_file(message)
        return None if file is None else as_text(file.name)

    def _feature(
        self,
        name: Literal["field_presence", "enum_type", "message_encoding"],
        own: descriptor_pb2.FeatureSet,
        scope: str,
        file: FileProto,
    ) -> int | None:
        """Feature ``name`` as resolved for a declaration with features
        ``own`` inside message ``scope``: its own, each enclosing message's,
        then the file's; None where none sets it."""
        features = [own]
        while (enclosing := self.message(scope)) is not None:
            features.append(enclosing.options.features)
            scope = scope.rpartition(".")[0]
        features.append(file.options.features)
        for feature_set in features:
            if feature_set.HasField(name):
                value: int = getattr(feature_set, name)
                return value
        return None

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
        builtin = _BUILTIN_FIELDS.get(message)
        if builtin is not None:
            return builtin.get(number)
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
