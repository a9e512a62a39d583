"""Text of names and values as protoc reads them: identifiers, quoted
strings with C escapes (and back), floats that read back exactly."""

from __future__ import annotations

import math
import re
import struct

_IDENT = re.compile(r"[A-Za-z_][A-Za-z0-9_]*", re.ASCII)
_DOTTED = re.compile(r"\.?[A-Za-z_][A-Za-z0-9_]*(\.[A-Za-z_][A-Za-z0-9_]*)*", re.ASCII)


def is_identifier(name: object) -> bool:
    """Whether ``name`` can be printed as one protobuf identifier."""
    return isinstance(name, str) and _IDENT.fullmatch(name) is not None


def is_dotted_name(name: object) -> bool:
    """Whether ``name`` is a (possibly fully qualified) dotted identifier."""
    return isinstance(name, str) and _DOTTED.fullmatch(name) is not None


def as_text(value: str | bytes) -> str:
    """A string field's value as text.

    The runtime hands out ``bytes`` for a proto2 string that is not valid
    UTF-8; such bytes come back as the same bytes from :func:`as_bytes`.
    """
    if isinstance(value, str):
        return value
    return value.decode("utf-8", "surrogateescape")


def as_bytes(value: str | bytes) -> bytes:
    """A string field's value as the bytes it stands for."""
    if isinstance(value, bytes):
        return value
    try:
        return value.encode("utf-8", "surrogateescape")
    except UnicodeEncodeError:
        return value.encode("utf-8", "surrogatepass")


def type_key(type_name: str | bytes) -> str:
    """A type reference as a symbol key: its full name without the leading dot."""
    return as_text(type_name).removeprefix(".")


def quoted(data: bytes, *, text: bool = False) -> str:
    """A double-quoted literal that protoc and text format read back as ``data``.

    With ``text``, printable non-ASCII characters of valid UTF-8 stay as they
    are; everything else outside printable ASCII is an octal escape.
    """
    if text:
        try:
            decoded = data.decode("utf-8")
        except UnicodeDecodeError:
            pass
        else:
            if decoded.isascii():
                return '"' + decoded.translate(_BYTE_ESCAPES) + '"'
            return '"' + "".join(_escape_char(c) for c in decoded) + '"'
    return '"' + data.decode("latin-1").translate(_BYTE_ESCAPES) + '"'


_SIMPLE_ESCAPES = {
    0x0A: "\\n",
    0x0D: "\\r",
    0x09: "\\t",
    0x22: '\\"',
    0x27: "\\'",
    0x5C: "\\\\",
}


def _escape_byte(b: int) -> str:
    if b in _SIMPLE_ESCAPES:
        return _SIMPLE_ESCAPES[b]
    if 0x20 <= b < 0x7F:
        return chr(b)
    return f"\\{b:03o}"


# Code points 0 to 255 (bytes decoded as latin-1) to their escapes.
_BYTE_ESCAPES = {b: _escape_byte(b) for b in range(256) if _escape_byte(b) != chr(b)}


def _escape_char(c: str) -> str:
    code = ord(c)
    if code < 0x80:
        return _escape_byte(code)
    if c.isprintable():
        return c
    return "".join(_escape_byte(b) for b in c.encode("utf-8", "surrogatepass"))


def c_unescape(text: str | bytes) -> bytes:
    """Bytes of a C-escaped string as protoc stores a ``bytes`` default.

    Malformed escapes are kept literally, so this never fails.
    """
    raw = as_bytes(text)
    out = bytearray()
    i = 0
    while i < len(raw):
        b = raw[i]
        if b != 0x5C or i + 1 == len(raw):
            out.append(b)
            i += 1
            continue
        i = _unescape_one(raw, i + 1, out)
    return bytes(out)


_NAMED_ESCAPES = {
    ord("n"): 0x0A,
    ord("r"): 0x0D,
    ord("t"): 0x09,
    ord("a"): 0x07,
    ord("b"): 0x08,
    ord("f"): 0x0C,
    ord("v"): 0x0B,
    ord("\\"): 0x5C,
    ord("'"): 0x27,
    ord('"'): 0x22,
    ord("?"): 0x3F,
}
_OCTAL = b"01234567"
_HEX = b"0123456789abcdefABCDEF"


def _unescape_one(raw: bytes, i: int, out: bytearray) -> int:
    """Appends the escape starting after a backslash at ``i``; returns the end."""
    c = raw[i]
    if c in _NAMED_ESCAPES:
        out.append(_NAMED_ESCAPES[c])
        return i + 1
    if c in _OCTAL:
        end = i
        while end < len(raw) and end < i + 3 and raw[end] in _OCTAL:
            end += 1
        out.append(int(raw[i:end], 8) & 0xFF)
        return end
    if c in b"xX" and i + 1 < len(raw) and raw[i + 1] in _HEX:
        end = i + 1
        while end < len(raw) and end < i + 3 and raw[end] in _HEX:
            end += 1
        out.append(int(raw[i + 1 : end], 16))
        return end
    out += b"\\" + bytes([c])
    return i + 1


def float_text(value: float, *, single: bool = False) -> str:
    """The shortest literal that reads back as ``value`` (as a float32 if single)."""
    if math.isnan(value):
        return "nan"
    if math.isinf(value):
        return "inf" if value > 0 else "-inf"
    if single:
        for digits in range(1, 10):
            text = f"{value:.{digits}g}"
            try:
                back = struct.unpack("<f", struct.pack("<f", float(text)))[0]
            except OverflowError:  # rounded past the largest float
                continue
            if back == value:
                return text
    return repr(value)
