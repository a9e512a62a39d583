"""What a file of the tree uses that its imports do not define: the types
its fields, extensions and methods name, and the custom options it sets."""

from __future__ import annotations

from collections.abc import Iterable, Mapping
from dataclasses import dataclass, field

from ravick._file_graph import Kind, OptionUse
from ravick.extraction.records import Entry


@dataclass(slots=True)
class Needs:
    """What one file uses and nothing it sees defines."""

    types: dict[str, Kind] = field(default_factory=dict)
    """Full names (without the leading dot) and what the file uses them as."""
    enum_values: dict[str, list[str]] = field(default_factory=dict)
    """Values that the file's defaults name, by enum."""
    open_enums: set[str] = field(default_factory=set)
    """Enums that a proto3 file uses, which must be open."""
    options: dict[tuple[str, int], OptionUse] = field(default_factory=dict)

    def __bool__(self) -> bool:
        return bool(self.types or self.options)


def imported(
    names: Iterable[str], named: Mapping[str, Entry], *, public_only: bool = False
) -> set[str]:
    """The files of ``named`` that ``names`` reach through their imports,
    ``names`` included; with ``public_only``, past ``names`` themselves only
    through public imports, as protoc resolves names."""
    seen: set[str] = set()
    stack = list(names)
    while stack:
        name = stack.pop()
        if name in seen or name not in named:
            continue
        seen.add(name)
        fd = named[name].descriptor
        if not public_only:
            stack += fd.dependency
            continue
        stack += [
            fd.dependency[i]
            for i in fd.public_dependency
            if 0 <= i < len(fd.dependency)
        ]
    return seen


def visible(
    entry: Entry, named: Mapping[str, Entry]
) -> tuple[set[str], set[tuple[str, int]]]:
    """The names and extension numbers ``entry`` sees: its own, its imports'
    and what those import publicly, as protoc resolves them."""
    names = set(entry.defined.names)
    numbers = set(entry.defined.extension_numbers)
    for name in imported(entry.descriptor.dependency, named, public_only=True):
        names |= named[name].defined.names
        numbers |= named[name].defined.extension_numbers
    return names, numbers


def unresolved(entry: Entry, named: Mapping[str, Entry]) -> Needs:
    """What ``entry`` uses that neither it nor the files it sees define."""
    names, numbers = visible(entry, named)
    needs = Needs()
    proto3 = entry.descriptor.syntax == "proto3"
    for name, kind, default in entry.references:
        if name in names:
            continue
        if needs.types.get(name) != "extendee":
            needs.types[name] = kind
        if kind == "enum":
            if default and default not in needs.enum_values.setdefault(name, []):
                needs.enum_values[name].append(default)
            if proto3:
                needs.open_enums.add(name)
    needs.options = {
        key: use for key, use in entry.custom_options.items() if key not in numbers
    }
    return needs
