"""Extracting: everything found in many inputs, written as one source tree.

All inputs of a run form one set of descriptors. Equal bytes are one file,
wherever they were found; the first version of a name (in input order, then
offset) keeps it and every other version goes under ``_conflicts/``. Each
file is printed as ``.proto`` source under the output directory, imports
that no input carries but the ``protobuf`` package does are written from the
package, and a descriptor set holds the exact bytes that were found, imports
first. Names come from untrusted bytes, so every one is checked and every
write goes through :class:`~ravick.safe_output.OutputTree`.
"""

from __future__ import annotations

import hashlib
import importlib
import time
from collections import defaultdict, deque
from collections.abc import Container, Iterable, Mapping, Sequence
from concurrent.futures import Executor
from dataclasses import asdict, dataclass, replace
from typing import Any, Literal

from google.protobuf import descriptor_pb2, descriptor_pool

from ravick import __version__
from ravick._file_graph import (
    Definitions,
    DefinitionTable,
    custom_options,
    definitions,
    dependency_order,
)
from ravick.finding import Found
from ravick.inputs import NOT_FOLLOWED, FileReport, Progress, find_in_paths
from ravick.printing import proto_source, proto_sources
from ravick.reporting import utf8_safe
from ravick.safe_output import (
    OutputError,
    OutputTree,
    WriteStatus,
    name_problem,
    write_file_atomically,
)

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

Source = Literal["found", "protobuf"]
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
    """Where it was first found (None for a file of the protobuf package)."""


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
class _Entry:
    """One file to write: found in the inputs or taken from protobuf."""

    name: str
    path: str
    sha256: str
    data: bytes
    descriptor: FileProto
    source: Source
    found_at: Location | None
    defined: Definitions
    custom_options: frozenset[tuple[str, int]]


@dataclass(frozen=True, slots=True)
class _Collected:
    distinct: tuple[Found, ...]
    places: Mapping[str, tuple[Location, ...]]
    inputs: int
    descriptors: int
    input_errors: tuple[Problem, ...]
    skipped_inputs: tuple[Problem, ...]
    input_notes: tuple[Problem, ...]


@dataclass(frozen=True, slots=True)
class _Plan:
    tree: Mapping[str, _Entry]
    conflicts: tuple[tuple[_Entry, Conflict], ...]
    skipped: tuple[Dropped, ...]
    rejected: tuple[Dropped, ...]


def extract(
    paths: Iterable[str],
    out: str,
    *,
    descriptor_set: str | None = None,
    include_implausible: bool = False,
    force: bool = False,
    workers: int | None = None,
    progress: Progress | None = None,
    max_size: int | None = None,
    executor: Executor | None = None,
) -> ExtractReport:
    """Writes every descriptor found in ``paths`` as ``.proto`` source under ``out``.

    Equal descriptors are written once; a name's first version keeps it and
    the others go to ``out/_conflicts/<hash>/<name>``, as do files defining
    names that a file already in the tree defines. Imports that no input
    carries but the protobuf package does are written from the package.
    Implausible descriptors are left out unless ``include_implausible``.
    Existing files are replaced only with ``force``. ``descriptor_set``, when
    given, is a path to write a ``FileDescriptorSet`` of the files that kept
    their names, with the exact bytes found, imports first. ``workers``,
    ``progress``, ``max_size`` and ``executor`` are passed to
    :func:`~ravick.inputs.find_in_paths`.

    Raises :class:`~ravick.safe_output.OutputError` only when ``out`` cannot
    be created or opened; every other problem is in the report.
    """
    started = time.monotonic()
    with _open_output(out) as tree:
        reports = find_in_paths(
            paths,
            workers=workers,
            progress=progress,
            max_size=max_size,
            executor=executor,
        )
        collected = _collect(reports)
        plan = _plan(collected, include_implausible)
        plan = _settle_definitions(plan, _supply(plan, package_files()))
        conflicting = [entry for entry, _ in plan.conflicts]
        missing = _missing_imports([*plan.tree.values(), *conflicting], plan.tree)
        order, cycles = dependency_order(
            {n: e.descriptor.dependency for n, e in plan.tree.items()}
        )
        files = [plan.tree[n] for n in order]
        written, errors = _write_sources(tree, files, conflicting, force=force)
    set_result = None
    if descriptor_set is not None:
        set_result = _write_descriptor_set(descriptor_set, [e.data for e in files])
    return ExtractReport(
        out=out,
        inputs=collected.inputs,
        descriptors=collected.descriptors,
        written=tuple(w for w in written if w.status != "exists"),
        duplicates=_duplicates(collected),
        conflicts=tuple(c for _, c in plan.conflicts),
        skipped_implausible=plan.skipped,
        rejected=plan.rejected,
        missing_imports=tuple(sorted(missing.values(), key=lambda m: m.path)),
        cannot_compile=_uncompilable(files, conflicting, missing, cycles),
        from_protobuf=tuple(sorted(e.name for e in files if e.source == "protobuf")),
        not_overwritten=tuple(w.path for w in written if w.status == "exists"),
        write_errors=tuple(errors),
        input_errors=collected.input_errors,
        skipped_inputs=collected.skipped_inputs,
        input_notes=collected.input_notes,
        descriptor_set=set_result,
        seconds=time.monotonic() - started,
    )


