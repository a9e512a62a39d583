"""Writing the tree: every file printed as ``.proto`` source."""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from contextlib import ExitStack
from typing import TYPE_CHECKING

from google.protobuf.descriptor_pb2 import FileDescriptorProto as FileProto

from ravick._symbols import SymbolIndex
from ravick.extraction.records import (
    Compiles,
    Entry,
    Problem,
    WrittenFile,
)
from ravick.printing import proto_source_in
from ravick.safe_output import OutputError, OutputTree
from ravick.workers import Workers

if TYPE_CHECKING:
    from concurrent.futures import Executor


PARALLEL_FROM = 2048
"""Files below which printing stays in this process: the native printer
prints 15,000 or so a second, and a pool of workers takes 0.1 to 0.3 s to
start."""


def write_sources(
    tree: OutputTree,
    files: Sequence[Entry],
    conflicting: Sequence[Entry],
    compiles: Mapping[str, Compiles],
    *,
    force: bool,
    workers: int = 1,
    executor: Executor | None = None,
) -> tuple[list[WrittenFile], list[Problem]]:
    """Prints and writes every file; each is printed with the tree's other
    files at hand, the versions under ``_conflicts/`` included. ``compiles``
    says, by path, how each compiles. Printing runs on ``workers`` worker
    processes (or ``executor``); this process writes."""
    written: list[WrittenFile] = []
    errors: list[Problem] = []
    texts = _printed_in_parallel(files, conflicting, workers, executor)
    if texts is None:
        index = SymbolIndex(tuple(e.descriptor for e in files))
        texts = _printed_tree(files, index)
        texts += [_printed(e.descriptor, index) for e in conflicting]
    for entry, text in zip([*files, *conflicting], texts, strict=True):
        if isinstance(text, Exception):
            errors.append(Problem(entry.path, f"cannot be printed: {text!r}"))
            continue
        try:
            status = tree.write(entry.path, entry.header.encode() + text, force=force)
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
                compiles[entry.path],
                entry.restored,
            )
        )
    return written, errors


def _printed_tree(
    files: Sequence[Entry], index: SymbolIndex
) -> list[bytes | Exception]:
    """The sources of the tree's files, printed with one shared index (they
    define no name twice), or one by one if that fails."""
    try:
        texts = [proto_source_in(e.descriptor, index) for e in files]
        return [t.encode(errors="surrogatepass") for t in texts]
    except Exception:  # a descriptor the printer cannot render: find which
        return [_printed(e.descriptor, index) for e in files]


def _printed(descriptor: FileProto, index: SymbolIndex) -> bytes | Exception:
    """The source of ``descriptor`` with the files of ``index`` of other
    names as context."""
    try:
        source = proto_source_in(descriptor, index.replacing(descriptor))
        return source.encode(errors="surrogatepass")
    except Exception as e:  # a descriptor the printer cannot render
        return e


def _printed_in_parallel(
    files: Sequence[Entry],
    conflicting: Sequence[Entry],
    workers: int,
    executor: Executor | None,
) -> list[bytes | Exception] | None:
    """The sources of ``files`` and ``conflicting``, printed in shares on
    several processes, each with the index of all files; None to print here
    (few files, one worker, or a share that did not print). With worker
    processes of its own, this process prints the first share meanwhile."""
    count = len(files) + len(conflicting)
    if count < PARALLEL_FROM or (workers <= 1 and executor is None):
        return None
    blobs = [e.descriptor.SerializeToString() for e in files]
    others = [e.descriptor.SerializeToString() for e in conflicting]
    shares = max(2, workers) if executor is not None else workers
    here = 0 if executor is not None else 1
    with ExitStack() as stack:
        if executor is None:
            pool = Workers(workers - 1)
            stack.push(pool.close)
            submit: Executor = pool.pool
        else:
            submit = executor
        futures = [
            submit.submit(print_share, blobs, others, k, shares)
            for k in range(here, shares)
        ]
        mine = []
        if here:
            tree = [e.descriptor for e in files]
            mine = [_share(tree, [e.descriptor for e in conflicting], 0, shares)]
        parts = mine + [f.result() for f in futures]
    if any(part is None for part in parts):
        return None
    texts: list[bytes | Exception] = [b""] * count
    for k, part in enumerate(parts):
        assert part is not None
        for j, text in zip(range(k, count, shares), part, strict=True):
            texts[j] = text
    return texts


def print_share(
    blobs: Sequence[bytes], others: Sequence[bytes], k: int, shares: int
) -> list[bytes | Exception] | None:
    """Share ``k`` of ``shares`` (every ``shares``-th file from the ``k``-th,
    the tree's files first, then the conflicting versions): the sources as
    :func:`write_sources` prints them here, or None when one does not print
    with the shared index."""
    files = [FileProto.FromString(b) for b in blobs]
    return _share(files, [FileProto.FromString(b) for b in others], k, shares)


def _share(
    files: Sequence[FileProto], others: Sequence[FileProto], k: int, shares: int
) -> list[bytes | Exception] | None:
    """:func:`print_share` of parsed descriptors."""
    index = SymbolIndex(tuple(files))
    out: list[bytes | Exception] = []
    for j in range(k, len(files) + len(others), shares):
        if j < len(files):
            try:
                text = proto_source_in(files[j], index)
            except Exception:  # printed one by one, with their own index
                return None
            out.append(text.encode(errors="surrogatepass"))
            continue
        out.append(_printed(others[j - len(files)], index))
    return out
