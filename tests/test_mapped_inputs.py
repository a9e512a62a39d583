"""Large inputs: files mapped instead of read, a file cut short while it is
scanned, memory that does not grow with the input, progress within a file."""

from __future__ import annotations

import gzip
import itertools
import os
import pathlib
import resource
import subprocess
import sys

import pytest
from google.protobuf import descriptor_pb2, timestamp_pb2

from ravick import inputs, reading, split_scan
from ravick.inputs import Target, scan_in_worker, scan_target
from ravick.scan_plan import batches
from ravick.workers import ByteSlots

TIMESTAMP = timestamp_pb2.DESCRIPTOR.serialized_pb
DESCRIPTOR = descriptor_pb2.DESCRIPTOR.serialized_pb


def sparse_image(path: pathlib.Path, size: int) -> pathlib.Path:
    """A file of ``size`` bytes, holes but for a plain descriptor near each
    end and a gzipped one in the middle."""
    with open(path, "wb") as f:
        f.truncate(size)
        for at, data in [
            (7, TIMESTAMP),
            (size // 3, gzip.compress(DESCRIPTOR, mtime=0)),
            (size - 4096, TIMESTAMP),
        ]:
            f.seek(at)
            f.write(data)
    return path


def test_mapped_files_give_what_read_files_gave(monkeypatch):
    from test_extract import fetched

    paths = fetched("fetch_binaries.sh") + fetched("fetch_go_programs.sh")[:2]
    found = 0
    for path in paths:
        target = Target(path, os.path.getsize(path))
        monkeypatch.setattr(reading, "MAP_FROM", 1 << 62)
        read = scan_target(target)
        monkeypatch.setattr(reading, "MAP_FROM", 1)
        assert scan_target(target, threads=2) == read, path
        found += len(read.found)
    assert found > 400


def test_a_report_sent_from_a_worker_arrives_as_scanned_here():
    # Finds travel as the values of their fields, in the order the finder
    # gives them: a field out of place would arrive in another's slot.
    import dataclasses
    import pickle

    from ravick import inputs
    from ravick.finding import Found
    from test_extract import fetched

    assert [f.name for f in dataclasses.fields(Found)] == [
        *("start", "end", "size", "name", "package", "syntax", "edition", "sha256"),
        *("compression", "inner_start", "inner_end", "plausible", "doubt"),
        *("messages", "enums", "services", "extensions", "dependencies"),
        *("truncated", "layers", "stripped", "address", "section", "data"),
    ]
    paths = fetched("fetch_binaries.sh") + fetched("fetch_go_programs.sh")[:1]
    arrived = []
    for path in paths:
        target = Target(path, os.path.getsize(path))
        here = scan_target(target)
        sent = pickle.loads(pickle.dumps(inputs._scanned(target, None, 1, None)))
        assert sent == here, path
        assert [f.data for f in sent.found] == [f.data for f in here.found]
        arrived += sent.found
    assert len(arrived) > 400 and any(f.layers for f in arrived)
    assert all(f.address is not None for f in arrived)


SCAN_WITH_A_HOOK = """
import os, signal, sys
import ravick
from ravick import inputs

victim, action = sys.argv[1], sys.argv[2]
original = inputs.finds_with_notes

def hooked(data, **options):
    if len(data) == os.path.getsize(victim) and data[:1] == b"V":
        if action == "truncate":
            os.truncate(victim, 4096)
        else:
            os.kill(os.getpid(), signal.SIGKILL)
    return original(data, **options)

inputs.finds_with_notes = hooked
for r in ravick.find_in_paths(sys.argv[4:], workers=int(sys.argv[3])):
    print(os.path.basename(r.path), r.error, len(r.found))
"""


@pytest.mark.parametrize("workers", [1, 2])
@pytest.mark.parametrize(
    ("action", "error"),
    [
        ("truncate", "changed while it was scanned (50331648 bytes, now 4096)"),
        ("kill", "the process scanning it died"),
    ],
)
def test_a_file_that_ends_its_scan_ends_only_its_own(tmp_path, workers, action, error):
    victim = sparse_image(tmp_path / "b-victim.img", 48 << 20)
    with open(victim, "r+b") as f:
        f.write(b"V")
    sparse_image(tmp_path / "c-large.img", 24 << 20)
    (tmp_path / "a-small.bin").write_bytes(b"x" + TIMESTAMP)
    (tmp_path / "d-small.bin").write_bytes(b"y" + DESCRIPTOR)
    run = [sys.executable, "-c", SCAN_WITH_A_HOOK, str(victim), action, str(workers)]
    proc = subprocess.run(
        [*run, str(tmp_path)], capture_output=True, text=True, timeout=300
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines() == [
        "a-small.bin None 1",
        f"b-victim.img {error} 0",
        "c-large.img None 3",
        "d-small.bin None 1",
    ]


def test_a_small_file_that_kills_its_worker_ends_only_its_own_scan(tmp_path):
    """Small files go to the workers in batches; the batch a worker died in
    is scanned again one file at a time, and only the file that kills a
    worker alone is reported."""
    for k in range(12):
        head = b"V" if k == 5 else b"x"
        (tmp_path / f"f{k:02d}.bin").write_bytes(head + TIMESTAMP + bytes(k))
    victim = tmp_path / "f05.bin"
    run = [sys.executable, "-c", SCAN_WITH_A_HOOK, str(victim), "kill", "2"]
    proc = subprocess.run(
        [*run, str(tmp_path)], capture_output=True, text=True, timeout=300
    )
    assert proc.returncode == 0, proc.stderr
    expected = [f"f{k:02d}.bin None 1" for k in range(12)]
    expected[5] = "f05.bin the process scanning it died 0"
    assert proc.stdout.splitlines() == expected


def _target(size: int, path: str = "f") -> Target:
    return Target(path, size)


@pytest.mark.parametrize(
    ("sizes", "pooled", "expected"),
    [
        # Small files together, up to BATCH_FILES of them.
        ([10] * 70, True, [32, 32, 6]),
        # Up to BATCH_BYTES in all; a file of that size or more alone.
        ([600 << 10, 500 << 10, 1 << 20, 10], True, [1, 1, 1, 1]),
        ([300 << 10] * 4, True, [3, 1]),
        # A large file breaks a run; what is not pooled goes alone.
        ([10, 10, 9 << 20, 10], True, [2, 1, 1]),
        ([10] * 5, False, [1] * 5),
    ],
)
def test_batches_keep_order_and_their_limits(sizes, pooled, expected):
    targets = [_target(size, f"f{k}") for k, size in enumerate(sizes)]
    made = batches(targets, lambda _: pooled)
    assert [len(b) for b in made] == expected
    assert [t for b in made for t in b] == targets


def test_memory_does_not_grow_with_the_input(tmp_path):
    image = sparse_image(tmp_path / "image.bin", 1 << 30)

    def limit_memory() -> None:
        # Heap and anonymous mappings only; a mapped file is not counted.
        resource.setrlimit(resource.RLIMIT_DATA, (320 << 20, 320 << 20))

    proc = subprocess.run(
        [sys.executable, "-m", "ravick", "scan", "-j", "2", str(image)],
        capture_output=True,
        text=True,
        timeout=300,
        preexec_fn=limit_memory,
    )
    assert proc.returncode == 0, proc.stderr
    assert "3 descriptors (2 distinct, 0 implausible, 1 compressed)" in proc.stdout


def test_a_terabyte_sparse_file_is_mapped_not_read(tmp_path):
    path = tmp_path / "huge.img"
    with open(path, "wb") as f:
        f.truncate(1 << 40)
        f.seek((1 << 40) - len(TIMESTAMP))
        f.write(TIMESTAMP)
    with reading.regular_file(str(path)) as data:
        assert len(data) == 1 << 40
        assert data[-len(TIMESTAMP) :] == TIMESTAMP


def test_a_file_that_claims_a_size_it_cannot_map_is_an_error(monkeypatch):
    # sysfs attributes say 4096 bytes and cannot be mapped.
    path = "/sys/devices/system/cpu/online"
    monkeypatch.setattr(reading, "MAP_FROM", 1)
    report = scan_target(Target(path, os.path.getsize(path)))
    assert report.error is not None and report.error.startswith("cannot be mapped")


def test_a_scan_records_its_progress_within_the_file(tmp_path, monkeypatch):
    image = sparse_image(tmp_path / "image.bin", 40 << 20)
    monkeypatch.setattr(inputs, "SPARSE_FROM", 1 << 62)  # every byte scanned
    monkeypatch.setattr(split_scan, "PIECE", 1 << 20)
    seen = []
    original = split_scan.ravick_lib.scan_range
    slots = ByteSlots(2)
    try:
        slot = slots.take()
        assert slot is not None

        def spying(data, start=0, end=None):
            seen.append(slots.total())
            return original(data, start, len(data) if end is None else end)

        monkeypatch.setattr(split_scan.ravick_lib, "scan_range", spying)
        report = scan_in_worker(
            Target(str(image), 40 << 20), None, 1, (slots.name, slot)
        )
        assert len(report.found) == 3
        assert seen == sorted(seen) and seen[0] == 0 and seen[-1] > 30 << 20
        assert slots.total() == 40 << 20
        slots.give_back(slot)
        assert slots.total() == 0
    finally:
        slots.close()


MB = 1 << 20


def written(path: pathlib.Path, size: int, writes: list[tuple[int, bytes]]) -> str:
    with open(path, "wb") as f:
        f.truncate(size)
        for at, data in writes:
            f.seek(at)
            f.write(data)
    return str(path)


def test_holes_are_left_out_where_the_file_system_says(tmp_path, monkeypatch):
    # The second hole is shorter than MIN_HOLE: its zeros are scanned.
    writes = [(0, b"a" * 10), (3 * MB, b"b"), (3 * MB + 200_000, b"c"), (9 * MB - 1, b"d")]
    path = written(tmp_path / "holes.bin", 12 * MB, writes)
    spans = reading.data_extents(path, 12 * MB)
    assert spans is not None and len(spans) == 3, spans
    for at, data in writes:
        assert any(s <= at and at + len(data) <= e for s, e in spans)
    gaps = [s - e for (_, e), (s, _) in itertools.pairwise(spans)]
    assert min(gaps) >= reading.MIN_HOLE
    assert sum(e - s for s, e in spans) < MB
    monkeypatch.setattr(reading, "MAX_EXTENTS", 2)  # the rest counts as data
    assert reading.data_extents(path, 12 * MB)[-1][1] == 12 * MB
    full = tmp_path / "full.bin"
    full.write_bytes(b"x" * (5 * MB))
    assert reading.data_extents(str(full), 5 * MB) is None
    assert reading.data_extents(written(tmp_path / "none.bin", 9 * MB, []), 9 * MB) == []


def test_a_sparse_image_gives_what_a_scan_of_every_byte_gave(tmp_path, monkeypatch):
    packed = gzip.compress(DESCRIPTOR, mtime=0)
    # Descriptors and a stream against the holes' edges, on both sides.
    path = written(
        tmp_path / "image.bin",
        64 * MB,
        [
            (4 * MB - len(TIMESTAMP), TIMESTAMP),
            (20 * MB, packed + TIMESTAMP),
            (40 * MB - len(packed), packed),
            (64 * MB - len(DESCRIPTOR), DESCRIPTOR),
        ],
    )
    target = Target(path, 64 * MB)
    scanned = []
    original = split_scan.ravick_lib.scan_range

    def spying(data, start=0, end=None):
        end = len(data) if end is None else end
        scanned.append(end - start)
        return original(data, start, end)

    monkeypatch.setattr(split_scan.ravick_lib, "scan_range", spying)
    for threads in (1, 2):
        sparse = scan_target(target, threads=threads)
        assert sum(scanned) < 2 * MB and len(sparse.found) == 5
        monkeypatch.setattr(inputs, "data_extents", lambda path, size: None)
        assert scan_target(target, threads=threads) == sparse
        monkeypatch.undo()
        monkeypatch.setattr(split_scan.ravick_lib, "scan_range", spying)
        scanned.clear()
