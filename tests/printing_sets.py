"""Real descriptor sets for the printer's round trip, built at run time.

Each set is a list of groups: the files printed and compiled together, with
the descriptors the printer gets as context. Sources come from protoc's own
include directory, the googleapis-common-protos package, Debian's .proto
packages (scripts/fetch_proto_sources.sh) and the descriptors that
``ravick_lib.scan`` finds in Debian's libraries (scripts/fetch_binaries.sh).
"""

from __future__ import annotations

import importlib.util
import os
import re
import subprocess
from collections import Counter
from dataclasses import dataclass, field
from pathlib import Path

import ravick_lib
from google.protobuf import descriptor_pb2
from google.protobuf.message import DecodeError

from protoc_harness import REPO, FileProto, compile_batches, protoc_include


@dataclass(frozen=True)
class Group:
    """Files printed and compiled in one protoc run, and the printer's context."""

    label: str
    files: list[FileProto]
    context: list[FileProto] = field(default_factory=list)
    includes: list[Path] = field(default_factory=list)


@dataclass(frozen=True)
class DescriptorSet:
    """Groups of one source, and the inputs that protoc could not compile."""

    groups: list[Group]
    not_compiled: dict[str, str] = field(default_factory=dict)
    # Inputs left out before compiling, with the reason.
    skipped: dict[str, str] = field(default_factory=dict)

    def count(self) -> int:
        return sum(len(g.files) for g in self.groups)


class Unavailable(Exception):
    """The sources of a set cannot be had here; the message says why."""


def _protos_under(root: Path) -> list[str]:
    return sorted(str(p.relative_to(root)) for p in root.rglob("*.proto"))


def _compiled_set(label: str, root: Path, includes: list[Path]) -> DescriptorSet:
    return DescriptorSet(*_compiled_groups(label, _protos_under(root), includes))


def _compiled_groups(
    label: str, names: list[str], includes: list[Path]
) -> tuple[list[Group], dict[str, str]]:
    """``names`` compiled in as few runs as they allow, a group a run, and the
    error of each that does not compile, under ``label``."""
    batches, failed = compile_batches(names, includes)
    groups = []
    for k, (inputs, compiled) in enumerate(batches):
        files = [compiled[n] for n in inputs]
        part = label if len(batches) == 1 else f"{label} [{k + 1}]"
        if files:
            groups.append(Group(part, files, list(compiled.values()), includes))
    return groups, {f"{label}: {n}": error for n, error in failed.items()}


def well_known() -> DescriptorSet:
    """descriptor.proto, the well-known types and the feature files."""
    include = protoc_include()
    return _compiled_set("well-known", include, [include])


def googleapis_root() -> Path:
    """site-packages of googleapis-common-protos, found without importing its
    modules (which would teach the runtime its extensions)."""
    located = importlib.util.find_spec("google.api")
    assert located is not None and located.submodule_search_locations
    return Path(next(iter(located.submodule_search_locations))).parent.parent


def googleapis() -> DescriptorSet:
    """Every .proto file of googleapis-common-protos."""
    root = googleapis_root()
    names = [f"google/{n}" for n in _protos_under(root / "google")]
    return DescriptorSet(*_compiled_groups("googleapis", names, [root]))


def _fetch(script: str) -> list[str]:
    proc = subprocess.run(
        ["bash", str(REPO / "scripts" / script)],
        capture_output=True,
        text=True,
        timeout=900,
    )
    if proc.returncode != 0:
        raise Unavailable(
            f"scripts/{script} exit {proc.returncode}: {proc.stderr[-500:]}"
        )
    return proc.stdout.split("\n")


