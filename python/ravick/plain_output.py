"""The scan's output of an input whose finds came as columns, without making
them: a memory image holds plain descriptors by the hundred thousand, most
of them copies of a few.

Each find's text is its offsets and the text of its distinct bytes, which is
made once, from a model find of those bytes at offset 0 by the very
functions that make every other find's text, so the output is byte for byte
theirs (:mod:`ravick.json_text`, :func:`ravick.reporting.listing_line`).
"""

from __future__ import annotations

import codecs
from array import array
from collections import Counter
from collections.abc import Callable, Iterator
from typing import IO

from ravick.finding import Found, PlainFinds
from ravick.inputs import FileReport, ScannedFile

CHUNK = 8192
"""Finds whose text is made and written at a time."""

_AT_ZERO = '{"start":0,"end":0,'


def as_output(scanned: ScannedFile) -> FileReport | ScannedFile:
    """What the output is made of: the report, unless the finds are columns."""
    if isinstance(scanned.finds, PlainFinds) and scanned.error is None:
        return scanned
    return scanned.report()


def plain_of(scanned: ScannedFile) -> PlainFinds:
    """The columns of an input that :func:`as_output` left as they came."""
    finds = scanned.finds
    if not isinstance(finds, PlainFinds):
        raise TypeError("the finds are not columns")
    return finds


def counts(plain: PlainFinds) -> tuple[int, frozenset[str]]:
    """The implausible finds, and the digests of all."""
    uses = Counter(plain.ids)
    implausible = sum(k for n, k in uses.items() if not plain.facts[n]["plausible"])
    return implausible, frozenset(plain.facts[n]["sha256"] for n in uses)


def json_chunks(plain: PlainFinds, text_of: Callable[[Found], str]) -> Iterator[bytes]:
    """The finds' JSON objects joined by commas, in UTF-8, a chunk at a time
    (``text_of`` is :meth:`ravick.json_text.FoundText.of`)."""
    rests = _rests(plain, lambda found: "," + _after_offsets(text_of(found)))
    yield from _joined(plain, rests, '{"start":', ',"end":', ",")


def jsonl_chunks(
    plain: PlainFinds, prefix: str, text_of: Callable[[Found], str]
) -> Iterator[bytes]:
    """The finds' JSON Lines, each ``prefix`` (the path's members and a
    comma) and the object's members, in UTF-8, a chunk at a time."""
    rests = _rests(plain, lambda found: f",{_after_offsets(text_of(found))}\n")
    yield from _joined(plain, rests, f'{prefix}"start":', ',"end":', "")


def listing_chunks(
    plain: PlainFinds, path: str, line_of: Callable[[str, Found], str], plausible: bool
) -> Iterator[bytes]:
    """The lines that ``line_of`` (:func:`ravick.reporting.listing_line` or
    :func:`~ravick.reporting.doubt_line`) makes of the plausible finds (or
    of the others), a chunk at a time. Those lines are the shown path, the
    offset and more, separated by tabs (which the path never holds). In
    UTF-8."""
    lines = _rests(plain, lambda found: line_of(path, found))
    model = next((line for kind in lines for line in kind if line), None)
    if model is None:
        return
    head = model.split("\t", 1)[0] + "\t"
    wanted = [f["plausible"] == plausible for f in plain.facts]
    rests = [
        [
            _after_where(line) if line and wanted[n] else ""
            for n, line in enumerate(kind)
        ]
        for kind in lines
    ]
    yield from _joined(plain, rests, head, None, "", offset_in_hex=True)


def _after_where(line: str) -> str:
    """A model line's text after its offset (0x0): the rest of its place
    and the fields after it, with a newline."""
    _, where, rest = line.split("\t", 2)
    return f"{where[len('0x0') :]}\t{rest}\n"


def _joined(
    plain: PlainFinds,
    rests: list[list[str]],
    head: str,
    mid: str | None,
    sep: str,
    offset_in_hex: bool = False,
) -> Iterator[bytes]:
    """Each find's text (see :func:`ravick._plain.join`), a chunk at a time;
    the finds whose rest is empty are left out."""
    from ravick import _plain

    coded = [_bytes(r) for kind in rests for r in kind]
    bounds = array("q", [0])
    for rest in coded:
        bounds.append(bounds[-1] + len(rest))
    blob = b"".join(coded)
    for at in range(0, plain.total, CHUNK):
        text = _plain.join(
            plain.starts,
            plain.ends,
            plain.in_set,
            plain.ids,
            blob,
            bounds,
            _bytes(head),
            None if mid is None else _bytes(mid),
            _bytes(sep),
            offset_in_hex,
            at,
            min(at + CHUNK, plain.total),
        )
        yield text


def write_utf8(out: IO[str], text: bytes) -> None:
    """Writes text given in UTF-8: straight to the binary stream under a
    UTF-8 text stream (a chunk of a memory image's output runs to
    megabytes), else decoded."""
    buffer = getattr(out, "buffer", None)
    if buffer is not None and _encodes_utf8(out):
        out.flush()
        buffer.write(text)
    else:
        out.write(text.decode("utf-8", "surrogatepass"))


def _encodes_utf8(out: IO[str]) -> bool:
    try:
        return codecs.lookup(getattr(out, "encoding", None) or "").name == "utf-8"
    except LookupError:
        return False


def _bytes(text: str) -> bytes:
    return text.encode("utf-8", "surrogatepass")


def _after_offsets(text: str) -> str:
    if not text.startswith(_AT_ZERO):
        raise ValueError("a find's object does not begin with its offsets")
    return text[len(_AT_ZERO) :]


def _rests(plain: PlainFinds, make: Callable[[Found], str]) -> list[list[str]]:
    """``make`` of each distinct bytes' model find, plain and marked, where
    a find is so (empty elsewhere)."""
    kinds = range(len(plain.facts))
    return [
        [
            make(plain.model(n, bool(m))) if plain.uses[n] & (1 << m) else ""
            for n in kinds
        ]
        for m in (0, 1)
    ]
