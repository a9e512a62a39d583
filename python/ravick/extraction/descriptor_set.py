"""The descriptor set of a run: the exact bytes found, as one
``FileDescriptorSet``."""

from __future__ import annotations

from collections.abc import Iterable, Sequence

from ravick.extraction.records import DescriptorSetResult
from ravick.safe_output import write_file_atomically


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
