"""Base64 text: descriptors spelled in base64 (C# literals, protobuf-es
bundles whose function names a minifier renamed, Unity IL2CPP's string
literal data, YAML and JSON configuration, gRPC reflection resources), in
one-byte text or UTF-16LE. A descriptor starts with 0x0A, so its base64
starts with ``C`` and one of ``g``..``v``; the signature search has checked
that the name record decodes to a ``.proto`` name.

A run is the base64 from there on, across the joints that generated code
and minifiers leave between literals (``"+"``, ``", "``, line breaks), and
chunks back to back (IL2CPP stores literals without separators). Chunks of
whole quads (C#'s 60 characters, padded or not) decode one by one; others
are decoded joined, padding added.
"""

from __future__ import annotations

import re
from dataclasses import replace

from ravick.layers import Budget, Region
from ravick.layers._source import from_base64

LAYER = "base64"
_CHUNK = re.compile(rb"[A-Za-z0-9+/]+=*")
_JOINT = re.compile(rb"""["'][ \t\r\n,+]{0,10}["']|[ \t]*\r?\n[ \t]*""")


def region_at(data: bytes, offset: int, budget: Budget) -> Region | None:
    """The base64 run of one-byte text at ``offset``, decoded."""
    chunks, end = _run(data, offset, budget.cap() * 4 // 3 + 4)
    decoded = _decode(chunks)
    # A word after the run (a YAML key on the next line) is not base64 of
    # it: without it, the rest may decode.
    for _ in range(2):
        if decoded is not None or len(chunks) < 2:
            break
        chunks.pop()
        decoded = _decode(chunks)
    region = _region(offset, end, decoded, budget)
    if region is not None and _is_es_call(data, offset, end, chunks):
        region = replace(region, stripped=("dependency",))
    return region


def _is_es_call(data: bytes, start: int, end: int, chunks: list[bytes]) -> bool:
    """True for protobuf-es's ``fileDesc("...", [deps])`` under any name a
    minifier gave it: one unpadded literal, the only argument or the first
    of two. Its descriptors lack their dependency list."""
    if len(chunks) != 1 or chunks[0].endswith(b"="):
        return False
    before, after = data[max(0, start - 2) : start], data[end : end + 3]
    quote = before[-1:]
    return (
        before in (b'("', b"('", b"(`")
        and after[:1] == quote
        and (after[1:2] == b")" or after[1:3] == b",[")
    )


def utf16_region_at(data: bytes, offset: int, budget: Budget) -> Region | None:
    """The base64 run of UTF-16LE text at ``offset``, decoded."""
    limit = budget.cap() * 8 // 3 + 8
    k = offset
    while (
        k + 1 < len(data)
        and k - offset < limit
        and data[k + 1] == 0
        and (_CHUNK.fullmatch(data[k : k + 1]))
    ):
        k += 2
    text = data[offset:k:2]
    decoded = from_base64(text.rstrip(b"="))
    return _region(offset, k, decoded, budget)


def _run(data: bytes, at: int, limit: int) -> tuple[list[bytes], int]:
    chunks: list[bytes] = []
    total = 0
    while total < limit:
        match = _CHUNK.match(data, at)
        if match is None:
            break
        chunks.append(match.group())
        total += len(match.group())
        at = match.end()
        joint = _JOINT.match(data, at)
        if joint is None or not _CHUNK.match(data, joint.end()):
            break
        at = joint.end()
    return chunks, at


def _decode(chunks: list[bytes]) -> bytes | None:
    if all(len(c) % 4 == 0 for c in chunks[:-1]):
        parts = [from_base64(c.rstrip(b"=")) for c in chunks]
        if all(p is not None for p in parts):
            return b"".join(p for p in parts if p is not None)
    return from_base64(b"".join(c.rstrip(b"=") for c in chunks))


def _region(
    start: int, end: int, decoded: bytes | None, budget: Budget
) -> Region | None:
    if not decoded or budget.cap() <= 0:
        return None
    decoded = decoded[: budget.cap()]
    budget.spend(len(decoded))
    return Region(start, end, decoded, LAYER)
