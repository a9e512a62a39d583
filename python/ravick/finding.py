"""Finding descriptors in one buffer: the core scan, gzip streams, plausibility."""

from __future__ import annotations

import contextlib
import hashlib
import zlib
from collections.abc import Iterator
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

import ravick_lib
import stringzilla

from ravick.plausibility import doubt_about

if TYPE_CHECKING:
    from google.protobuf import descriptor_pb2

GZIP_MAGIC = b"\x1f\x8b\x08"
MAX_INFLATE = 64 << 20
"""Bytes one gzip stream may inflate to; the rest of a longer stream is cut."""
MAX_INFLATE_TOTAL = 1 << 30
"""Bytes all gzip streams of one buffer may inflate to together."""
_INFLATE_STEP = 1 << 16


@dataclass(frozen=True, slots=True)
class Found:
    """One serialized ``FileDescriptorProto`` found in a buffer.

    ``start`` and ``end`` are offsets in the scanned buffer. For a descriptor
    inside a gzip stream they span the whole compressed stream, and
    ``inner_start`` and ``inner_end`` give the descriptor's range inside the
    inflated bytes. ``size`` is the length of the serialized descriptor and
    ``sha256`` the hex digest of those bytes, which ``data`` holds.
    """

    start: int
    end: int
    size: int
    name: str
    package: str
    syntax: str
    edition: str | None
    sha256: str
    compression: str | None
    inner_start: int | None
    inner_end: int | None
    plausible: bool
    doubt: str | None
    messages: int
    enums: int
    services: int
    extensions: int
    dependencies: tuple[str, ...]
    truncated: bool = False
    """True when the gzip stream holding it was cut (capped or broken)."""
    data: bytes = field(default=b"", repr=False, compare=False)

    def descriptor(self) -> descriptor_pb2.FileDescriptorProto:
        """The parsed descriptor (an empty one if its bytes do not parse)."""
        from google.protobuf import descriptor_pb2
        from google.protobuf.message import DecodeError

        fd = descriptor_pb2.FileDescriptorProto()
        with contextlib.suppress(DecodeError, RecursionError):
            fd.ParseFromString(self.data)
        return fd


@dataclass(frozen=True, slots=True)
class Findings:
    """What one buffer holds, and notes on what could not be looked at fully."""

    found: tuple[Found, ...]
    notes: tuple[str, ...] = ()


def find(data: bytes) -> list[Found]:
    """Every descriptor in ``data``, plain and gzip-compressed, in offset order.

    The uncompressed results are exactly the ranges of ``ravick_lib.scan``, in
    its order; descriptors inside gzip streams are merged in by the offset of
    their stream.
    """
    return list(find_with_notes(data).found)


def find_with_notes(
    data: bytes,
    *,
    max_inflate: int = MAX_INFLATE,
    max_inflate_total: int = MAX_INFLATE_TOTAL,
) -> Findings:
    """Like :func:`find`, with notes on gzip streams that were cut short."""
    seen: dict[bytes, dict[str, Any]] = {}
    plain = [_describe(data, s, e, seen=seen) for s, e in ravick_lib.scan(data)]
    notes: list[str] = []
    compressed = list(
        _find_compressed(data, max_inflate, max_inflate_total, notes, seen)
    )
    if not compressed:
        return Findings(tuple(plain), tuple(notes))
    merged = sorted(plain + compressed, key=lambda f: (f.start, f.inner_start or 0))
    return Findings(tuple(merged), tuple(notes))


def _describe(
    blob: bytes,
    start: int,
    end: int,
    *,
    outer: tuple[int, int] | None = None,
    truncated: bool = False,
    seen: dict[bytes, dict[str, Any]],
) -> Found:
    data = blob[start:end]
    facts = seen.get(data)
    if facts is None:
        # Firmware and static binaries repeat the same files many times:
        # each distinct descriptor is parsed and judged once.
        facts = _facts(data)
        seen[data] = facts
    compressed = outer is not None
    return Found(
        start=outer[0] if outer else start,
        end=outer[1] if outer else end,
        compression="gzip" if compressed else None,
        inner_start=start if compressed else None,
        inner_end=end if compressed else None,
        truncated=truncated,
        **facts,
    )


