"""One buffer scanned in parts on several threads gives exactly the ranges of
one scan of the whole buffer: descriptors across every part boundary, back to
back and nested, and the rule that the next search starts where an accepted
range ends."""

from __future__ import annotations

import mmap
import random

import pytest
import ravick_lib
from google.protobuf import descriptor_pb2, timestamp_pb2

import ravick
from ravick import split_scan
from ravick.finding import find_with_notes
from test_package_find import noise

TIMESTAMP = timestamp_pb2.DESCRIPTOR.serialized_pb
DESCRIPTOR = descriptor_pb2.DESCRIPTOR.serialized_pb


def nesting() -> bytes:
    """A descriptor holding another one whole in a string option (its bytes
    are all ASCII), so a part that starts inside it finds the inner one."""
    inner = descriptor_pb2.FileDescriptorProto(name="inner/i.proto", package="i")
    inner.message_type.add(name="I").field.add(name="x", number=1, type=5, label=1)
    outer = descriptor_pb2.FileDescriptorProto(name="outer/o.proto", package="o")
    outer.options.java_package = inner.SerializeToString().decode("ascii")
    outer.message_type.add(name="O")
    return outer.SerializeToString()


def dense(seed: int) -> bytes:
    """Descriptors back to back, nested, and apart, with noise between."""
    rng = random.Random(seed)
    pieces = []
    for _ in range(30):
        pieces.append(rng.choice([TIMESTAMP, DESCRIPTOR, nesting()]))
        if rng.random() < 0.5:
            pieces.append(noise(rng.randrange(0, 300), rng.randrange(1 << 30)))
    return b"".join(pieces)


@pytest.mark.parametrize("seed", range(4))
@pytest.mark.parametrize("threads", [2, 3, 7, 16])
def test_parts_give_the_ranges_of_one_scan(seed, threads):
    data = dense(seed)
    whole = ravick_lib.scan(data)
    assert len(whole) >= 20
    # Every shift moves the part boundaries across the descriptors.
    for shift in range(0, 400, 13):
        shifted = b"\0" * shift + data
        expected = [(s + shift, e + shift) for s, e in whole]
        got = split_scan.scan_in_parts(shifted, threads, min_part=1)
        assert got == expected, (shift, threads)


def test_a_part_inside_an_accepted_range_realigns(monkeypatch):
    data = noise(50, 1) + nesting() + noise(50, 2) + TIMESTAMP
    realigned = []
    original = split_scan._realigned
    monkeypatch.setattr(
        split_scan,
        "_realigned",
        lambda *args: realigned.append(args[1]) or original(*args),
    )
    monkeypatch.setattr(split_scan, "WINDOW", 64)  # realign window by window
    got = split_scan.scan_in_parts(data, 4, min_part=1)
    assert got == ravick_lib.scan(data)
    assert realigned  # the nested descriptor's part began inside the outer one


@pytest.mark.parametrize(
    "kind",
    [bytes, bytearray, memoryview, "mmap"],
    ids=["bytes", "bytearray", "view", "mmap"],
)
def test_any_contiguous_buffer_scans_alike(tmp_path, kind):
    data = dense(9)
    if kind == "mmap":
        path = tmp_path / "image.bin"
        path.write_bytes(data)
        with open(path, "rb") as f, mmap.mmap(f.fileno(), 0, prot=mmap.PROT_READ) as m:
            assert split_scan.scan_in_parts(m, 3, min_part=1) == ravick_lib.scan(data)
            assert ravick_lib.scan_range(m) == ravick_lib.scan(data)
        return
    buffer = kind(data)
    assert ravick_lib.scan_range(buffer) == ravick_lib.scan(data)


@pytest.mark.parametrize(
    ("start", "end", "error"),
    [(-1, None, ValueError), (5, 4, ValueError), (0, 1 << 40, ValueError),
     (0, "x", TypeError), ("0", None, TypeError)],
)  # fmt: skip
def test_range_arguments_are_checked(start, end, error):
    from ravick import _signatures

    with pytest.raises(error):
        ravick_lib.scan_range(TIMESTAMP, start, end)
    with pytest.raises(error):
        _signatures.find(TIMESTAMP, 10, start, end)


