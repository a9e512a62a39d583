"""Java class files: the full runtime's generated outer class holds
``String[] descriptorData``, each character one byte (U+0000..U+00FF),
split into elements of 16,000 characters. Each element is a
``CONSTANT_Utf8`` entry in modified UTF-8 (U+0000 as ``C0 80``, U+0080..U+00FF
as two bytes); the static initializer loads them in order with ``ldc`` or
``ldc_w``. Parts are joined in that order (in constant-pool order where the
code cannot be read), every part but the last exactly 16,000 characters.
"""

from __future__ import annotations

import struct
from collections.abc import Iterator

from ravick.layers import Budget, Region

LAYER = "java-utf8"
MAGIC = b"\xca\xfe\xba\xbe"
PART = 16_000
"""Characters in every part of a descriptor but its last."""
_U1, _U2, _U4 = struct.Struct(">B"), struct.Struct(">H"), struct.Struct(">I")
# Bytes after the tag of each constant-pool entry kind (Utf8 has its own).
_SIZES = {
    3: 4,
    4: 4,
    5: 8,
    6: 8,
    7: 2,
    8: 2,
    9: 4,
    10: 4,
    11: 4,
    12: 4,
    15: 3,
    16: 2,
    17: 4,
    18: 4,
    19: 2,
    20: 2,
}
_WIDE = {5, 6}  # Long and Double take two slots


class _Cut(Exception):
    """The class file ends, or says something it cannot mean."""


def is_class_file(data: bytes) -> bool:
    """True for a class file's header (not a fat Mach-O, which shares the
    magic but has a small architecture count where the version stands)."""
    if len(data) < 10 or data[: len(MAGIC)] != MAGIC:
        return False
    return _read(_U2, data, 6) >= 45


def regions(data: bytes, budget: Budget) -> Iterator[Region]:
    """The descriptors spelled by the class file that ``data`` holds."""
    try:
        pool, end = _constant_pool(data)
        loads = _clinit_loads(data, end, pool)
    except _Cut as e:
        budget.note(f"class file could not be read: {e}")
        return
    strings = [pool.get(index) for index in loads]
    if not strings:
        strings = [text for text in pool.values() if text is not None]
    for joined in _descriptors(strings):
        if budget.exhausted("a class file's strings"):
            return
        joined = joined[: budget.cap()]
        budget.spend(len(joined))
        # The plain scan sees the parts that are ASCII as they are: what it
        # found in the class file is reported once, from here.
        yield Region(0, len(data), joined, LAYER, covers=True)


def _descriptors(parts: list[bytes | None]) -> Iterator[bytes]:
    """Runs of parts that start a descriptor, joined."""
    k = 0
    while k < len(parts):
        part = parts[k]
        k += 1
        if part is None or not part.startswith(b"\n"):
            continue
        run = [part]
        while len(run[-1]) == PART and k < len(parts) and parts[k] is not None:
            run.append(parts[k])  # type: ignore[arg-type]
            k += 1
        yield b"".join(run)


def _read(fmt: struct.Struct, data: bytes, at: int) -> int:
    if at < 0 or at + fmt.size > len(data):
        raise _Cut(f"ends at {len(data)} bytes, inside a field at {at}")
    value: int = fmt.unpack_from(data, at)[0]
    return value


def _constant_pool(data: bytes) -> tuple[dict[int, bytes | None], int]:
    """String constants' indexes to the bytes they spell (None when a
    character is past U+00FF), and the offset after the pool."""
    count = _read(_U2, data, 8)
    utf8: dict[int, bytes | None] = {}
    strings: dict[int, int] = {}
    at, index = 10, 1
    while index < count:
        tag = _read(_U1, data, at)
        if tag == 1:
            length = _read(_U2, data, at + 1)
            if at + 3 + length > len(data):
                raise _Cut("a Utf8 entry runs past the end")
            utf8[index] = _latin1(data[at + 3 : at + 3 + length])
            at += 3 + length
        elif tag in _SIZES:
            if tag == 8:
                strings[index] = _read(_U2, data, at + 1)
            at += 1 + _SIZES[tag]
        else:
            raise _Cut(f"constant-pool entry {index} has tag {tag}")
        index += 2 if tag in _WIDE else 1
    return {i: utf8.get(target) for i, target in strings.items()}, at


def _latin1(encoded: bytes) -> bytes | None:
    """Modified UTF-8 decoded to one byte a character, or None."""
    if encoded.isascii():
        return encoded if b"\0" not in encoded else None
    out = bytearray()
    k = 0
    while k < len(encoded):
        b = encoded[k]
        if 0 < b < 0x80:
            out.append(b)
            k += 1
        elif b in (0xC0, 0xC1, 0xC2, 0xC3) and k + 1 < len(encoded):
            c = encoded[k + 1]
            if c & 0xC0 != 0x80:
                return None
            out.append(((b & 0x1F) << 6) | (c & 0x3F))
            k += 2
        else:
            return None  # a character past U+00FF, or not modified UTF-8
    return bytes(out)


