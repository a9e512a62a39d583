"""An input that holds only plain descriptors: its finds come as columns,
framed natively, and the scan's output is made from them without making
the finds, byte for byte as from the report."""

from __future__ import annotations

import array
import io
import random
from collections.abc import Callable
from typing import IO

import pytest
import ravick_lib

from descriptors import file_descriptor, varint, wkt_descriptors
from ravick import _plain, finding
from ravick.finding import PlainFinds, finds_with_notes, rows_of
from ravick.inputs import FileReport, ScannedFile
from ravick.json_text import FoundText, write_document, write_jsonl
from ravick.layers.framing import framed
from ravick.reporting import Summary, implausible_part, write_listing

SYNTAX = b"\x62\x06proto3"  # read by the scan as more of the descriptor before it
HOSTILE_NAMES = ["caf\u00e9.proto", "t\tab.proto", 'q"b\\s.proto', "\u2028.proto"]


def _descriptors() -> list[bytes]:
    hostile = [file_descriptor(name, package="p") for name in HOSTILE_NAMES]
    not_utf8 = b"\x0a\x08\xffx.proto\x12\x01p\x22\x05\x0a\x03Msg"
    return [*wkt_descriptors(), *hostile, not_utf8]


def _image(seed: int, copies: int = 300) -> bytes:
    """Descriptors back to back and between random bytes, some framed as
    marshal bytes or set entries with a field after them."""
    rng = random.Random(seed)
    pool = _descriptors()
    out = bytearray()
    for _ in range(copies):
        d = rng.choice(pool)
        kind = rng.randrange(4)
        if kind == 1:
            out += b"s" + len(d).to_bytes(4, "little") + d + SYNTAX
        elif kind == 2:
            out += b"\x0a" + varint(len(d)) + d + SYNTAX
        else:
            out += d
        out += rng.randbytes(rng.choice([0, 0, 3, 40]))
    return bytes(out)


IMAGES = [pytest.param(seed, id=f"seed{seed}") for seed in range(4)]


@pytest.mark.parametrize("seed", IMAGES)
def test_native_framing_is_the_layers_framing(seed: int) -> None:
    data = _image(seed)
    ranges = ravick_lib.scan(data)
    want = framed(data, ranges)
    starts, ends, in_set, ids, firsts, uses = _plain.frame(data, ranges)
    got = list(
        zip(array.array("q", starts), array.array("q", ends), in_set, strict=False)
    )
    assert got == [(s, e, int(m)) for s, e, m in want]
    numbers: dict[bytes, int] = {}
    for s, e, _ in want:
        numbers.setdefault(data[s:e], len(numbers))
    assert list(array.array("I", ids)) == [numbers[data[s:e]] for s, e, _ in want]
    assert [want[k][:2] for k in firsts] == [
        next((s, e) for s, e, _ in want if data[s:e] == b) for b in numbers
    ]
    used = [0] * len(numbers)
    for s, e, m in want:
        used[numbers[data[s:e]]] |= 2 if m else 1
    assert list(uses) == used
    assert any(m for _, _, m in want) and len(numbers) < len(want)


@pytest.mark.parametrize("seed", IMAGES)
def test_columns_hold_the_finds_the_rows_hold(
    seed: int, monkeypatch: pytest.MonkeyPatch
) -> None:
    data = _image(seed)
    columns, notes = finds_with_notes(data)
    assert isinstance(columns, PlainFinds)
    monkeypatch.setattr(finding, "_maps_nothing", lambda locate: False)
    rows, same_notes = finds_with_notes(data)
    assert isinstance(rows, list)
    assert rows_of(columns) == rows and notes == same_notes


def test_inputs_with_regions_keep_their_rows() -> None:
    import gzip

    data = _image(0, copies=20) + gzip.compress(wkt_descriptors()[0])
    finds, _ = finds_with_notes(data)
    assert isinstance(finds, list) and any(row[19] for row in finds)  # layers


def _outputs(report: FileReport | ScannedFile, binary: bool) -> list[str]:
    """Every output form of one input, written to a text stream (over a
    binary one, or not)."""
    forms: list[Callable[[IO[str]], object]] = [
        lambda out: write_document([report], Summary(), out),
        lambda out: write_jsonl(report, FoundText(), out),
        lambda out: write_listing(report, True, out),
        lambda out: write_listing(implausible_part(report) or report, False, out),
    ]
    texts = []
    for write in forms:
        out = io.TextIOWrapper(io.BytesIO(), encoding="utf-8") if binary else None
        text = io.StringIO() if out is None else out
        write(text)
        text.flush()
        if out is None:
            texts.append(text.getvalue())
        else:
            texts.append(out.buffer.getvalue().decode("utf-8"))  # type: ignore[attr-defined]
    summary = Summary()
    summary.add(report)
    texts[0] = texts[0].split('"seconds"')[0]
    return [*texts, repr(summary.as_json() | {"seconds": 0})]