def debian() -> DescriptorSet:
    """Every .proto file of the Debian packages that
    scripts/fetch_proto_sources.sh fetches, one group a package.

    Files whose imports no package ships are skipped, named in ``skipped``.
    """
    trees = dict(
        line.split(" ", 1) for line in _fetch("fetch_proto_sources.sh") if line
    )
    layout = Layout(
        {package: Path(tree) for package, tree in trees.items()},
        [protoc_include(), googleapis_root()],
    )
    groups: list[Group] = []
    failed: dict[str, str] = {}
    skipped: dict[str, str] = {}
    for package in sorted(trees):
        plan = layout.plan(package)
        for k, run in enumerate(plan.runs):
            label = package if k == 0 else f"{package} ({run.names[0]})"
            includes = [*run.includes, googleapis_root()]
            these, errors = _compiled_groups(label, run.names, includes)
            groups += these
            failed |= errors
        skipped |= {f"{package}: {k}": v for k, v in plan.skipped.items()}
    return DescriptorSet(groups, failed, skipped)


_IMPORT = re.compile(
    r'^[ \t]*import[ \t]+(?:(?:public|weak|option)[ \t]+)?"([^"]+)"[ \t]*;', re.M
)


@dataclass(frozen=True)
class Compile:
    """Files to compile in one protoc run by import name, and its includes."""

    names: list[str]
    includes: list[Path]


@dataclass(frozen=True)
class Plan:
    """How one package's files compile, and the files left out with the reason.

    Files that another file of the package shadows (the same import name,
    other text) compile on their own, their root first.
    """

    runs: list[Compile]
    skipped: dict[str, str]


@dataclass(frozen=True)
class _Source:
    path: Path
    imports: tuple[str, ...]


class Layout:
    """The import roots of Debian's .proto trees, found from the imports.

    Packages lay their files out in many ways (Go import paths, include
    directories, Python packages), so each import of a file is matched against
    the files that end in that name: the nearest in the file's own package,
    else protoc's and googleapis' own files (``builtin``), else the first
    other package shipping it. The file's directory minus the imported name is
    an import root; each file is named as its importers name it, else relative
    to the deepest root holding it.
    """

    def __init__(self, trees: dict[str, Path], builtin: list[Path]) -> None:
        self.trees = trees
        self.builtin = builtin
        self.sources = {p: _sources(tree) for p, tree in trees.items()}
        self.suffixes = {p: _by_suffix(s) for p, s in self.sources.items()}

    def plan(self, package: str) -> Plan:
        tree = self.trees[package]
        own_roots: set[Path] = set()
        foreign_roots: set[Path] = set()
        used: dict[Path, Counter[str]] = {}
        missing: dict[Path, str] = {}
        depends: dict[Path, list[Path]] = {}
        for source in self.sources[package]:
            for name in source.imports:
                found = self.resolve(package, source.path, name)
                if found is None:
                    missing.setdefault(source.path, name)
                    continue
                target, foreign = found
                if target is None:
                    continue
                root = _root_of(target, name)
                (foreign_roots if foreign else own_roots).add(root)
                if not foreign:
                    used.setdefault(target, Counter())[name] += 1
                    depends.setdefault(source.path, []).append(target)
        roots = sorted(own_roots | {tree}, key=lambda r: (-len(r.parts), str(r)))
        includes = [*roots[:-1], *sorted(foreign_roots - own_roots), tree]
        named: dict[Path, str] = {}
        skipped: dict[str, str] = {}
        for source in self.sources[package]:
            path = source.path
            reason = _missing_reason(path, missing, depends)
            if reason is None:
                named[path] = _name_of(path, used.get(path), roots)
            else:
                skipped[str(path.relative_to(tree))] = reason
        # protoc compiles the file it finds first under a name; the others
        # that share the name compile on their own, unless they are copies.
        names = {
            name: path
            for path, name in named.items()
            if _first_holder(name, includes) == path
        }
        shadowed: list[Compile] = []
        for path, name in named.items():
            if names.get(name) == path:
                continue
            if (same := _same_text(path, names.get(name))) is not None:
                where = same.relative_to(tree)
                skipped[str(path.relative_to(tree))] = f"a copy of {where}"
            else:
                shadowed.append(Compile([name], [_root_of(path, name), *includes]))
        return Plan([Compile(sorted(names), includes), *shadowed], skipped)

    def resolve(
        self, package: str, importer: Path, name: str
    ) -> tuple[Path | None, bool] | None:
        """The file that ``import "name"`` in ``importer`` finds, and whether
        it is another package's; (None, False) for a builtin one; None if no
        package ships it."""
        own = self.suffixes[package].get(name)
        if own:
            return max(own, key=lambda p: _shared_parts(p, importer)), False
        if any((root / name).is_file() for root in self.builtin):
            return None, False
        for other in sorted(self.suffixes):
            found = self.suffixes[other].get(name)
            if found:
                return found[0], True
        return None