def _facts(data: bytes) -> dict[str, Any]:
    """What a descriptor's bytes say, wherever they stand."""
    # protobuf is imported on the first descriptor found: most files of a
    # directory hold none, and the import is most of the start-up time.
    from google.protobuf import descriptor_pb2
    from google.protobuf.message import DecodeError

    fd = descriptor_pb2.FileDescriptorProto()
    parse_error: str | None = None
    try:
        fd.ParseFromString(data)
    except DecodeError as e:
        parse_error = f"does not parse with protobuf: {e}"
    except RecursionError:
        parse_error = "does not parse with protobuf: nested too deeply"
    doubt = parse_error or doubt_about(fd)
    return {
        "size": len(data),
        "name": text_of(fd.name),
        "package": text_of(fd.package),
        "syntax": fd.syntax or "proto2",
        "edition": edition_name(fd),
        "sha256": hashlib.sha256(data).hexdigest(),
        "plausible": doubt is None,
        "doubt": doubt,
        "messages": len(fd.message_type),
        "enums": len(fd.enum_type),
        "services": len(fd.service),
        "extensions": len(fd.extension),
        "dependencies": tuple(text_of(d) for d in fd.dependency),
        "data": data,
    }


def text_of(value: str | bytes) -> str:
    """A string field's text; bytes that are not UTF-8 as lone surrogates.

    protobuf hands back ``bytes`` for a string field that is not UTF-8; the
    surrogateescape form keeps every byte, as file names do.
    """
    if isinstance(value, bytes):
        return value.decode("utf-8", "surrogateescape")
    return value


def edition_name(fd: descriptor_pb2.FileDescriptorProto) -> str | None:
    """The edition of an editions file ("2023", "2024", ...), else None."""
    if fd.syntax != "editions":
        return None
    from google.protobuf import descriptor_pb2

    number = fd.edition
    try:
        label = descriptor_pb2.Edition.Name(number)
    except ValueError:
        return str(number)
    return label.removeprefix("EDITION_")


@dataclass(frozen=True, slots=True)
class _Inflated:
    data: bytes
    consumed: int
    complete: bool
    capped: bool


def _find_compressed(
    data: bytes,
    max_inflate: int,
    max_total: int,
    notes: list[str],
    seen: dict[bytes, dict[str, Any]],
) -> Iterator[Found]:
    budget = max_total
    for offset in _gzip_offsets(data):
        if budget <= 0:
            notes.append(
                f"gzip streams past offset {offset:#x} not inflated: "
                f"{max_total} bytes inflated in all"
            )
            return
        inflated = _inflate(data, offset, min(max_inflate, budget))
        if inflated is None:
            continue
        budget -= len(inflated.data)
        if inflated.capped:
            notes.append(
                f"gzip stream at {offset:#x} cut after {len(inflated.data)} "
                "inflated bytes"
            )
        outer = (offset, offset + inflated.consumed)
        cut = not inflated.complete
        for start, end in ravick_lib.scan(inflated.data):
            yield _describe(
                inflated.data, start, end, outer=outer, truncated=cut, seen=seen
            )


def _gzip_offsets(data: bytes) -> Iterator[int]:
    view = stringzilla.Str(data)
    at = view.find(GZIP_MAGIC)
    while at != -1:
        yield at
        at = view.find(GZIP_MAGIC, at + 1)


def _inflate(data: bytes, offset: int, cap: int) -> _Inflated | None:
    """Inflates the gzip member at ``offset``, never to more than ``cap`` bytes.

    Returns None when nothing inflates. A stream that breaks, ends with the
    buffer or reaches the cap gives what was inflated before that.
    """
    inflater = zlib.decompressobj(wbits=16 + zlib.MAX_WBITS)
    view = memoryview(data)
    parts: list[bytes] = []
    produced = 0
    pos = offset
    while pos < len(data) and produced < cap:
        chunk = view[pos : pos + _INFLATE_STEP]
        try:
            out = inflater.decompress(chunk, cap - produced)
        except zlib.error:
            break
        consumed = len(chunk) - len(inflater.unconsumed_tail)
        if inflater.eof:
            consumed -= len(inflater.unused_data)
        parts.append(out)
        produced += len(out)
        pos += consumed
        if inflater.eof:
            return _Inflated(b"".join(parts), pos - offset, True, False)
        if consumed == 0 and not out:
            break
    if produced == 0:
        return None
    return _Inflated(b"".join(parts), pos - offset, False, produced >= cap)
