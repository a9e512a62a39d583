"""Making the tree whole: for an import that no input holds, an alias of the
file found under another name or a stub; for a found file that uses names
of files it does not import, the imports it lost."""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from dataclasses import dataclass, replace

from ravick._file_graph import DefinitionTable, definitions
from ravick.extraction.needs import Needs, imported, unresolved
from ravick.extraction.plan import (
    claim_directories,
    entry_of,
    path_clash,
    unsafe_name,
)
from ravick.extraction.records import (
    Entry,
    FileProto,
    RestoredImports,
    StandIn,
)
from ravick.extraction.stubs import (
    DESCRIPTOR_PROTO,
    StubNeeds,
    alias_header,
    build_stub,
    stub_header,
    stub_package,
)


@dataclass(frozen=True, slots=True)
class Completed:
    """The tree with its stand-ins, and the found files with restored imports."""

    tree: dict[str, Entry]
    conflicting: tuple[Entry, ...]
    stand_ins: tuple[StandIn, ...]
    restored: tuple[RestoredImports, ...]


def complete(
    tree: Mapping[str, Entry],
    conflicting: Sequence[Entry],
    package: Mapping[str, bytes],
) -> Completed:
    """Aliases and stubs for the imports that nothing provides, and the
    imports restored where a found file uses what another file defines.

    ``package`` holds the protobuf package's files, for the descriptor.proto
    that stubs of custom options import.
    """
    tree = dict(tree)
    owners = DefinitionTable()
    for entry in tree.values():
        owners.claim(entry.name, entry.defined)
    directories: dict[str, str] = {}
    for name in tree:
        claim_directories(name, directories)
    importers = [e for e in [*tree.values(), *conflicting] if e.source == "found"]
    stand_ins = _aliases(tree, importers, owners, directories)
    _supply_used_types(tree, importers, owners, directories, package)
    restored, changed = _restore_imports(tree, importers, owners)
    tree.update({e.name: e for e in changed.values() if e.path == e.name})
    conflicting = [changed.get(e.path, e) for e in conflicting]
    importers = [changed.get(e.path, e) for e in importers]
    stand_ins += _stubs(tree, importers, owners, directories, package)
    return Completed(tree, tuple(conflicting), tuple(stand_ins), tuple(restored))


def _missing(entry: Entry, tree: Mapping[str, Entry]) -> list[str]:
    return list(dict.fromkeys(d for d in entry.descriptor.dependency if d not in tree))


def _placeable(
    path: str, tree: Mapping[str, Entry], directories: dict[str, str]
) -> bool:
    return unsafe_name(path) is None and path_clash(path, tree, directories) is None


def _similar(a: str, b: str) -> bool:
    return a.endswith("/" + b) or b.endswith("/" + a)


def _aliases(
    tree: dict[str, Entry],
    importers: Sequence[Entry],
    owners: DefinitionTable,
    directories: dict[str, str],
) -> list[StandIn]:
    """An alias for each missing import that a found file evidently is: its
    name ends with the import's (or the other way round) and nothing the
    importers use from its package is missing from it; of several, the one
    defining most of what they use."""
    users: dict[str, list[Entry]] = {}
    for entry in importers:
        for dep in _missing(entry, tree):
            users.setdefault(dep, []).append(entry)
    needs = {e.path: unresolved(e, tree) for e in importers if _missing(e, tree)}
    made: list[StandIn] = []
    for path in sorted(users):
        if not _placeable(path, tree, directories):
            continue
        wanted = [needs[e.path] for e in users[path]]
        importing = {e.name for e in users[path]}
        candidates = [
            e
            for e in tree.values()
            if e.source == "found"
            and _similar(e.name, path)
            and not importing & imported([e.name], tree)  # no cycle through it
        ]
        scored = [
            (_evidence(c, wanted, owners), k, c) for k, c in enumerate(candidates)
        ]
        best = max(
            ((s, -k, c) for s, k, c in scored if s >= 0),
            default=None,
            key=lambda t: t[:2],
        )
        if best is None:
            continue
        target = best[2]
        fd = FileProto(name=path, dependency=[target.name], public_dependency=[0])
        alias = entry_of(path, fd.SerializeToString(), fd, "alias", None)
        tree[path] = replace(alias, header=alias_header(target.name))
        claim_directories(path, directories)
        names = tuple(sorted({e.name for e in users[path]}))
        made.append(StandIn(path, "alias", names, target.name, ()))
    return made


def _evidence(
    candidate: Entry, wanted: Sequence[Needs], owners: DefinitionTable
) -> int:
    """How many of the importers' needs ``candidate`` defines, or -1 when it
    lacks one in its own package that no file defines."""
    count = 0
    package = candidate.descriptor.package
    for needs in wanted:
        for name in needs.types:
            owner = owners.names.get(name)
            if owner == candidate.name:
                count += 1
            elif owner is None and package and name.startswith(package + "."):
                return -1
        count += sum(owners.numbers.get(key) == candidate.name for key in needs.options)
    return count


def _restore_imports(
    tree: Mapping[str, Entry], importers: Sequence[Entry], owners: DefinitionTable
) -> tuple[list[RestoredImports], dict[str, Entry]]:
    """Found files that use types that files of the tree define without
    importing them, with those imports added (none that would close a
    cycle)."""
    restored: list[RestoredImports] = []
    changed: dict[str, Entry] = {}
    for entry in importers:
        needs = unresolved(entry, tree)
        # Types only: an option set with no import behind it was set so by a
        # generator, and the file says so in a comment.
        wanted = [owners.names.get(n) for n in needs.types]
        adds = [
            name
            for name in dict.fromkeys(w for w in wanted if w is not None)
            if name != entry.name
            and tree[name].source in ("found", "protobuf")
            and entry.name not in imported([name], tree)
        ]
        if not adds:
            continue
        changed[entry.path] = _with_imports(entry, adds)
        restored.append(RestoredImports(entry.name, entry.path, tuple(adds)))
    return restored, changed


