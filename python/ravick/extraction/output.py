"""Writing the tree: every file printed as ``.proto`` source, and the
descriptor set of the exact bytes."""

from __future__ import annotations

from collections.abc import Iterable, Mapping, Sequence

from ravick.extraction.records import (
    Compiles,
    DescriptorSetResult,
    Entry,
    Problem,
    WrittenFile,
)
from ravick.printing import proto_source, proto_sources
from ravick.safe_output import OutputError, OutputTree, write_file_atomically


def write_sources(
    tree: OutputTree,
    files: Sequence[Entry],
    conflicting: Sequence[Entry],
    compiles: Mapping[str, Compiles],
    *,
    force: bool,
) -> tuple[list[WrittenFile], list[Problem]]:
    """Prints and writes every file; each is printed with the tree's other
    files at hand, the versions under ``_conflicts/`` included. ``compiles``
    says, by path, how each compiles."""
    written: list[WrittenFile] = []
    errors: list[Problem] = []
    texts = _printed_tree(files) + [_printed(e, files) for e in conflicting]
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


def _printed_tree(files: Sequence[Entry]) -> list[bytes | Exception]:
    """The sources of the tree's files, printed with one shared index (they
    define no name twice), or one by one if that fails."""
    try:
        texts = proto_sources([e.descriptor for e in files])
        return [t.encode(errors="surrogatepass") for t in texts]
    except Exception:  # a descriptor the printer cannot render: find which
        return [_printed(e, files) for e in files]


def _printed(entry: Entry, files: Sequence[Entry]) -> bytes | Exception:
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


def write_descriptor_set(path: str, files: Sequence[bytes]) -> DescriptorSetResult:
    try:
        write_file_atomically(path, descriptor_set_bytes(files))
    except OSError as e:
        return DescriptorSetResult(path, 0, e.strerror or str(e))
    return DescriptorSetResult(path, len(files))
