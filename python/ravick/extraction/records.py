"""What one extract run did: the records of its report, and the files it
plans to write."""

from __future__ import annotations

from collections.abc import Mapping
from dataclasses import dataclass
from typing import Literal

from google.protobuf import descriptor_pb2

from ravick._file_graph import Definitions, OptionUse, Reference
from ravick.safe_output import WriteStatus

Source = Literal["found", "protobuf", "stub", "alias"]
"""Where a file of the tree comes from: an input, the protobuf package, or
ravick itself (a stand-in for an import that no input holds)."""
Compiles = Literal[
    "as found", "with an alias", "with stubs", "with restored imports", "no"
]
FileProto = descriptor_pb2.FileDescriptorProto


@dataclass(frozen=True, slots=True)
class Location:
    """Where a descriptor was found: an input and the offset in it.

    For a descriptor inside decoded bytes (a compressed stream, an archive
    member), ``offset`` is the outermost region's, ``layers`` the steps to
    the bytes (as :attr:`ravick.Found.layers`) and ``inner_offset`` the
    descriptor's offset in the innermost decoded bytes.
    """

    path: str
    offset: int
    inner_offset: int | None = None
    layers: tuple[str, ...] = ()


@dataclass(frozen=True, slots=True)
class WrittenFile:
    """One source file of the tree: written, replaced or already there."""

    name: str
    path: str
    """Its path relative to the output directory."""
    source: Source
    sha256: str
    status: WriteStatus
    found_at: Location | None
    """Where it was first found (None for a file not found in the inputs)."""
    compiles: Compiles
    """Whether protoc compiles it back to its descriptor: as found, thanks to
    stand-ins or restored imports, or not at all (see ``cannot_compile``)."""
    restored_imports: tuple[str, ...] = ()
    """Imports that the found descriptor lacks and its source has."""


@dataclass(frozen=True, slots=True)
class Duplicate:
    """Equal bytes found more than once: one file, the first place kept."""

    name: str
    sha256: str
    kept: Location
    merged: tuple[Location, ...]


@dataclass(frozen=True, slots=True)
class Conflict:
    """A version of a name that another descriptor had already taken."""

    name: str
    sha256: str
    path: str
    """Where it is written, relative to the output directory."""
    kept_by: str
    """The name of the file that kept the name, or defines the same names."""
    reason: str
    found_at: Location | None


@dataclass(frozen=True, slots=True)
class Dropped:
    """A descriptor left out: implausible, or with a name that is not safe."""

    name: str
    sha256: str
    reason: str
    found_at: Location


@dataclass(frozen=True, slots=True)
class MissingImports:
    """Imports of one file that neither the inputs nor protobuf carry."""

    name: str
    path: str
    imports: tuple[str, ...]
    similar: tuple[tuple[str, str], ...] = ()
    """(import, file of the tree) pairs where one name ends with the other:
    often the same file registered under a shorter name, as Go programs do."""


@dataclass(frozen=True, slots=True)
class StandIn:
    """A file ravick wrote for an import that no input holds: an alias that
    publicly imports the file found under another name, or a stub that
    defines what its importers use with invented names."""

    path: str
    kind: Literal["alias", "stub"]
    needed_by: tuple[str, ...]
    """The files importing it."""
    target: str | None
    """The file an alias imports publicly."""
    defines: tuple[str, ...]
    """What a stub defines: full names of messages, enums and extensions."""


@dataclass(frozen=True, slots=True)
class RestoredImports:
    """Imports added to a found file that uses names another file defines
    but imports none of the files defining them (generators for some
    languages leave imports out of the descriptors they embed)."""

    name: str
    path: str
    imports: tuple[str, ...]


@dataclass(frozen=True, slots=True)
class Uncompilable:
    """A file of the tree that protoc cannot compile, and why: a missing
    import, an import cycle, an import of such a file, or a descriptor that
    does not build (one that protobuf's own descriptor pool refuses)."""

    name: str
    path: str
    reason: str


@dataclass(frozen=True, slots=True)
class Problem:
    """A path and what went wrong with it."""

    path: str
    reason: str


@dataclass(frozen=True, slots=True)
class DescriptorSetResult:
    """The descriptor set file of a run."""

    path: str
    files: int
    error: str | None = None
    left_out: tuple[str, ...] = ()
    """Files of the tree left out so that the set loads whole: those that
    do not build, for a missing import or otherwise, and their importers."""


@dataclass(frozen=True, slots=True)
class ExtractReport:
    """Everything one :func:`extract` run did and left out."""

    out: str
    inputs: int
    """Input files read."""
    descriptors: int
    """Descriptors found in them, counting every copy."""
    written: tuple[WrittenFile, ...]
    """Every file of the tree, the conflicting versions included."""
    duplicates: tuple[Duplicate, ...]
    conflicts: tuple[Conflict, ...]
    skipped_implausible: tuple[Dropped, ...]
    rejected: tuple[Dropped, ...]
    missing_imports: tuple[MissingImports, ...]
    """Imports that neither the inputs, the protobuf package nor a stand-in
    provide."""
    stand_ins: tuple[StandIn, ...]
    restored_imports: tuple[RestoredImports, ...]
    cannot_compile: tuple[Uncompilable, ...]
    """The files that protoc cannot compile back to the descriptor found, as
    they stand: the tree's, imports first, then the conflicting versions."""
    from_protobuf: tuple[str, ...]
    not_overwritten: tuple[str, ...]
    """Paths under the output that held something else and were kept."""
    write_errors: tuple[Problem, ...]
    input_errors: tuple[Problem, ...]
    skipped_inputs: tuple[Problem, ...]
    """Entries of directory walks not looked at (links, special files, files
    above the size limit)."""
    input_notes: tuple[Problem, ...]
    """What readable inputs could not show fully (gzip streams cut short)."""
    descriptor_set: DescriptorSetResult | None
    seconds: float

    @property
    def exit_status(self) -> int:
        """0 when everything was read and written, else 1."""
        failed_set = self.descriptor_set is not None and self.descriptor_set.error
        trouble = self.input_errors or self.write_errors or self.not_overwritten
        return 1 if trouble or failed_set else 0


@dataclass(frozen=True, slots=True)
class Entry:
    """One file to write: found in the inputs, taken from protobuf, or a
    stand-in. ``data`` is what the descriptor set holds: the bytes found,
    with restored imports appended as fields of their own."""

    name: str
    path: str
    sha256: str
    data: bytes
    descriptor: FileProto
    source: Source
    found_at: Location | None
    defined: Definitions
    custom_options: Mapping[tuple[str, int], OptionUse]
    """How the file sets each custom option, by (options message, number)."""
    references: tuple[Reference, ...]
    """The types it names with a leading dot (:func:`ravick._file_graph.references`)."""
    restored: tuple[str, ...] = ()
    header: str = ""
    """Comment lines printed before a stand-in's source."""


def shown(text: str) -> str:
    """``text`` with what is not printable escaped: names come from untrusted
    bytes, and must never write control codes to a terminal or end a line."""
    return "".join(c if c.isprintable() else repr(c)[1:-1] for c in text)
