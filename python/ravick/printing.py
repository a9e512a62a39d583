"""``.proto`` source for a ``FileDescriptorProto``.

:func:`proto_source` prints one file such that protoc, compiling the text with
the file's imports at hand, gives back the descriptor it came from. Everything
protoc keeps in order is printed in that order: nested types (map entries and
group types included, where their fields put them), fields, oneofs,
extensions, and custom options as they stand on the wire. Type names are
printed fully qualified, which resolves the same whatever the nesting.

Descriptors come from untrusted bytes, so nothing here raises on a descriptor
that parses: what cannot be printed faithfully (a name that is not an
identifier, an option without a known definition) is left out and named in a
``//`` comment in its place.

Most files are printed natively (``ravick._printer``), byte for byte as this
module prints them; this module prints the files the native printer leaves
to it, renders the options it leaves, and is the reference the tests hold it
to (:func:`python_source_in`).
"""

from __future__ import annotations

from collections.abc import Iterable, Sequence
from dataclasses import dataclass, field
from functools import cached_property

from google.protobuf import descriptor_pb2

from ravick._declaration_text import (
    MAX_FIELD_END,
    MAX_INT32,
    bracketed,
    label_text,
    map_type,
    print_reserved,
    pseudo_options,
)
from ravick._native_printing import native_source
from ravick._options import (
    Assignment,
    RenderedOptions,
    left_out_text,
    render_options,
)
from ravick._services import print_service
from ravick._source_forms import (
    EnumProto,
    Implicit,
    Location,
    Scope,
    Unit,
    WithOptions,
    Writer,
    comments_by_path,
    field_type_text,
    field_units,
    implicit_types,
    join_name,
    options_bytes,
    renamed_synthetic_oneofs,
)
from ravick._symbols import (
    FieldProto,
    FileProto,
    MessageProto,
    SymbolIndex,
    Symbols,
)
from ravick._text import (
    as_bytes,
    is_dotted_name,
    is_identifier,
    quoted,
)

__all__ = ["proto_source", "proto_sources"]

_EDITIONS = {
    descriptor_pb2.EDITION_2023: "2023",
    descriptor_pb2.EDITION_2024: "2024",
    descriptor_pb2.EDITION_UNSTABLE: "UNSTABLE",
}

# Field numbers of the descriptor messages, for source_code_info paths.
_FILE_MESSAGE, _FILE_ENUM, _FILE_SERVICE, _FILE_EXTENSION = 4, 5, 6, 7
_MSG_FIELD, _MSG_NESTED, _MSG_ENUM, _MSG_EXTENSION, _MSG_ONEOF = 2, 3, 4, 6, 8
_ENUM_VALUE = 2


def proto_source(descriptor: FileProto, context: Iterable[FileProto] = ()) -> str:
    """The ``.proto`` source of ``descriptor``.

    ``context`` holds the other descriptors of the same run: the file's
    imports and the files defining the custom options it uses. Custom options
    are printed by name when their extension is defined in descriptor.proto,
    in ``descriptor`` itself or in ``context``; any other is named by number
    in a comment. Where several files define the same name (two extensions
    with one number, say), the definition from a file that ``descriptor``
    imports wins. Never raises for a descriptor that parses.
    """
    return proto_source_in(descriptor, SymbolIndex((descriptor, *context)))


def proto_sources(descriptors: Iterable[FileProto]) -> list[str]:
    """:func:`proto_source` of each of ``descriptors``, the others as context.

    One index of the names serves every file, so this is much faster than
    printing the files one by one when there are many.
    """
    files = list(descriptors)
    index = SymbolIndex(tuple(files))
    return [proto_source_in(file, index) for file in files]


def proto_source_in(descriptor: FileProto, index: SymbolIndex) -> str:
    """:func:`proto_source` of one of the files of ``index``, the rest of them
    as context."""
    native = native_source(descriptor, index)
    if native is not None:
        return native
    return python_source_in(descriptor, index)


