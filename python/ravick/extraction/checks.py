"""What keeps a file of the tree from compiling: imports that nothing
provides, import cycles, files the descriptor pool refuses, custom options
that no visible file defines."""

from __future__ import annotations

from collections import defaultdict
from collections.abc import Container, Iterable, Mapping, Sequence

from google.protobuf import descriptor_pool

from ravick.extraction.needs import imported, visible
from ravick.extraction.records import Compiles, Entry, MissingImports, Uncompilable


def missing_imports(
    entries: Iterable[Entry], available: Iterable[str]
) -> dict[str, MissingImports]:
    """The imports of ``entries`` not in ``available``, by the entry's path."""
    names = set(available)
    by_leaf: dict[str, list[str]] = defaultdict(list)
    for name in sorted(names):
        by_leaf[name.rsplit("/", 1)[-1]].append(name)
    missing: dict[str, MissingImports] = {}
    for entry in entries:
        deps = entry.descriptor.dependency
        absent = tuple(dict.fromkeys(d for d in deps if d not in names))
        if absent:
            similar = tuple(
                (dep, name)
                for dep in absent
                for name in by_leaf[dep.rsplit("/", 1)[-1]]
                if dep.endswith("/" + name) or name.endswith("/" + dep)
            )
            missing[entry.path] = MissingImports(
                entry.name, entry.path, absent, similar
            )
    return missing


def uncompilable(
    files: Sequence[Entry],
    conflicting: Sequence[Entry],
    missing: Mapping[str, MissingImports],
    cycles: Container[str],
) -> tuple[tuple[Uncompilable, ...], frozenset[str]]:
    """The files that protoc cannot compile back to the descriptor found,
    and why: the tree's in import order, then the versions under
    ``_conflicts/``; and the names of the tree's files that do not even
    build as descriptors. A file whose custom options nothing defines
    compiles without them, so the files importing it compile as they are.

    Each file of the tree that imports only files that build is built into
    one descriptor pool, as protoc would build it. The conflicting versions
    are checked for their imports and options only: building each would
    take a pool of its own.
    """
    pool = descriptor_pool.DescriptorPool()
    named = {e.name: e for e in files}
    reasons: dict[str, str] = {}
    unbuilt: set[str] = set()
    for entry in files:
        reason = _why_unbuilt(entry, missing, cycles, unbuilt)
        if reason is None:
            try:
                pool.AddSerializedFile(entry.data)
            except Exception as e:  # the pool's error for a file that is wrong
                reason = f"does not build: {e}"
        if reason is not None:
            unbuilt.add(entry.name)
        else:
            reason = _unresolved_options(entry, named)
        if reason is not None:
            reasons[entry.name] = reason
    found = [
        Uncompilable(e.name, e.path, reasons[e.name])
        for e in files
        if e.name in reasons
    ]
    for entry in conflicting:
        reason = _why_unbuilt(entry, missing, (), unbuilt)
        reason = reason or _unresolved_options(entry, named)
        if reason is not None:
            found.append(Uncompilable(entry.name, entry.path, reason))
    return tuple(found), frozenset(unbuilt)


def _why_unbuilt(
    entry: Entry,
    missing: Mapping[str, MissingImports],
    cycles: Container[str],
    unbuilt: Container[str],
) -> str | None:
    if entry.path in missing:
        return "imports missing files: " + ", ".join(missing[entry.path].imports)
    if entry.name in cycles:
        return "in an import cycle"
    bad = next((d for d in entry.descriptor.dependency if d in unbuilt), None)
    if bad is not None:
        return f"imports {bad}, which cannot compile"
    return None


def _unresolved_options(entry: Entry, named: Mapping[str, Entry]) -> str | None:
    """Which custom options ``entry`` sets that no file it sees defines.

    protoc resolves an option only through the file itself, its imports and
    what they import publicly. Options of files compiled into programs are
    sometimes set by a generator, with no import behind them.
    """
    unresolved = entry.custom_options.keys() - visible(entry, named)[1]
    if not unresolved:
        return None
    shown = [f"{kind} {number}" for kind, number in sorted(unresolved)]
    more = f" and {len(shown) - 3} more" if len(shown) > 3 else ""
    return (
        "sets custom options that no file it imports defines: "
        + ", ".join(shown[:3])
        + more
    )


def compile_status(
    entry: Entry, named: Mapping[str, Entry], cannot: Container[str]
) -> Compiles:
    """How ``entry`` compiles: not at all, thanks to imports restored in it,
    thanks to a stub or an alias among the files it imports, or as found."""
    if entry.path in cannot:
        return "no"
    if entry.restored:
        return "with restored imports"
    reached = imported(entry.descriptor.dependency, named)
    sources = {named[name].source for name in reached}
    if "stub" in sources:
        return "with stubs"
    if "alias" in sources:
        return "with an alias"
    return "as found"
