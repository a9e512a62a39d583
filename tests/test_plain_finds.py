"""An input that holds only plain descriptors: its finds come as columns,
framed natively, and the scan's output is made from them without making
the finds, byte for byte as from the report."""

from __future__ import annotations

import array
import io
import random

import pytest
import ravick_lib

from descriptors import file_descriptor, wkt_descriptors
from ravick import _plain, finding
from ravick.finding import PlainFinds, finds_with_notes, rows_of
from ravick.inputs import FileReport, ScannedFile
from ravick.json_text import FoundText, write_document, write_jsonl
from ravick.layers.framing import framed
from ravick.reporting import Summary, implausible_part, listing

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
            out += b"\x0a" + _varint(len(d)) + d + SYNTAX
        else:
            out += d
        out += rng.randbytes(rng.choice([0, 0, 3, 40]))
    return bytes(out)


def _varint(n: int) -> bytes:
    out = bytearray()
    while n >= 0x80:
        out.append(n & 0x7F | 0x80)
        n >>= 7
    return bytes([*out, n])


IMAGES = [pytest.param(seed, id=f"seed{seed}") for seed in range(4)]


@pytest.mark.parametrize("seed", IMAGES)
def test_native_framing_is_the_layers_framing(seed: int) -> None:
    data = _image(seed)
    ranges = ravick_lib.scan(data)
    want = framed(data, ranges)
    starts, ends, in_set, ids, firsts = _plain.frame(data, ranges)
    got = list(zip(array.array("q", starts), array.array("q", ends), in_set, strict=False))
    assert got == [(s, e, int(m)) for s, e, m in want]
    numbers: dict[bytes, int] = {}
    for s, e, _ in want:
        numbers.setdefault(data[s:e], len(numbers))
    assert list(array.array("I", ids)) == [numbers[data[s:e]] for s, e, _ in want]
    assert [want[k][:2] for k in firsts] == [
        next((s, e) for s, e, _ in want if data[s:e] == b) for b in numbers
    ]
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


def _outputs(scanned: ScannedFile) -> list[str]:
    """Every output form of one scanned input."""
    texts = FoundText()
    document, lines = io.StringIO(), io.StringIO()
    write_document([scanned], Summary(), document)
    write_jsonl(scanned, texts, lines)
    summary = Summary()
    summary.add(scanned)
    part = implausible_part(scanned)
    return [
        document.getvalue().split('"seconds"')[0],
        lines.getvalue(),
        "".join(listing(scanned, plausible=True)),
        "" if part is None else "".join(listing(part, plausible=False)),
        repr(summary.as_json() | {"seconds": 0}),
    ]


@pytest.mark.parametrize("seed", IMAGES)
def test_output_from_columns_is_the_output_of_the_report(seed: int) -> None:
    data = _image(seed)
    columns, notes = finds_with_notes(data)
    path = "dir/im\udcffage\t.bin"
    scanned = ScannedFile(path, len(data), columns, notes=notes, kept=True)
    report = scanned.report()
    assert report.found and not all(f.plausible for f in report.found)
    assert _outputs(scanned) == [
        *_outputs_of_report(report),
    ]


def _outputs_of_report(report: FileReport) -> list[str]:
    texts = FoundText()
    document, lines = io.StringIO(), io.StringIO()
    write_document([report], Summary(), document)
    write_jsonl(report, texts, lines)
    summary = Summary()
    summary.add(report)
    part = implausible_part(report)
    return [
        document.getvalue().split('"seconds"')[0],
        lines.getvalue(),
        "".join(listing(report, plausible=True)),
        "" if part is None else "".join(listing(part, plausible=False)),
        repr(summary.as_json() | {"seconds": 0}),
    ]


Q8 = array.array("q", [0]).tobytes()
I1 = array.array("I", [1]).tobytes()
GOOD = (Q8, Q8, b"\x00", array.array("I", [0]).tobytes())


@pytest.mark.parametrize(
    ("arguments", "error"),
    [
        ((Q8 * 2, Q8, b"\x00", GOOD[3]), ValueError),  # unequal columns
        ((Q8, Q8, b"\x00", I1), ValueError),  # an id without a rest
        ((Q8[:5], Q8, b"\x00", GOOD[3]), ValueError),  # a cut column
        (("text", Q8, b"\x00", GOOD[3]), TypeError),
    ],
)
def test_join_refuses_what_frame_never_gives(
    arguments: tuple[object, ...], error: type[Exception]
) -> None:
    with pytest.raises(error):
        _plain.join(*arguments, ([b"x"], [b"y"]), b"", None, b"", False, 0, 1)  # type: ignore[arg-type]


@pytest.mark.parametrize(
    ("rests", "at", "stop", "error"),
    [
        (([b"x"],), 0, 1, ValueError),
        (([1], [b"y"]), 0, 1, TypeError),
        (([b"x"], [b"y"]), 1, 0, ValueError),
        (([b"x"], [b"y"]), 0, 2, ValueError),
    ],
)
def test_join_refuses_bad_rests_and_bounds(
    rests: object, at: int, stop: int, error: type[Exception]
) -> None:
    with pytest.raises(error):
        _plain.join(*GOOD, rests, b"", None, b"", False, at, stop)  # type: ignore[arg-type]


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
