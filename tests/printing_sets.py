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
import subprocess
from dataclasses import dataclass, field
from pathlib import Path

import ravick_lib
from google.protobuf import descriptor_pb2
from google.protobuf.message import DecodeError

from protoc_harness import REPO, FileProto, compile_each, protoc_include

# The import root of each Debian package's tree.
DEBIAN_ROOTS = {
    "golang-google-protobuf-dev": "usr/share/gocode/src/google.golang.org/protobuf",
    "libprotobuf-dev": "usr/include",
    "grpc-proto": "usr/share/grpc-proto",
}


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

    def count(self) -> int:
        return sum(len(g.files) for g in self.groups)


class Unavailable(Exception):
    """The sources of a set cannot be had here; the message says why."""


def _protos_under(root: Path) -> list[str]:
    return sorted(str(p.relative_to(root)) for p in root.rglob("*.proto"))


def _compiled_set(label: str, root: Path, includes: list[Path]) -> DescriptorSet:
    names = _protos_under(root)
    compiled, failed = compile_each(names, includes)
    files = [compiled[n] for n in names if n in compiled]
    group = Group(label, files, list(compiled.values()), includes)
    return DescriptorSet([group], failed)


def well_known() -> DescriptorSet:
    """descriptor.proto, the well-known types and the feature files."""
    include = protoc_include()
    return _compiled_set("well-known", include, [include])


def googleapis_root() -> Path:
    """site-packages of googleapis-common-protos, found without importing its
    modules (which would teach the runtime its extensions)."""
    spec = importlib.util.find_spec("google.api")
    assert spec is not None and spec.submodule_search_locations
    return Path(next(iter(spec.submodule_search_locations))).parent.parent


def googleapis() -> DescriptorSet:
    """Every .proto file of googleapis-common-protos."""
    root = googleapis_root()
    names = _protos_under(root / "google")
    compiled, failed = compile_each([f"google/{n}" for n in names], [root])
    files = [compiled[f"google/{n}"] for n in names if f"google/{n}" in compiled]
    group = Group("googleapis", files, list(compiled.values()), [root])
    return DescriptorSet([group], failed)


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
    """Every .proto file of Debian's golang-google-protobuf-dev, libprotobuf-dev
    and grpc-proto, one group a package."""
    trees = dict(
        line.split(" ", 1) for line in _fetch("fetch_proto_sources.sh") if line
    )
    groups: list[Group] = []
    failed: dict[str, str] = {}
    for package, tree in sorted(trees.items()):
        root = Path(tree) / DEBIAN_ROOTS[package]
        one = _compiled_set(package, root, [root, googleapis_root()])
        groups += one.groups
        failed |= {f"{package}: {k}": v for k, v in one.not_compiled.items()}
    return DescriptorSet(groups, failed)


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
