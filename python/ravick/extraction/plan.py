"""Which descriptor gets which path: one file for equal bytes, one version
per name, one definition per full name, and the protobuf package's files for
the imports that no input holds."""

from __future__ import annotations

import hashlib
import importlib
from collections import Counter, defaultdict, deque
from collections.abc import Iterable, Mapping
from dataclasses import dataclass, replace

from ravick._file_graph import DefinitionTable, file_facts
from ravick.extraction.records import (
    Conflict,
    Dropped,
    Duplicate,
    Entry,
    FileProto,
    Location,
    Problem,
    Source,
)
from ravick.finding import Found
from ravick.inputs import FileReport
from ravick.safe_output import name_problem

CONFLICTS = "_conflicts"
"""The directory under the output that holds the versions that lost a name."""
HASH_DIGITS = 12
PACKAGE_MODULES = (
    "google.protobuf.any_pb2",
    "google.protobuf.api_pb2",
    "google.protobuf.compiler.plugin_pb2",
    "google.protobuf.descriptor_pb2",
    "google.protobuf.duration_pb2",
    "google.protobuf.empty_pb2",
    "google.protobuf.field_mask_pb2",
    "google.protobuf.source_context_pb2",
    "google.protobuf.struct_pb2",
    "google.protobuf.timestamp_pb2",
    "google.protobuf.type_pb2",
    "google.protobuf.wrappers_pb2",
)
"""The generated modules of the ``protobuf`` package whose files can stand in
for imports that no input carries."""


@dataclass(frozen=True, slots=True)
class Collected:
    distinct: tuple[Found, ...]
    places: Mapping[str, tuple[Location, ...]]
    entries: Mapping[str, Entry]
    """The entry of each plausible distinct find with a usable name, by its
    hash (:func:`plan_tree` makes any other it needs)."""
    inputs: int
    descriptors: int
    input_errors: tuple[Problem, ...]
    skipped_inputs: tuple[Problem, ...]
    input_notes: tuple[Problem, ...]


@dataclass(frozen=True, slots=True)
class Plan:
    tree: Mapping[str, Entry]
    conflicts: tuple[tuple[Entry, Conflict], ...]
    skipped: tuple[Dropped, ...]
    rejected: tuple[Dropped, ...]


def collect(reports: Iterable[FileReport]) -> Collected:
    """Every input's finds, equal bytes once. Each distinct find's entry is
    made as its report comes, while the scans after it run on."""
    first: dict[str, Found] = {}
    entries: dict[str, Entry] = {}
    places: dict[str, list[Location]] = defaultdict(list)
    errors: list[Problem] = []
    skipped: list[Problem] = []
    notes: list[Problem] = []
    inputs = descriptors = 0
    for report in reports:
        if report.error is not None:
            errors.append(Problem(report.path, report.error))
            continue
        if report.skipped is not None:
            skipped.append(Problem(report.path, report.skipped))
            continue
        inputs += 1
        notes += [Problem(report.path, note) for note in report.notes]
        for found in report.found:
            descriptors += 1
            where = _location(report.path, found)
            if found.sha256 not in first:
                first[found.sha256] = found
                if found.plausible and unsafe_name(found.name) is None:
                    entries[found.sha256] = _found_entry(found, where)
            places[found.sha256].append(where)
    return Collected(
        distinct=tuple(first.values()),
        places={k: tuple(v) for k, v in places.items()},
        entries=entries,
        inputs=inputs,
        descriptors=descriptors,
        input_errors=tuple(errors),
        skipped_inputs=tuple(skipped),
        input_notes=tuple(notes),
    )


def _location(path: str, found: Found) -> Location:
    return Location(path, found.start, found.inner_start, found.layers)


def duplicates(collected: Collected) -> tuple[Duplicate, ...]:
    return tuple(
        Duplicate(found.name, found.sha256, where[0], where[1:])
        for found in collected.distinct
        if len(where := collected.places[found.sha256]) > 1
    )


def plan_tree(collected: Collected, include_implausible: bool) -> Plan:
    """Decides, in first-found order, which descriptor gets which path."""
    tree: dict[str, Entry] = {}
    directories: dict[str, str] = {}
    conflicts: list[tuple[Entry, Conflict]] = []
    skipped: list[Dropped] = []
    rejected: list[Dropped] = []
    for found in collected.distinct:
        where = collected.places[found.sha256][0]
        if not found.plausible and not include_implausible:
            skipped.append(_dropped(found, found.doubt or "implausible", where))
            continue
        problem = unsafe_name(found.name)
        if problem is not None:
            rejected.append(_dropped(found, problem, where))
            continue
        entry = collected.entries.get(found.sha256) or _found_entry(found, where)
        clash = path_clash(found.name, tree, directories)
        if clash is None:
            tree[found.name] = entry
            claim_directories(found.name, directories)
        else:
            conflicts.append(moved_to_conflicts(entry, *clash, conflicts))
    return Plan(tree, tuple(conflicts), tuple(skipped), tuple(rejected))