def test_threads_change_nothing_in_real_binaries(monkeypatch):
    from test_extract import fetched

    monkeypatch.setattr(split_scan, "MIN_PART", 1 << 16)
    for path in fetched("fetch_binaries.sh")[:6] + fetched("fetch_go_programs.sh")[:1]:
        with open(path, "rb") as f:
            data = f.read()
        assert find_with_notes(data, threads=4) == find_with_notes(data), path


def test_one_large_file_is_scanned_on_the_threads_asked(tmp_path, monkeypatch):
    asked = []
    original = split_scan.scan_in_parts
    monkeypatch.setattr(
        "ravick.finding.scan_in_parts",
        lambda data, threads, **kw: asked.append(threads)
        or original(data, threads, 1, **kw),
    )
    (tmp_path / "image.bin").write_bytes(dense(3))
    (report,) = ravick.find_in_paths([str(tmp_path / "image.bin")], workers=3)
    assert asked == [3] and len(report.found) >= 20
    asked.clear()
    list(ravick.find_in_paths([str(tmp_path / "image.bin")], workers=1))
    assert asked == [1]


def signature_soup(seed: int) -> bytes:
    """Every kind of signature, many times over, with noise between."""
    import gzip
    import zlib

    rng = random.Random(seed)
    kinds = [
        gzip.compress(TIMESTAMP),
        zlib.compress(TIMESTAMP),
        b"\x28\xb5\x2f\xfd",
        b"\x04\x22\x4d\x18",
        b"XALZ",
        b"BZh91AY&SY",
        b"PK\x05\x06",
        b"CgdhLnByb3Rv",
        "CgdhLnByb3Rv".encode("utf-16-le"),
    ]
    return b"".join(rng.choice(kinds) + rng.randbytes(40) for _ in range(3000))


@pytest.mark.parametrize(
    ("threads", "min_part", "max_hits"),
    [(2, 1 << 10, 100_000), (3, 1 << 12, 100_000), (4, 1 << 10, 50), (5, 1, 7)],
)
def test_signatures_in_parts_are_the_whole_searchs(threads, min_part, max_hits):
    from ravick import _signatures

    for data in (signature_soup(1), signature_soup(2)[:-5], dense(4)):
        whole = _signatures.find(data, max_hits)
        parts = split_scan.signatures_in_parts(data, threads, max_hits, min_part)
        assert parts == whole
    capped = _signatures.find(signature_soup(1), max_hits)[1]
    assert any(capped) == (max_hits < 100)


def with_holes(seed: int) -> tuple[bytes, list[tuple[int, int]]]:
    """Dense data and signatures in pieces with runs of zeros between them
    (a sparse file's holes, some shorter than a descriptor), and the spans
    around the pieces, some wider than their piece."""
    rng = random.Random(seed)
    out, spans = bytearray(), []
    for k in range(12):
        piece = dense(seed * 100 + k) if k % 2 else signature_soup(k)[:9000]
        piece = piece[rng.randrange(0, 50) :]  # cut into a descriptor
        gap = rng.choice([0, 1, 7, 300, 5000])
        out += bytes(gap)
        start = len(out)
        out += piece
        spans.append((start - rng.randrange(0, gap + 1), len(out)))
    out += bytes(rng.choice([0, 900]))
    return bytes(out), spans


@pytest.mark.parametrize("seed", range(3))
@pytest.mark.parametrize(("threads", "max_hits"), [(1, 100_000), (2, 100_000), (3, 9)])
def test_the_spans_around_all_but_zeros_give_the_whole_results(
    seed, threads, max_hits
):
    from ravick import _signatures

    data, spans = with_holes(seed)
    seen = []
    got = split_scan.scan_in_parts(
        data, threads, min_part=1, piece=4096, extents=spans, on_scanned=seen.append
    )
    assert got == ravick_lib.scan(data)
    assert seen == sorted(seen) and seen[-1] == len(data)
    found = split_scan.signatures_in_parts(data, threads, max_hits, 1, extents=spans)
    assert found == _signatures.find(data, max_hits)


@pytest.mark.parametrize("extents", [[], [(0, 0)], [(5, 5), (9, 9)]])
def test_spans_that_hold_nothing_find_nothing(extents):
    data = bytes(100_000)
    assert split_scan.scan_in_parts(data, 2, min_part=1, extents=extents) == []
    hits, dropped = split_scan.signatures_in_parts(data, 2, 10, 1, extents=extents)
    assert hits == [] and not any(dropped)
