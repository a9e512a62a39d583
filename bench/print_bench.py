"""Printing speed of ravick.printing on the descriptors of Debian's libraries.

Scans the libraries that scripts/fetch_binaries.sh fetches with
``ravick_lib.scan``, then times, in the same run, parsing every descriptor with
``FileDescriptorProto.FromString`` and printing every one, the other
descriptors of its library as context: with ``proto_source`` file by file,
with ``proto_sources`` a library at a time, and (alternately with that, the
baseline) with the Python printer alone, ``python_source_in``. Prints a
markdown row: descriptors and MB of descriptor bytes per second for each.

With ``--sets``, also every file of the printer tests' real sets (protoc's
well-known types, googleapis and Debian's .proto packages, compiled by
protoc: set RAVICK_PROTOC_PYTHON as for the tests), each group's files
printed with one index of the group and its context, by the whole printer
and by the Python printer alone.

    PYTHONPATH=python .venv/bin/python bench/print_bench.py [--repeat N] [--sets]
"""

from __future__ import annotations

import argparse
import subprocess
import time
from collections.abc import Callable
from pathlib import Path

import ravick_lib
from google.protobuf import descriptor_pb2
from google.protobuf.message import DecodeError

from ravick._symbols import SymbolIndex
from ravick.printing import (
    proto_source,
    proto_source_in,
    proto_sources,
    python_source_in,
)

REPO = Path(__file__).resolve().parent.parent
FileProto = descriptor_pb2.FileDescriptorProto


def library_blobs() -> list[list[bytes]]:
    """The serialized descriptors of each fetched library that parse."""
    out = subprocess.run(
        ["bash", str(REPO / "scripts" / "fetch_binaries.sh")],
        capture_output=True,
        text=True,
        check=True,
    ).stdout
    libraries = []
    for path in out.split():
        data = Path(path).read_bytes()
        blobs = []
        for start, end in ravick_lib.scan(data):
            try:
                FileProto.FromString(data[start:end])
            except DecodeError:
                continue
            blobs.append(data[start:end])
        libraries.append(blobs)
    return libraries


def best_of(repeat: int, work: Callable[[], object]) -> float:
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        work()
        best = min(best, time.perf_counter() - start)
    return best


def parse_all(libraries: list[list[bytes]]) -> list[list[FileProto]]:
    return [[FileProto.FromString(b) for b in blobs] for blobs in libraries]


def print_one_by_one(parsed: list[list[FileProto]]) -> int:
    size = 0
    for files in parsed:
        for i, file in enumerate(files):
            size += len(proto_source(file, files[:i] + files[i + 1 :]))
    return size


def print_per_library(parsed: list[list[FileProto]]) -> int:
    return sum(len(text) for files in parsed for text in proto_sources(files))


def print_per_library_in_python(parsed: list[list[FileProto]]) -> int:
    """The same with the Python printer alone (no native printer): the
    baseline."""
    size = 0
    for files in parsed:
        index = SymbolIndex(tuple(files))
        size += sum(len(python_source_in(f, index)) for f in files)
    return size


def alternately(
    repeat: int, first: Callable[[], object], second: Callable[[], object]
) -> tuple[float, float]:
    """Best times of ``first`` and ``second``, run one after the other."""
    best = [float("inf"), float("inf")]
    for _ in range(repeat):
        for k, work in enumerate((first, second)):
            start = time.perf_counter()
            work()
            best[k] = min(best[k], time.perf_counter() - start)
    return best[0], best[1]


def real_sets() -> list[tuple[list[FileProto], list[FileProto]]]:
    """The printer tests' real sets (protoc's well-known types, googleapis,
    Debian's .proto packages compiled by protoc): each group's files and
    its context. Needs protoc, as the tests do."""
    import sys

    sys.path.insert(0, str(REPO / "tests"))
    import printing_sets

    groups = []
    for name in ("well_known", "googleapis", "debian"):
        for group in getattr(printing_sets, name)().groups:
            groups.append((group.files, group.context))
    return groups


def print_sets(
    groups: list[tuple[list[FileProto], list[FileProto]]],
    printer: Callable[[FileProto, SymbolIndex], str] = proto_source_in,
) -> int:
    size = 0
    for files, context in groups:
        index = SymbolIndex((*files, *context))
        size += sum(len(printer(f, index)) for f in files)
    return size


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument(
        "--sets", action="store_true", help="also the printer tests' real sets"
    )
    args = parser.parse_args()
    libraries = library_blobs()
    count = sum(len(b) for b in libraries)
    megabytes = sum(len(x) for b in libraries for x in b) / 1e6
    parsed = parse_all(libraries)
    parse_s = best_of(args.repeat, lambda: parse_all(libraries))
    one_s = best_of(args.repeat, lambda: print_one_by_one(parsed))
    shared_s, python_s = alternately(
        args.repeat,
        lambda: print_per_library(parsed),
        lambda: print_per_library_in_python(parsed),
    )
    text_mb = print_per_library(parsed) / 1e6
    print(
        "| libraries | descriptors | MB | .proto MB | parse desc/s (MB/s) "
        "| proto_source desc/s (MB/s) | proto_sources desc/s (MB/s) "
        "| Python printer alone desc/s | print / parse time |"
    )
    print("|---|---|---|---|---|---|---|---|---|")
    print(
        f"| {len(libraries)} | {count} | {megabytes:.2f} | {text_mb:.2f} "
        f"| {count / parse_s:,.0f} ({megabytes / parse_s:.0f}) "
        f"| {count / one_s:,.0f} ({megabytes / one_s:.2f}) "
        f"| {count / shared_s:,.0f} ({megabytes / shared_s:.2f}) "
        f"| {count / python_s:,.0f} ({python_s / shared_s:.2f}x slower) "
        f"| {shared_s / parse_s:.0f}x |"
    )
    if args.sets:
        groups = real_sets()
        files = sum(len(f) for f, _ in groups)
        sets_s, sets_python_s = alternately(
            args.repeat,
            lambda: print_sets(groups),
            lambda: print_sets(groups, python_source_in),
        )
        print(
            f"\nThe printer tests' real sets ({len(groups)} groups, {files} files, "
            f"an index a group): {files / sets_s:,.0f} files/s, the Python printer "
            f"alone {files / sets_python_s:,.0f} ({sets_python_s / sets_s:.2f}x)"
        )


if __name__ == "__main__":
    main()