def _open_output(out: str) -> OutputTree:
    try:
        return OutputTree(out)
    except OSError as e:
        raise OutputError(f"{out}: {e.strerror or e}") from e


def _collect(reports: Iterable[FileReport]) -> _Collected:
    first: dict[str, Found] = {}
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
            first.setdefault(found.sha256, found)
            places[found.sha256].append(_location(report.path, found))
    return _Collected(
        distinct=tuple(first.values()),
        places={k: tuple(v) for k, v in places.items()},
        inputs=inputs,
        descriptors=descriptors,
        input_errors=tuple(errors),
        skipped_inputs=tuple(skipped),
        input_notes=tuple(notes),
    )


def _location(path: str, found: Found) -> Location:
    return Location(path, found.start, found.inner_start, found.layers)


def _duplicates(collected: _Collected) -> tuple[Duplicate, ...]:
    return tuple(
        Duplicate(found.name, found.sha256, where[0], where[1:])
        for found in collected.distinct
        if len(where := collected.places[found.sha256]) > 1
    )


def _plan(collected: _Collected, include_implausible: bool) -> _Plan:
    """Decides, in first-found order, which descriptor gets which path."""
    tree: dict[str, _Entry] = {}
    directories: dict[str, str] = {}
    conflicts: list[tuple[_Entry, Conflict]] = []
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
        entry = _found_entry(found, where)
        clash = _path_clash(found.name, tree, directories)
        if clash is None:
            tree[found.name] = entry
            _claim_directories(found.name, directories)
        else:
            conflicts.append(_conflict(entry, *clash, conflicts))
    return _Plan(tree, tuple(conflicts), tuple(skipped), tuple(rejected))


def unsafe_name(name: str) -> str | None:
    """Why a found descriptor's ``name`` may not be used as its path, or None."""
    problem = name_problem(name)
    if problem is None and name.split("/", 1)[0] == CONFLICTS:
        problem = f"starts with {CONFLICTS}/, which holds conflicting versions"
    return problem


def _dropped(found: Found, reason: str, where: Location) -> Dropped:
    return Dropped(found.name, found.sha256, reason, where)


def _found_entry(found: Found, where: Location) -> _Entry:
    return _entry(found.name, found.data, found.descriptor(), "found", where)


def _entry(
    name: str, data: bytes, fd: FileProto, source: Source, where: Location | None
) -> _Entry:
    return _Entry(
        name=name,
        path=name,
        sha256=hashlib.sha256(data).hexdigest(),
        data=data,
        descriptor=fd,
        source=source,
        found_at=where,
        defined=definitions(fd),
        custom_options=custom_options(fd),
    )