def unsafe_name(name: str) -> str | None:
    """Why a found descriptor's ``name`` may not be used as its path, or None."""
    problem = name_problem(name)
    if problem is None and name.split("/", 1)[0] == CONFLICTS:
        problem = f"starts with {CONFLICTS}/, which holds conflicting versions"
    return problem


def _dropped(found: Found, reason: str, where: Location) -> Dropped:
    return Dropped(found.name, found.sha256, reason, where)


def _found_entry(found: Found, where: Location) -> Entry:
    return entry_of(found.name, found.data, found.descriptor(), "found", where)


def entry_of(
    name: str, data: bytes, fd: FileProto, source: Source, where: Location | None
) -> Entry:
    defined, custom_options, references = file_facts(fd)
    return Entry(
        name=name,
        path=name,
        sha256=hashlib.sha256(data).hexdigest(),
        data=data,
        descriptor=fd,
        source=source,
        found_at=where,
        defined=defined,
        custom_options=custom_options,
        references=references,
    )


def path_clash(
    name: str, tree: Mapping[str, Entry], directories: Mapping[str, str]
) -> tuple[str, str] | None:
    """The file already holding ``name``'s path, and how, or None."""
    if name in tree:
        return name, "same name, different bytes"
    if name in directories:
        owner = directories[name]
        return owner, f"{name} is a directory of {owner}"
    segments = name.split("/")
    for depth in range(1, len(segments)):
        prefix = "/".join(segments[:depth])
        if prefix in tree:
            return prefix, f"{prefix} is a file, not a directory"
    return None


def claim_directories(name: str, directories: dict[str, str]) -> None:
    segments = name.split("/")
    for depth in range(1, len(segments)):
        directories.setdefault("/".join(segments[:depth]), name)


def moved_to_conflicts(
    entry: Entry,
    kept_by: str,
    reason: str,
    earlier: Iterable[tuple[Entry, Conflict]],
) -> tuple[Entry, Conflict]:
    """``entry`` moved under ``_conflicts/``, by the hash of its bytes."""
    path = f"{CONFLICTS}/{entry.sha256[:HASH_DIGITS]}/{entry.name}"
    if any(e.path == path for e, _ in earlier):
        # Two versions sharing the short hash: all of it tells them apart.
        path = f"{CONFLICTS}/{entry.sha256}/{entry.name}"
    moved = replace(entry, path=path)
    return moved, Conflict(
        entry.name, entry.sha256, path, kept_by, reason, entry.found_at
    )


def package_files() -> dict[str, bytes]:
    """The serialized files the ``protobuf`` package carries, by name."""
    files: dict[str, bytes] = {}
    for module_name in PACKAGE_MODULES:
        descriptor = importlib.import_module(module_name).DESCRIPTOR
        files[descriptor.name] = descriptor.serialized_pb
    return files


def supply(plan: Plan, package: Mapping[str, bytes]) -> dict[str, Entry]:
    """The protobuf package's files that imports need and no input carries."""
    supplied: dict[str, Entry] = {}
    directories: dict[str, str] = {}
    for name in plan.tree:
        claim_directories(name, directories)
    wanted = deque(
        dep
        for entry in [*plan.tree.values(), *(e for e, _ in plan.conflicts)]
        for dep in entry.descriptor.dependency
    )
    while wanted:
        name = wanted.popleft()
        if name in supplied or name not in package:
            continue
        if path_clash(name, plan.tree, directories) is not None:
            continue
        descriptor = FileProto.FromString(package[name])
        supplied[name] = entry_of(name, package[name], descriptor, "protobuf", None)
        wanted.extend(descriptor.dependency)
    return supplied


def settle_definitions(plan: Plan, supplied: Mapping[str, Entry]) -> Plan:
    """Moves found files that define what another file of the tree does to
    ``_conflicts/``, so the tree compiles in one protoc run.

    The protobuf package's files claim their names first (they stand in for
    imports, so the files importing them need exactly those definitions),
    then the found files that more files of the run import by name, then
    the rest in the order they were found.
    """
    importers = Counter(
        dep
        for entry in [*plan.tree.values(), *(e for e, _ in plan.conflicts)]
        for dep in set(entry.descriptor.dependency)
    )
    found = sorted(plan.tree.values(), key=lambda e: -importers[e.name])
    table = DefinitionTable()
    tree: dict[str, Entry] = {}
    conflicts = list(plan.conflicts)
    for entry in [*supplied.values(), *found]:
        clash = table.clash(entry.defined)
        if clash is None:
            table.claim(entry.name, entry.defined)
            tree[entry.name] = entry
        else:
            conflicts.append(moved_to_conflicts(entry, *clash, conflicts))
    return replace(plan, tree=tree, conflicts=tuple(conflicts))