def python_source_in(descriptor: FileProto, index: SymbolIndex) -> str:
    """:func:`proto_source_in` printed by this module alone: every file, the
    reference that the native printer reproduces."""
    symbols = index.for_file(descriptor)
    printer = _FilePrinter(descriptor, symbols, comments_by_path(descriptor))
    printer.print_file()
    return "\n".join(printer.out.lines) + "\n"


@dataclass
class _FilePrinter:
    file: FileProto
    symbols: Symbols
    comments: dict[tuple[int, ...], Location]
    out: Writer = field(default_factory=Writer)

    @cached_property
    def syntax(self) -> str:
        """proto2, proto3 or editions; a syntax no compiler knows counts as proto2."""
        if self.file.syntax in ("proto3", "editions"):
            return str(self.file.syntax)
        return "proto2"

    @cached_property
    def editions(self) -> bool:
        return self.syntax == "editions"

    @cached_property
    def unstable(self) -> bool:
        """The edition in development, whose scalars have other names."""
        return self.editions and self.file.edition == descriptor_pb2.EDITION_UNSTABLE

    # --- comments ---------------------------------------------------------

    def leading(self, path: tuple[int, ...]) -> None:
        if not self.comments:
            return
        location = self.comments.get(path)
        if location is None:
            return
        for detached in location.leading_detached_comments:
            if self.out.lines and self.out.lines[-1]:
                self.out.add("")
            self.out.comment(detached)
            self.out.add("")
        if location.HasField("leading_comments"):
            self.out.comment(location.leading_comments)

    def trailing(self, path: tuple[int, ...]) -> None:
        if not self.comments:
            return
        location = self.comments.get(path)
        if location is not None and location.HasField("trailing_comments"):
            self.out.comment(location.trailing_comments)

    # --- file ---------------------------------------------------------------

    def print_file(self) -> None:
        self.print_syntax()
        self.print_package()
        self.print_imports()
        self.print_option_statements("google.protobuf.FileOptions", self.file, (8,))
        self.out.gap()
        scope = Scope(
            full_name=self.file.package if is_dotted_name(self.file.package) else "",
            path=(),
            messages=self.file.message_type,
            message_tag=_FILE_MESSAGE,
            enums=self.file.enum_type,
            enum_tag=_FILE_ENUM,
            extensions=self.file.extension,
            extension_tag=_FILE_EXTENSION,
        )
        self.print_scope(scope)
        for i, service in enumerate(self.file.service):
            print_service(self, service, (_FILE_SERVICE, i))
        while self.out.lines and not self.out.lines[-1]:
            self.out.lines.pop()

    def print_syntax(self) -> None:
        self.leading((12,))
        if not self.editions:
            if self.file.syntax not in ("", "proto2", "proto3"):
                self.out.note(f"syntax {self.file.syntax!r} unknown; printed as proto2")
            self.out.add(f'syntax = "{self.syntax}";')
        elif self.file.edition in _EDITIONS:
            self.out.add(f'edition = "{_EDITIONS[self.file.edition]}";')
        else:
            self.out.note(f"edition {self.file.edition} has no source form; as 2023")
            self.out.add('edition = "2023";')
        self.out.add("")

    def print_package(self) -> None:
        if not self.file.HasField("package"):
            return
        self.leading((2,))
        if is_dotted_name(self.file.package) and not self.file.package.startswith("."):
            self.out.add(f"package {self.file.package};")
        else:
            self.out.note(f"package {self.file.package!r} is not a dotted name")
        self.out.add("")

    def print_imports(self) -> None:
        public = set(self.file.public_dependency)
        weak = set(self.file.weak_dependency)
        for i, name in enumerate(self.file.dependency):
            modifier = "public " if i in public else "weak " if i in weak else ""
            self.leading((3, i))
            self.out.add(f"import {modifier}{quoted(as_bytes(name), text=True)};")
        for name in self.file.option_dependency:
            self.out.add(f"import option {quoted(as_bytes(name), text=True)};")
        if self.file.dependency or self.file.option_dependency:
            self.out.add("")

    # --- options --------------------------------------------------------------

    def print_option_statements(
        self, options_type: str, owner: WithOptions, path: tuple[int, ...]
    ) -> None:
        data = options_bytes(owner)
        if data is None:
            return
        self.leading(path)
        rendered = render_options(options_type, data, self.symbols)
        for assignment in rendered.assignments:
            lines = assignment.lines(";")
            self.out.add("option " + lines[0])
            for line in lines[1:]:
                self.out.add(line)
        self.note_left_out(rendered.left_out)

    def rendered(self, options_type: str, owner: WithOptions) -> RenderedOptions:
        """The options of ``owner`` as ``[...]`` assignments."""
        return render_options(options_type, options_bytes(owner) or b"", self.symbols)

    def note_left_out(self, left_out: Sequence[str]) -> None:
        if left_out:
            self.out.note(left_out_text(left_out))

    def add_lines(self, lines: Sequence[str], end: str) -> None:
        for line in lines[:-1]:
            self.out.add(line)
        self.out.add(lines[-1] + end)

    # --- scopes ----------------------------------------------------------------

    def print_scope(self, scope: Scope) -> None:
        """Prints the declarations of ``scope`` in the orders protoc keeps."""
        implicit = implicit_types(scope, self.syntax)
        units = field_units(scope.fields)
        unit_of = {i: k for k, unit in enumerate(units) for i in unit.fields}
        owners = {j: ("field", i) for i, j in implicit.map_entries.items()}
        owners |= {j: ("field", i) for i, j in implicit.field_groups.items()}
        owners |= {j: ("extension", i) for i, j in implicit.extension_groups.items()}
        next_unit = 0
        next_extension = 0
        for j, nested in enumerate(scope.messages):
            owner = owners.get(j)
            if owner is None:
                self.print_message(nested, scope, j)
            elif owner[0] == "field":
                last = unit_of[owner[1]]
                for k in range(next_unit, last + 1):
                    self.print_unit(units[k], scope, implicit)
                next_unit = max(next_unit, last + 1)
            else:
                self.print_extensions(scope, implicit, next_extension, owner[1] + 1)
                next_extension = max(next_extension, owner[1] + 1)
        for k in range(next_unit, len(units)):
            self.print_unit(units[k], scope, implicit)
        self.print_extensions(scope, implicit, next_extension, len(scope.extensions))
        for i, enum in enumerate(scope.enums):
            self.out.gap()
            self.print_enum(enum, (*scope.path, scope.enum_tag, i))

    # --- messages ----------------------------------------------------------------

    def print_message(self, message: MessageProto, scope: Scope, j: int) -> None:
        path = (*scope.path, scope.message_tag, j)
        if not is_identifier(message.name):
            self.out.note(f"message {message.name!r} left out: not an identifier")
            return
        self.out.gap()
        self.leading(path)
        self.out.add(f"{self.visibility(message)}message {message.name} {{")
        self.print_message_body(message, join_name(scope.full_name, message.name), path)
        self.out.add("}")
        self.out.add("")

    def visibility(self, declaration: MessageProto | EnumProto) -> str:
        if declaration.visibility == descriptor_pb2.VISIBILITY_LOCAL:
            return "local "
        if declaration.visibility == descriptor_pb2.VISIBILITY_EXPORT:
            return "export "
        return ""

    def print_message_body(
        self, message: MessageProto, full_name: str, path: tuple[int, ...]
    ) -> None:
        self.out.depth += 1
        self.trailing(path)
        self.print_option_statements(
            "google.protobuf.MessageOptions", message, (*path, 7)
        )
        scope = Scope(
            full_name=full_name,
            path=path,
            messages=message.nested_type,
            message_tag=_MSG_NESTED,
            enums=message.enum_type,
            enum_tag=_MSG_ENUM,
            extensions=message.extension,
            extension_tag=_MSG_EXTENSION,
            fields=message.field,
            oneofs=message.oneof_decl,
        )
        self.print_oneofs_without_fields(message, path)
        self.print_scope(scope)
        self.print_extension_ranges(message, path)
        print_reserved(
            self.out,
            message.reserved_range,
            message.reserved_name,
            MAX_FIELD_END,
            editions=self.editions,
        )
        while self.out.lines and not self.out.lines[-1]:
            self.out.lines.pop()
        self.out.depth -= 1

    def print_oneofs_without_fields(
        self, message: MessageProto, path: tuple[int, ...]
    ) -> None:
        if not message.oneof_decl:
            return
        used = {f.oneof_index for f in message.field if f.HasField("oneof_index")}
        for k, oneof in enumerate(message.oneof_decl):
            if k not in used:
                self.out.note(f"oneof {oneof.name!r} without fields left out")
        for name, oneof_name, derived in renamed_synthetic_oneofs(message):
            self.out.note(
                f"the oneof of optional field {name!r} is named {oneof_name!r}; "
                f"protoc names it {derived!r}"
            )

    def print_unit(self, unit: Unit, scope: Scope, implicit: Implicit) -> None:
        if unit.oneof is None:
            self.print_field(unit.fields[0], scope, implicit, in_oneof=False)
            return
        message_path = scope.path
        oneof_path = (*message_path, _MSG_ONEOF, unit.oneof)
        oneofs = scope.oneofs
        oneof = oneofs[unit.oneof] if 0 <= unit.oneof < len(oneofs) else None
        name = oneof.name if oneof is not None else ""
        if not is_identifier(name):
            self.out.note(f"oneof {name!r} is not an identifier; its fields follow")
            for i in unit.fields:
                self.print_field(i, scope, implicit, in_oneof=False)
            return
        self.leading(oneof_path)
        self.out.add(f"oneof {name} {{")
        self.out.depth += 1
        self.trailing(oneof_path)
        if oneof is not None:
            self.print_option_statements(
                "google.protobuf.OneofOptions", oneof, (*oneof_path, 2)
            )
        for i in unit.fields:
            self.print_field(i, scope, implicit, in_oneof=True)
        self.out.depth -= 1
        self.out.add("}")

    # --- fields --------------------------------------------------------------------

    def print_field(
        self, i: int, scope: Scope, implicit: Implicit, *, in_oneof: bool
    ) -> None:
        proto = scope.fields[i]
        path = (*scope.path, _MSG_FIELD, i) if self.comments else ()
        map_entry = implicit.map_entries.get(i)
        group = implicit.field_groups.get(i)
        self.print_field_like(proto, path, scope, map_entry, group, in_oneof=in_oneof)

    def print_field_like(
        self,
        proto: FieldProto,
        path: tuple[int, ...],
        scope: Scope,
        map_entry: int | None,
        group: int | None,
        *,
        in_oneof: bool,
    ) -> None:
        if not is_identifier(proto.name):
            self.out.note(f"field {proto.name!r} left out: not an identifier")
            return
        if map_entry is not None:
            type_text: str | None = map_type(
                scope.messages[map_entry], unstable=self.unstable
            )
            label = ""
        elif group is not None:
            type_text = "group " + scope.messages[group].name
            label = label_text(proto, self.syntax, in_oneof=in_oneof)
        else:
            type_text = field_type_text(proto, unstable=self.unstable)
            label = label_text(proto, self.syntax, in_oneof=in_oneof)
            if proto.type == FieldProto.TYPE_GROUP and self.syntax == "proto2":
                self.out.note(
                    f"field {proto.name!r} is a group of {proto.type_name!r}, which "
                    "is not named after it: a source declares a message field"
                )
        if type_text is None:
            self.out.note(f"field {proto.name!r} left out: type {proto.type_name!r}")
            return
        self.leading(path)
        pseudo, notes = pseudo_options(proto)
        for note in notes:
            self.out.note(note)
        assignments: Sequence[Assignment] = ()
        if proto.HasField("options"):
            rendered = self.rendered("google.protobuf.FieldOptions", proto)
            self.note_left_out(rendered.left_out)
            assignments = rendered.assignments
        name = "" if group is not None else f" {proto.name}"
        head = f"{label}{type_text}{name} = {proto.number}"
        if group is None:
            if pseudo or assignments:
                self.add_lines(bracketed(head, pseudo, assignments), ";")
            else:
                self.out.add(head + ";")
            self.trailing(path)
            return
        lines = bracketed(head, pseudo, assignments)
        self.add_lines(lines, " {")
        nested = scope.messages[group]
        nested_path = (*scope.path, scope.message_tag, group)
        self.print_message_body(
            nested, join_name(scope.full_name, nested.name), nested_path
        )
        self.out.add("}")

    # --- extensions ---------------------------------------------------------------

    def print_extensions(
        self, scope: Scope, implicit: Implicit, start: int, end: int
    ) -> None:
        """Extensions ``start`` to ``end``, an ``extend`` block per run of extendees."""
        i = start
        while i < end:
            extendee = scope.extensions[i].extendee
            run_end = i
            while run_end < end and scope.extensions[run_end].extendee == extendee:
                run_end += 1
            if is_dotted_name(extendee):
                self.print_extend_block(scope, implicit, extendee, i, run_end)
            else:
                self.out.note(f"extensions of {extendee!r} left out: not a type name")
            i = run_end

    def print_extend_block(
        self, scope: Scope, implicit: Implicit, extendee: str, start: int, end: int
    ) -> None:
        self.leading((*scope.path, scope.extension_tag))
        self.out.add(f"extend {extendee} {{")
        self.out.depth += 1
        for i in range(start, end):
            path = (*scope.path, scope.extension_tag, i)
            group = implicit.extension_groups.get(i)
            self.print_field_like(
                scope.extensions[i], path, scope, None, group, in_oneof=False
            )
        self.out.depth -= 1
        self.out.add("}")
        self.out.add("")

    def print_extension_ranges(
        self, message: MessageProto, path: tuple[int, ...]
    ) -> None:
        for k, ext_range in enumerate(message.extension_range):
            end = ext_range.end
            end_text = "max" if end in (MAX_FIELD_END, MAX_INT32) else str(end - 1)
            span = (
                str(ext_range.start)
                if end == ext_range.start + 1
                else (f"{ext_range.start} to {end_text}")
            )
            rendered = self.rendered("google.protobuf.ExtensionRangeOptions", ext_range)
            self.note_left_out(rendered.left_out)
            self.leading((*path, 5, k))
            self.add_lines(
                bracketed(f"extensions {span}", (), rendered.assignments), ";"
            )

    # --- enums --------------------------------------------------------------------

    def print_enum(self, enum: EnumProto, path: tuple[int, ...]) -> None:
        if not is_identifier(enum.name):
            self.out.note(f"enum {enum.name!r} left out: not an identifier")
            return
        self.leading(path)
        self.out.add(f"{self.visibility(enum)}enum {enum.name} {{")
        self.out.depth += 1
        self.trailing(path)
        self.print_option_statements("google.protobuf.EnumOptions", enum, (*path, 3))
        for k, value in enumerate(enum.value):
            value_path = (*path, _ENUM_VALUE, k)
            if not is_identifier(value.name):
                self.out.note(f"enum value {value.name!r} left out: not an identifier")
                continue
            rendered = self.rendered("google.protobuf.EnumValueOptions", value)
            self.note_left_out(rendered.left_out)
            self.leading(value_path)
            head = f"{value.name} = {value.number}"
            self.add_lines(bracketed(head, (), rendered.assignments), ";")
            self.trailing(value_path)
        print_reserved(
            self.out,
            enum.reserved_range,
            enum.reserved_name,
            MAX_INT32,
            editions=self.editions,
        )
        self.out.depth -= 1
        self.out.add("}")
        self.out.add("")