def _path_clash(
    name: str, tree: Mapping[str, _Entry], directories: Mapping[str, str]
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


def _claim_directories(name: str, directories: dict[str, str]) -> None:
    segments = name.split("/")
    for depth in range(1, len(segments)):
        directories.setdefault("/".join(segments[:depth]), name)


def _conflict(
    entry: _Entry,
    kept_by: str,
    reason: str,
    earlier: Iterable[tuple[_Entry, Conflict]],
) -> tuple[_Entry, Conflict]:
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


def _supply(plan: _Plan, package: Mapping[str, bytes]) -> dict[str, _Entry]:
    """The protobuf package's files that imports need and no input carries."""
    supplied: dict[str, _Entry] = {}
    directories: dict[str, str] = {}
    for name in plan.tree:
        _claim_directories(name, directories)
    wanted = deque(
        dep
        for entry in [*plan.tree.values(), *(e for e, _ in plan.conflicts)]
        for dep in entry.descriptor.dependency
    )
    while wanted:
        name = wanted.popleft()
        if name in supplied or name not in package:
            continue
        if _path_clash(name, plan.tree, directories) is not None:
            continue
        descriptor = FileProto.FromString(package[name])
        supplied[name] = _entry(name, package[name], descriptor, "protobuf", None)
        wanted.extend(descriptor.dependency)
    return supplied


def _settle_definitions(plan: _Plan, supplied: Mapping[str, _Entry]) -> _Plan:
    """Moves found files that define what another file of the tree does to
    ``_conflicts/``, so the tree compiles in one protoc run.

    The protobuf package's files claim their names first (they stand in for
    imports, so the files importing them need exactly those definitions),
    then the found files in the order they were found.
    """
    table = DefinitionTable()
    tree: dict[str, _Entry] = {}
    conflicts = list(plan.conflicts)
    for entry in [*supplied.values(), *plan.tree.values()]:
        clash = table.clash(entry.defined)
        if clash is None:
            table.claim(entry.name, entry.defined)
            tree[entry.name] = entry
        else:
            conflicts.append(_conflict(entry, *clash, conflicts))
    return replace(plan, tree=tree, conflicts=tuple(conflicts))


def _missing_imports(
    entries: Iterable[_Entry], available: Iterable[str]
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


def _uncompilable(
    files: Sequence[_Entry],
    conflicting: Sequence[_Entry],
    missing: Mapping[str, MissingImports],
    cycles: Container[str],
) -> tuple[Uncompilable, ...]:
    """The files that protoc cannot compile, and why: the tree's in import
    order, then the versions under ``_conflicts/``.

    Each file of the tree that imports only compilable files is built into
    one descriptor pool, as protoc would build it. The conflicting versions
    are checked for their imports and options only: building each would
    take a pool of its own.
    """
    pool = descriptor_pool.DescriptorPool()
    named = {e.name: e for e in files}
    reasons: dict[str, str] = {}
    for entry in files:
        reason = _why_uncompilable(entry, missing, cycles, reasons, named)
        if reason is None:
            try:
                pool.AddSerializedFile(entry.data)
            except Exception as e:  # the pool's error for a file that is wrong
                reason = f"does not build: {e}"
        if reason is not None:
            reasons[entry.name] = reason
    found = [
        Uncompilable(e.name, e.path, reasons[e.name])
        for e in files
        if e.name in reasons
    ]
    for entry in conflicting:
        reason = _why_uncompilable(entry, missing, (), reasons, named)
        if reason is not None:
            found.append(Uncompilable(entry.name, entry.path, reason))
    return tuple(found)


def _why_uncompilable(
    entry: _Entry,
    missing: Mapping[str, MissingImports],
    cycles: Container[str],
    reasons: Mapping[str, str],
    named: Mapping[str, _Entry],
) -> str | None:
    if entry.path in missing:
        return "imports missing files: " + ", ".join(missing[entry.path].imports)
    if entry.name in cycles:
        return "in an import cycle"
    bad = next((d for d in entry.descriptor.dependency if d in reasons), None)
    if bad is not None:
        return f"imports {bad}, which cannot compile"
    return _unresolved_options(entry, named)


def _unresolved_options(entry: _Entry, named: Mapping[str, _Entry]) -> str | None:
    """Which custom options ``entry`` sets that no file it sees defines.

    protoc resolves an option only through the file itself, its imports and
    what they import publicly. Options of files compiled into programs are
    sometimes set by a generator, with no import behind them.
    """
    unresolved = entry.custom_options - _visible_extensions(entry, named)
    if not unresolved:
        return None
    shown = [f"{kind} {number}" for kind, number in sorted(unresolved)]
    more = f" and {len(shown) - 3} more" if len(shown) > 3 else ""
    return (
        "sets custom options that no file it imports defines: "
        + ", ".join(shown[:3])
        + more
    )


def _visible_extensions(
    entry: _Entry, named: Mapping[str, _Entry]
) -> set[tuple[str, int]]:
    numbers = set(entry.defined.extension_numbers)
    seen: set[str] = set()
    stack = list(entry.descriptor.dependency)
    while stack:
        name = stack.pop()
        if name in seen or name not in named:
            continue
        seen.add(name)
        fd = named[name].descriptor
        numbers |= named[name].defined.extension_numbers
        stack += [
            fd.dependency[i]
            for i in fd.public_dependency
            if 0 <= i < len(fd.dependency)
        ]
    return numbers


def _write_sources(
    tree: OutputTree,
    files: Sequence[_Entry],
    conflicting: Sequence[_Entry],
    *,
    force: bool,
) -> tuple[list[WrittenFile], list[Problem]]:
    """Prints and writes every file; each is printed with the tree's other
    files at hand, the versions under ``_conflicts/`` included."""
    written: list[WrittenFile] = []
    errors: list[Problem] = []
    texts = _printed_tree(files) + [_printed(e, files) for e in conflicting]
    for entry, text in zip([*files, *conflicting], texts, strict=True):
        if isinstance(text, Exception):
            errors.append(Problem(entry.path, f"cannot be printed: {text!r}"))
            continue
        try:
            status = tree.write(entry.path, text, force=force)
        except OutputError as e:
            errors.append(Problem(entry.path, str(e)))
            continue
        written.append(
            WrittenFile(
                entry.name,
                entry.path,
                entry.source,
                entry.sha256,
                status,
                entry.found_at,
            )
        )
    return written, errors


def _printed_tree(files: Sequence[_Entry]) -> list[bytes | Exception]:
    """The sources of the tree's files, printed with one shared index (they
    define no name twice), or one by one if that fails."""
    try:
        texts = proto_sources([e.descriptor for e in files])
        return [t.encode(errors="surrogatepass") for t in texts]
    except Exception:  # a descriptor the printer cannot render: find which
        return [_printed(e, files) for e in files]


def _printed(entry: _Entry, files: Sequence[_Entry]) -> bytes | Exception:
    context = (e.descriptor for e in files if e.name != entry.name)
    try:
        return proto_source(entry.descriptor, context).encode(errors="surrogatepass")
    except Exception as e:  # a descriptor the printer cannot render
        return e


def descriptor_set_bytes(files: Iterable[bytes]) -> bytes:
    """A serialized ``FileDescriptorSet`` holding ``files`` byte for byte."""
    parts: list[bytes] = []
    for data in files:
        parts += [b"\x0a", _varint(len(data)), data]
    return b"".join(parts)


def _varint(value: int) -> bytes:
    out = bytearray()
    while value >= 0x80:
        out.append(value & 0x7F | 0x80)
        value >>= 7
    out.append(value)
    return bytes(out)


def _write_descriptor_set(path: str, files: Sequence[bytes]) -> DescriptorSetResult:
    try:
        write_file_atomically(path, descriptor_set_bytes(files))
    except OSError as e:
        return DescriptorSetResult(path, 0, e.strerror or str(e))
    return DescriptorSetResult(path, len(files))


def report_json(report: ExtractReport) -> dict[str, Any]:
    """The report as one JSON document: its fields, the version, the status."""
    doc = asdict(report)
    doc["seconds"] = round(report.seconds, 3)
    # Paths and names may hold bytes that are not UTF-8.
    return utf8_safe({"version": __version__, **doc, "exit_status": report.exit_status})


def summary_lines(report: ExtractReport) -> list[str]:
    """The report for people, one line an item, for standard output."""
    found = sum(w.source == "found" for w in report.written)
    lines = [
        f"{len(report.written)} files in {_shown(report.out)} "
        f"({found} found, {len(report.from_protobuf)} from the protobuf "
        f"package, {_count(report.written, 'unchanged')} unchanged, "
        f"{_count(report.written, 'replaced')} replaced)"
    ]
    lines += _section(
        "conflicts, written under " + CONFLICTS,
        [f"{_shown(c.path)}: {_shown(c.reason)}" for c in report.conflicts],
    )
    lines += _section(
        "rejected names",
        [f"{_shown(d.name)}: {_shown(d.reason)}" for d in report.rejected],
    )
    lines += _section(
        "missing imports (these files cannot compile as they stand)",
        [_missing_line(m) for m in report.missing_imports],
    )
    missing = {m.path for m in report.missing_imports}
    lines += _section(
        "cannot compile for other reasons",
        [
            f"{_shown(u.path)}: {_shown(u.reason)}"
            for u in report.cannot_compile
            if u.path not in missing
        ],
    )
    if report.skipped_implausible:
        lines.append(
            f"{len(report.skipped_implausible)} implausible descriptors left out "
            "(--all writes them)"
        )
    if report.descriptor_set is not None and report.descriptor_set.error is None:
        ds = report.descriptor_set
        lines.append(f"descriptor set {_shown(ds.path)}: {ds.files} files")
    lines.append(
        f"{report.inputs} inputs, {report.descriptors} descriptors "
        f"({len(report.duplicates)} found more than once), "
        f"{len(report.input_errors)} unreadable, {report.seconds:.2f} s"
    )
    return lines


def problem_lines(report: ExtractReport) -> list[str]:
    """What went wrong, one line an item, for standard error."""
    lines = [f"ravick: {_shown(p.path)}: {p.reason}" for p in report.input_errors]
    lines += [
        f"ravick: {_shown(p.path)}: skipped: {p.reason}"
        for p in report.skipped_inputs
        if p.reason != NOT_FOLLOWED
    ]
    lines += [f"ravick: {_shown(p.path)}: {p.reason}" for p in report.input_notes]
    lines += [
        f"ravick: {_shown(p.path)}: {_shown(p.reason)}" for p in report.write_errors
    ]
    lines += [
        f"ravick: {_shown(path)}: exists, not overwritten (--force replaces it)"
        for path in report.not_overwritten
    ]
    ds = report.descriptor_set
    if ds is not None and ds.error is not None:
        lines.append(f"ravick: {_shown(ds.path)}: {ds.error}")
    return lines


def _missing_line(missing: MissingImports) -> str:
    similar = dict(missing.similar)
    shown = [
        _shown(i) + (f" (found as {_shown(similar[i])}?)" if i in similar else "")
        for i in missing.imports
    ]
    return f"{_shown(missing.path)}: {', '.join(shown)}"


def _count(written: Iterable[WrittenFile], status: WriteStatus) -> int:
    return sum(w.status == status for w in written)


def _section(title: str, items: list[str]) -> list[str]:
    if not items:
        return []
    return [f"{title} ({len(items)}):", *(f"  {item}" for item in items)]


def _shown(text: str) -> str:
    # Names come from untrusted bytes: never let them write control codes
    # to a terminal.
    return "".join(c if c.isprintable() else repr(c)[1:-1] for c in text)