def _clinit_loads(data: bytes, at: int, pool: dict[int, bytes | None]) -> list[int]:
    """Constant-pool indexes that ``<clinit>`` loads with ldc or ldc_w, in
    order; empty when there is no static initializer."""
    names = _utf8_names(data)
    at += 6  # access flags, this class, super class
    at += 2 + 2 * _read(_U2, data, at)  # interfaces
    at = _skip_members(data, at)  # fields
    count = _read(_U2, data, at)
    at += 2
    for _ in range(count):
        name = names.get(_read(_U2, data, at + 2))
        attributes = _read(_U2, data, at + 6)
        at += 8
        for _ in range(attributes):
            length = _read(_U4, data, at + 2)
            if name == b"<clinit>" and names.get(_read(_U2, data, at)) == b"Code":
                code_length = _read(_U4, data, at + 10)
                code = data[at + 14 : at + 14 + code_length]
                return [i for i in _ldc_operands(code) if i in pool]
            at += 6 + length
    return []


def _utf8_names(data: bytes) -> dict[int, bytes]:
    """The pool's short Utf8 entries (names), by index."""
    names: dict[int, bytes] = {}
    count = _read(_U2, data, 8)
    at, index = 10, 1
    while index < count:
        tag = _read(_U1, data, at)
        if tag == 1:
            length = _read(_U2, data, at + 1)
            if length <= 64:
                names[index] = data[at + 3 : at + 3 + length]
            at += 3 + length
        else:
            at += 1 + _SIZES.get(tag, 0)
        index += 2 if tag in _WIDE else 1
    return names


def _skip_members(data: bytes, at: int) -> int:
    count = _read(_U2, data, at)
    at += 2
    for _ in range(count):
        attributes = _read(_U2, data, at + 6)
        at += 8
        for _ in range(attributes):
            at += 6 + _read(_U4, data, at + 2)
    return at


def _instruction_lengths() -> bytes:
    """Lengths of JVM instructions by opcode; 0 where the length varies."""
    spans = [
        (0x00, 0x0F, 1),
        (0x10, 0x10, 2),
        (0x11, 0x11, 3),
        (0x12, 0x12, 2),
        (0x13, 0x14, 3),
        (0x15, 0x19, 2),
        (0x1A, 0x35, 1),
        (0x36, 0x3A, 2),
        (0x3B, 0x83, 1),
        (0x84, 0x84, 3),
        (0x85, 0x98, 1),
        (0x99, 0xA8, 3),
        (0xA9, 0xA9, 2),
        (0xAA, 0xAB, 0),
        (0xAC, 0xB1, 1),
        (0xB2, 0xB8, 3),
        (0xB9, 0xBA, 5),
        (0xBB, 0xBB, 3),
        (0xBC, 0xBC, 2),
        (0xBD, 0xBD, 3),
        (0xBE, 0xBF, 1),
        (0xC0, 0xC1, 3),
        (0xC2, 0xC3, 1),
        (0xC4, 0xC4, 0),
        (0xC5, 0xC5, 4),
        (0xC6, 0xC7, 3),
        (0xC8, 0xC9, 5),
    ]
    table = bytearray(256)
    for first, last, length in spans:
        table[first : last + 1] = bytes([length]) * (last - first + 1)
    return bytes(table)


_LENGTHS = _instruction_lengths()


def _ldc_operands(code: bytes) -> Iterator[int]:
    k = 0
    while k < len(code):
        op = code[k]
        if op == 0x12 and k + 1 < len(code):
            yield code[k + 1]
        elif op == 0x13 and k + 2 < len(code):
            yield (code[k + 1] << 8) | code[k + 2]
        step = _LENGTHS[op]
        if op in (0xAA, 0xAB):  # tableswitch, lookupswitch: padded tables
            step = _switch_length(code, k)
        elif op == 0xC4:  # wide
            step = 6 if k + 1 < len(code) and code[k + 1] == 0x84 else 4
        if step <= 0:
            return
        k += step


def _switch_length(code: bytes, k: int) -> int:
    base = (k + 4) & ~3
    if base + 12 > len(code):
        return 0
    if code[k] == 0xAA:
        low, high = struct.unpack_from(">ii", code, base + 4)
        entries = high - low + 1
        return base + 12 + 4 * max(entries, 0) - k if entries >= 0 else 0
    pairs = struct.unpack_from(">i", code, base + 4)[0]
    return base + 8 + 8 * pairs - k if pairs >= 0 else 0