@pytest.mark.parametrize("seed", IMAGES)
@pytest.mark.parametrize("binary", [False, True])
def test_output_from_columns_is_the_output_of_the_report(
    seed: int, binary: bool
) -> None:
    data = _image(seed)
    columns, notes = finds_with_notes(data)
    path = "dir/im\udcffage\t.bin"
    scanned = ScannedFile(path, len(data), columns, notes=notes, kept=True)
    report = scanned.report()
    assert report.found and not all(f.plausible for f in report.found)
    assert _outputs(scanned, binary) == _outputs(report, binary=False)


Q8 = array.array("q", [0]).tobytes()
GOOD = (Q8, Q8, b"\x00", array.array("I", [0]).tobytes())
RESTS = (b"xy", array.array("q", [0, 1, 2]).tobytes())


@pytest.mark.parametrize(
    ("arguments", "error"),
    [
        ((Q8 * 2, *GOOD[1:], *RESTS), ValueError),  # unequal columns
        ((*GOOD[:3], array.array("I", [1]).tobytes(), *RESTS), ValueError),
        ((Q8[:5], *GOOD[1:], *RESTS), ValueError),  # a cut column
        (("text", *GOOD[1:], *RESTS), TypeError),
        ((*GOOD, b"xy", array.array("q", [0, 1]).tobytes()), ValueError),
        ((*GOOD, b"xy", array.array("q", [0, 2, 1]).tobytes()), ValueError),
        ((*GOOD, b"xy", array.array("q", [0, 1, 3]).tobytes()), ValueError),
        ((*GOOD, b"xy", array.array("q", [-1, 1, 2]).tobytes()), ValueError),
    ],
)
def test_join_refuses_what_frame_never_gives(
    arguments: tuple[object, ...], error: type[Exception]
) -> None:
    with pytest.raises(error):
        _plain.join(*arguments, b"", None, b"", False, 0, 1)  # type: ignore[arg-type]


@pytest.mark.parametrize(("at", "stop"), [(1, 0), (0, 2), (-1, 1)])
def test_join_refuses_finds_it_does_not_have(at: int, stop: int) -> None:
    with pytest.raises(ValueError):
        _plain.join(*GOOD, *RESTS, b"", None, b"", False, at, stop)


def test_join_writes_each_find_and_leaves_out_empty_rests() -> None:
    starts = array.array("q", [0, 255, 7])
    ends = array.array("q", [5, 300, 9])
    ids = array.array("I", [0, 1, 0])
    rests = [b"A", b"", b"a", b"b"]  # ids 0, 1 unmarked; ids 0, 1 marked
    bounds = array.array("q", [0, 1, 1, 2, 3])
    blob = b"".join(rests)
    got = _plain.join(
        starts, ends, b"\0\0\1", ids, blob, bounds, b"<", b"-", b";", False, 0, 3
    )
    assert got == b"<0-5A;<7-9a"
    got = _plain.join(
        starts, ends, b"\0\1\1", ids, blob, bounds, b"", None, b"", True, 0, 3
    )
    assert got == b"0x0A0xffb0x7a"


@pytest.mark.parametrize(
    ("ranges", "error"),
    [
        ([(0, 9)], ValueError),
        ([(3, 2)], ValueError),
        ([(-1, 2)], ValueError),
        ([(0,)], TypeError),
        (5, TypeError),
    ],
)
def test_frame_refuses_ranges_outside_the_buffer(
    ranges: object, error: type[Exception]
) -> None:
    with pytest.raises(error):
        _plain.frame(b"12345678", ranges)  # type: ignore[arg-type]


def test_facts_taken_in_forked_parts_are_the_same(
    monkeypatch: pytest.MonkeyPatch,
) -> None:
    data = _image(1)
    alone, _ = finds_with_notes(data)
    monkeypatch.setattr(finding, "FACTS_PER_PART", 2)
    shared, _ = finds_with_notes(data, threads=3)
    assert isinstance(alone, PlainFinds) and isinstance(shared, PlainFinds)
    assert len(alone.facts) >= 6 and shared.facts == alone.facts


@pytest.mark.parametrize("threads", [0, -1, 1025])
def test_frame_refuses_a_number_of_threads_out_of_range(threads: int) -> None:
    with pytest.raises(ValueError):
        _plain.frame(b"12345678", [], threads)
