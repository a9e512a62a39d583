""".NET assemblies (Google.Protobuf): each file's ``...Reflection`` class
builds ``descriptorData = Convert.FromBase64String(string.Concat("...",
"..."))`` from padded base64 literals of 60 characters. Each literal is a
``#US`` heap entry in UTF-16LE, stored once however often it is used, so
the chunks of one descriptor are joined in the order of the ``ldstr``
instructions in each method body; where no body can be read, runs of
consecutive heap entries are joined instead.
"""

from __future__ import annotations

import re
import struct
from collections.abc import Iterator
from typing import Any

from ravick.layers import Budget, Region
from ravick.layers._source import from_base64

LAYER = "dotnet-us"
CHUNK = 60
"""Base64 characters in every literal of a descriptor but its last."""
MAX_METHODS = 1_000_000
_BASE64 = re.compile(r"[A-Za-z0-9+/]+={0,2}")
_LDSTR = 0x72
_STRING_TOKEN = 0x70


def is_assembly(data: bytes) -> bool:
    """True for a PE file that may hold CLI metadata."""
    return data[:2] == b"MZ" and data.find(b"BSJB") != -1


def regions(data: bytes, budget: Budget) -> Iterator[Region]:
    """The descriptors that the assembly's base64 literals spell."""
    pe = _parse(data, budget)
    heap = _user_strings(pe, data) if pe is not None else None
    if heap is None:
        return
    base, strings = heap
    runs = list(_runs_in_code(pe, data, strings)) or [list(strings.items())]
    seen: set[bytes] = set()
    for run in runs:
        for start, chunks in _descriptor_runs(run):
            decoded = from_base64("".join(chunks).encode())
            if decoded is None or decoded in seen or budget.exhausted(".NET strings"):
                continue
            seen.add(decoded)
            decoded = decoded[: budget.cap()]
            budget.spend(len(decoded))
            yield Region(
                base + start, base + start + 2 * len(chunks[0]), decoded, LAYER
            )


def _parse(data: bytes, budget: Budget) -> Any:
    """The assembly's PE and CLI metadata, or None."""
    try:
        import dnfile

        pe = dnfile.dnPE(data=data, fast_load=True)  # type: ignore[no-untyped-call]
        pe.parse_data_directories()  # type: ignore[no-untyped-call]
    except Exception as e:  # the parser's own errors are many kinds
        budget.note(f".NET metadata could not be read: {e}")
        return None
    return pe


def _user_strings(pe: Any, data: bytes) -> tuple[int, dict[int, str]] | None:
    """The #US heap's file offset and its strings by heap offset."""
    heap = pe.net.user_strings if getattr(pe, "net", None) is not None else None
    if heap is None:
        return None
    start = int(heap.file_offset)
    raw = data[start : start + int(heap.sizeof())]
    return start, dict(_heap_entries(raw))


def _heap_entries(raw: bytes) -> Iterator[tuple[int, str]]:
    """(offset, text) of each #US entry, one after another."""
    at = 1
    while at < len(raw):
        length, header = _compressed(raw, at)
        if length is None:
            return
        body = raw[at + header : at + header + max(length - 1, 0)]
        yield at, body.decode("utf-16-le", "replace")
        at += header + max(length, 1)


def _compressed(raw: bytes, at: int) -> tuple[int | None, int]:
    """An ECMA-335 compressed unsigned integer and its size."""
    first = raw[at]
    if first & 0x80 == 0:
        return first, 1
    if first & 0xC0 == 0x80 and at + 1 < len(raw):
        return ((first & 0x3F) << 8) | raw[at + 1], 2
    if first & 0xE0 == 0xC0 and at + 3 < len(raw):
        return struct.unpack_from(">I", raw, at)[0] & 0x1FFFFFFF, 4
    return None, 1


def _runs_in_code(
    pe: Any, data: bytes, strings: dict[int, str]
) -> Iterator[list[tuple[int, str]]]:
    """Per method body, the strings it loads with ldstr, in order."""
    try:
        methods = list(pe.net.mdtables.MethodDef or [])
    except Exception:  # no method table: heap order only
        return
    for row in methods[:MAX_METHODS]:
        try:
            offset = pe.get_offset_from_rva(row.Rva) if row.Rva else None
        except Exception:  # an RVA outside every section
            offset = None
        code = _method_code(data, offset) if offset is not None else b""
        loads = [(k, strings[k]) for k in _ldstr_offsets(code) if k in strings]
        if loads:
            yield loads


def _method_code(data: bytes, at: int) -> bytes:
    """A method body's IL (ECMA-335 II.25.4: tiny or fat header)."""
    if at < 0 or at >= len(data):
        return b""
    first = data[at]
    if first & 3 == 2:  # tiny: the size in the upper six bits
        return data[at + 1 : at + 1 + (first >> 2)]
    if first & 3 == 3 and at + 12 <= len(data):  # fat
        size = (struct.unpack_from("<H", data, at)[0] >> 12) * 4
        code_size = struct.unpack_from("<I", data, at + 4)[0]
        return data[at + size : at + size + code_size]
    return b""


def _ldstr_offsets(code: bytes) -> Iterator[int]:
    """#US offsets loaded by ldstr (0x72 and a string token 0x70xxxxxx)."""
    at = code.find(_LDSTR)
    while at != -1 and at + 5 <= len(code):
        if code[at + 4] == _STRING_TOKEN:
            yield int.from_bytes(code[at + 1 : at + 4], "little")
            at = code.find(_LDSTR, at + 5)
        else:
            at = code.find(_LDSTR, at + 1)


def _descriptor_runs(
    strings: list[tuple[int, str]],
) -> Iterator[tuple[int, list[str]]]:
    """Runs of base64 chunks that start a descriptor (``C`` and ``g``..``v``:
    a 0x0A byte and a length), every chunk but the last exactly CHUNK long."""
    k = 0
    while k < len(strings):
        offset, text = strings[k]
        k += 1
        if len(text) < 4 or text[0] != "C" or not "g" <= text[1] <= "v":
            continue
        if not _BASE64.fullmatch(text):
            continue
        run = [text]
        while len(run[-1]) == CHUNK and k < len(strings):
            following = strings[k][1]
            if not _BASE64.fullmatch(following):
                break
            run.append(following)
            k += 1
        yield offset, run
