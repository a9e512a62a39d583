"""Reading string and byte literals of generated source code.

Source text is read as Latin-1, one character a byte, so that raw bytes in a
literal (PHP's single-quoted form, Ruby after ``__END__``) come back as they
are. Each language gives its table of escapes; a literal that is cut, or
holds an escape its language does not have, gives None: never a guess.
"""

from __future__ import annotations

import re
from dataclasses import dataclass, field

MAX_LITERAL = 256 << 20
"""Characters of source one literal (or run of joined literals) may span."""

_SPACE = re.compile(r"(?:\s+|//[^\n]*|/\*.*?\*/)*", re.DOTALL | re.ASCII)
_HEX = frozenset("0123456789abcdefABCDEF")
_OCT = frozenset("01234567")


C_ESCAPES = {
    "\\": 0x5C, "'": 0x27, '"': 0x22, "a": 7, "b": 8, "f": 12, "n": 10,
    "r": 13, "t": 9, "v": 11,
}  # fmt: skip
"""The single-character escapes of C, which Python and Go share."""


@dataclass(frozen=True)
class Escapes:
    """What follows a backslash in one language's literals."""

    simple: dict[str, int] = field(default_factory=dict)
    octal_digits: int = 0
    """Octal escapes of 1 up to this many digits (0: none)."""
    hex_digits: tuple[int, int] = (0, 0)
    """\\x escapes of at least and at most so many digits ((0, 0): none)."""
    unicode: str = ""
    """\\u escapes: "latin1" (Java: one byte a char, below U+0100),
    "utf8" (Go, PHP's \\u{...}: the code point encoded), "" (none)."""
    line_continuation: bool = False
    """A backslash before a line break drops it and the next line's indent."""
    keep_unknown: bool = False
    """An unknown escape stands for itself with its backslash (PHP)."""


def skip_space(text: str, at: int) -> int:
    """``at`` moved past white space and comments."""
    match = _SPACE.match(text, at)
    return match.end() if match else at


def read_literal(text: str, at: int, escapes: Escapes) -> tuple[bytes, int] | None:
    """The quoted literal starting at ``at`` (its quote), and where it ends."""
    if at >= len(text) or text[at] not in "\"'":
        return None
    quote = text[at]
    out = bytearray()
    k = at + 1
    limit = min(len(text), at + MAX_LITERAL)
    while k < limit:
        c = text[k]
        if c == quote:
            return bytes(out), k + 1
        if c != "\\":
            out.append(ord(c) & 0xFF)
            k += 1
            continue
        step = _escape(text, k + 1, escapes, out)
        if step is None:
            return None
        k = step
    return None


def _escape(text: str, k: int, esc: Escapes, out: bytearray) -> int | None:
    """Decodes the escape whose first character is at ``k``; its end."""
    if k >= len(text):
        return None
    c = text[k]
    if c in esc.simple:
        out.append(esc.simple[c])
        return k + 1
    if esc.line_continuation and c == "\n":
        return skip_space(text, k + 1)
    if esc.octal_digits and c in _OCT:
        end = k
        while end < len(text) and end - k < esc.octal_digits and text[end] in _OCT:
            end += 1
        value = int(text[k:end], 8)
        if value > 0xFF:
            return None
        out.append(value)
        return end
    low, high = esc.hex_digits
    if high and c == "x":
        end = k + 1
        while end < len(text) and end - k - 1 < high and text[end] in _HEX:
            end += 1
        if end - k - 1 < max(low, 1):
            return None
        value = int(text[k + 1 : end], 16)
        if value > 0xFF:
            return None
        out.append(value)
        return end
    if esc.unicode and c == "u":
        return _unicode(text, k + 1, esc.unicode, out)
    if esc.keep_unknown:
        out += b"\\" + bytes([ord(c) & 0xFF])
        return k + 1
    return None


def _unicode(text: str, k: int, kind: str, out: bytearray) -> int | None:
    if text.startswith("{", k):  # PHP's \u{1F600}
        end = text.find("}", k, k + 10)
        digits = text[k + 1 : end] if end > 0 else ""
        end += 1
    else:
        while text.startswith("u", k):  # Java allows \uuuu0041
            k += 1
        digits, end = text[k : k + 4], k + 4
    if not digits or any(d not in _HEX for d in digits):
        return None
    code = int(digits, 16)
    if kind == "latin1":
        if code > 0xFF:
            return None
        out.append(code)
    else:
        try:
            out += chr(code).encode("utf-8")
        except (ValueError, UnicodeEncodeError):
            return None
    return end


def read_joined(
    text: str, at: int, escapes: Escapes, joiner: str = ""
) -> tuple[bytes, int] | None:
    """Literals one after another (separated by space, or by ``joiner``
    such as ``+``), concatenated; None unless the first one reads."""
    first = read_literal(text, at, escapes)
    if first is None:
        return None
    parts, end = [first[0]], first[1]
    total = len(first[0])
    while total < MAX_LITERAL:
        k = skip_space(text, end)
        if joiner and text.startswith(joiner, k):
            k = skip_space(text, k + len(joiner))
        more = read_literal(text, k, escapes)
        if more is None:
            break
        parts.append(more[0])
        total += len(more[0])
        end = more[1]
    return b"".join(parts), end