def _sources(tree: Path) -> list[_Source]:
    found = []
    seen: set[Path] = set()
    for path in sorted(tree.rglob("*.proto")):
        real = path.resolve()
        if real in seen or not path.is_file():
            continue
        seen.add(real)
        text = path.read_text(encoding="utf-8", errors="replace")
        found.append(_Source(path, tuple(_IMPORT.findall(text))))
    return found


def _by_suffix(sources: list[_Source]) -> dict[str, list[Path]]:
    """Each file under every trailing part of its path: "a/b.proto", "b.proto"."""
    found: dict[str, list[Path]] = {}
    for source in sources:
        parts = source.path.parts
        for k in range(1, len(parts)):
            found.setdefault("/".join(parts[-k:]), []).append(source.path)
    return found


def _root_of(path: Path, name: str) -> Path:
    return Path(*path.parts[: len(path.parts) - len(Path(name).parts)])


def _first_holder(name: str, includes: list[Path]) -> Path | None:
    """The file that protoc finds as ``name`` searching ``includes`` in order."""
    return next((d / name for d in includes if (d / name).is_file()), None)


def _same_text(path: Path, other: Path | None) -> Path | None:
    """``other`` if it holds the same text as ``path``."""
    if other is not None and other.read_bytes() == path.read_bytes():
        return other
    return None


def _shared_parts(a: Path, b: Path) -> int:
    count = 0
    for x, y in zip(a.parts, b.parts, strict=False):
        if x != y:
            break
        count += 1
    return count


def _name_of(path: Path, used: Counter[str] | None, roots: list[Path]) -> str:
    if used:
        return used.most_common(1)[0][0]
    root = next(r for r in roots if path.is_relative_to(r))
    return str(path.relative_to(root))


def _missing_reason(
    path: Path, missing: dict[Path, str], depends: dict[Path, list[Path]]
) -> str | None:
    """Why ``path`` cannot compile: an import, direct or not, no package ships."""
    pending, seen = [path], {path}
    while pending:
        current = pending.pop()
        if current in missing:
            return f"imports {missing[current]}, which no package here ships"
        for target in depends.get(current, ()):
            if target not in seen:
                seen.add(target)
                pending.append(target)
    return None


def scanned_binaries() -> DescriptorSet:
    """Every descriptor ``ravick_lib.scan`` finds in the Debian libraries, one
    group a library, each file printed with the others of its library."""
    paths = [Path(p) for p in _fetch("fetch_binaries.sh") if p]
    groups = []
    for path in paths:
        files = _scan(path.read_bytes())
        if files:
            groups.append(Group(path.name, files, [], [googleapis_root()]))
    return DescriptorSet(groups)


def _scan(data: bytes) -> list[FileProto]:
    found: dict[str, FileProto] = {}
    for start, end in ravick_lib.scan(data):
        try:
            file = descriptor_pb2.FileDescriptorProto.FromString(data[start:end])
        except DecodeError:
            continue
        if _safe_relative_name(file.name):
            found.setdefault(file.name, file)
    return list(found.values())


def _safe_relative_name(name: str) -> bool:
    """Whether ``name`` can be written below a temporary directory as it is."""
    parts = name.split("/")
    return (
        bool(name)
        and name.isprintable()
        and "\\" not in name
        and all(p not in ("", ".", "..") for p in parts)
    )


def in_ci() -> bool:
    return bool(os.environ.get("CI"))