def _supply_used_types(
    tree: dict[str, Entry],
    importers: Sequence[Entry],
    owners: DefinitionTable,
    directories: dict[str, str],
    package: Mapping[str, bytes],
) -> None:
    """The protobuf package's files defining types that found files use and
    no file of the tree defines (a well-known type whose import was lost),
    with their own imports."""
    defined: dict[str, str] = {}
    for name, data in package.items():
        for type_name in definitions(FileProto.FromString(data)).names:
            defined.setdefault(type_name, name)
    wanted = [
        defined[n]
        for e in importers
        for n in unresolved(e, tree).types
        if n not in owners.names and n in defined
    ]
    while wanted:
        name = wanted.pop()
        if name in tree or not _placeable(name, tree, directories):
            continue
        fd = FileProto.FromString(package[name])
        entry = entry_of(name, package[name], fd, "protobuf", None)
        if owners.clash(entry.defined) is not None:
            continue
        tree[name] = entry
        owners.claim(name, entry.defined)
        claim_directories(name, directories)
        wanted += fd.dependency


def _with_imports(entry: Entry, imports: Sequence[str]) -> Entry:
    """``entry`` importing ``imports`` too: each appended to the found bytes
    as a dependency field, which a parser adds after the others."""
    fd = FileProto()
    fd.CopyFrom(entry.descriptor)
    fd.dependency.extend(imports)
    extra = FileProto(dependency=imports).SerializeToString()
    return replace(
        entry, data=entry.data + extra, descriptor=fd, restored=tuple(imports)
    )


def _stubs(
    tree: dict[str, Entry],
    importers: Sequence[Entry],
    owners: DefinitionTable,
    directories: dict[str, str],
    package: Mapping[str, bytes],
) -> list[StandIn]:
    """A stub for each missing import left: what its importers use that no
    file defines, each name in one stub only."""
    wanted: dict[str, StubNeeds] = {}
    placed: dict[str, str] = {}
    for entry in importers:
        paths = [p for p in _missing(entry, tree) if _placeable(p, tree, directories)]
        if not paths:
            continue
        for path in paths:
            wanted.setdefault(path, StubNeeds())
        shares = _share(unresolved(entry, tree), paths, owners, placed)
        for path, needs in shares.items():
            wanted[path].add(entry.name, needs)
        for path in paths:
            wanted[path].by_importer.setdefault(entry.name, [])
    taken = set(owners.names) | set(owners.packages)
    made: list[StandIn] = []
    for path, stub in sorted(wanted.items()):
        package_name = stub_package(stub.needs.types)
        fd = build_stub(path, package_name, stub.needs, taken)
        if fd.dependency and DESCRIPTOR_PROTO not in tree:
            _supply_descriptor_proto(tree, package, directories)
        entry = entry_of(path, fd.SerializeToString(), fd, "stub", None)
        tree[path] = replace(entry, header=stub_header(stub.by_importer))
        claim_directories(path, directories)
        defined = sorted(entry.defined.names - {path})
        made.append(
            StandIn(path, "stub", tuple(sorted(stub.by_importer)), None, tuple(defined))
        )
    return made


def _share(
    needs: Needs, paths: Sequence[str], owners: DefinitionTable, placed: dict[str, str]
) -> dict[str, Needs]:
    """What no file defines of ``needs``, given to the missing imports
    ``paths``: a type to the one whose directories best match its package,
    an option to the first. A name placed in one stub is not placed again."""
    shares: dict[str, Needs] = {}
    for name, kind in needs.types.items():
        if name in placed or _defined_around(name, owners):
            continue
        path = max(paths, key=lambda p: _match(name, p))
        placed[name] = path
        share = shares.setdefault(path, Needs())
        share.types[name] = kind
        if name in needs.enum_values:
            share.enum_values[name] = needs.enum_values[name]
        if name in needs.open_enums:
            share.open_enums.add(name)
    for key, use in needs.options.items():
        label = f"{key[0]}:{key[1]}"
        if key in owners.numbers or label in placed:
            continue
        placed[label] = paths[0]
        shares.setdefault(paths[0], Needs()).options[key] = use
    return shares


def _defined_around(name: str, owners: DefinitionTable) -> bool:
    """Whether ``name`` or a scope holding it is a name some file defines
    (a stub cannot add a type inside another file's message)."""
    parts = name.split(".")
    return any(".".join(parts[:k]) in owners.names for k in range(1, len(parts) + 1))


def _match(name: str, path: str) -> int:
    """How many leading parts of ``name``'s package ``path``'s directories
    share, as a guess at which import defines it."""
    scope = name.split(".")[:-1]
    directories = path.split("/")[:-1]
    k = 0
    while k < min(len(scope), len(directories)) and scope[k] == directories[k]:
        k += 1
    return k


def _supply_descriptor_proto(
    tree: dict[str, Entry], package: Mapping[str, bytes], directories: dict[str, str]
) -> None:
    data = package.get(DESCRIPTOR_PROTO)
    if data is None or not _placeable(DESCRIPTOR_PROTO, tree, directories):
        return
    fd = FileProto.FromString(data)
    tree[DESCRIPTOR_PROTO] = entry_of(DESCRIPTOR_PROTO, data, fd, "protobuf", None)
    claim_directories(DESCRIPTOR_PROTO, directories)
