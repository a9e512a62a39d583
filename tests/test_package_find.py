"""ravick.find and ravick.find_in_paths on built inputs: plain and gzip
descriptors, caps on inflation, plausibility, inputs that must not be read."""

import gzip
import io
import multiprocessing
import os
import random
import signal
import sys
import tempfile
import threading
import time
import zlib
from concurrent.futures import ProcessPoolExecutor, ThreadPoolExecutor

import pytest
import ravick_lib
from google.protobuf import descriptor_pb2, timestamp_pb2

import ravick
from descriptors import googleapis_descriptors, wkt_descriptors
from ravick import reading
from ravick.finding import find_with_notes
from ravick.inputs import NOT_FOLLOWED, gather, scan_target
from ravick.plausibility import doubt_about
from ravick.workers import close_pool, interrupts_held

DESCRIPTOR = descriptor_pb2.DESCRIPTOR.serialized_pb
TIMESTAMP = timestamp_pb2.DESCRIPTOR.serialized_pb


def noise(n: int, seed: int = 1) -> bytes:
    return random.Random(seed).randbytes(n)


def embed(*parts: bytes) -> bytes:
    """The parts with random bytes and a terminating 0x00 around each."""
    out = [noise(200, 0)]
    for k, part in enumerate(parts):
        out += [part, b"\x00" + noise(150, k + 1)]
    return b"".join(out)


def test_plain_results_are_the_scan_ranges(descriptor_blob):
    data, _ = descriptor_blob
    found = ravick.find(data)
    assert [(f.start, f.end) for f in found] == ravick_lib.scan(data)
    for f in found:
        assert f.data == data[f.start : f.end] and f.size == f.end - f.start
        assert f.descriptor().SerializeToString() == f.data
        assert (f.compression, f.inner_start, f.truncated) == (None, None, False)
    assert [f.name for f in found] == [
        "google/protobuf/timestamp.proto",
        "google/protobuf/descriptor.proto",
    ]


@pytest.mark.parametrize(
    ("fields", "syntax", "edition"),
    [
        ({}, "proto2", None),
        ({"syntax": "proto2"}, "proto2", None),
        ({"syntax": "proto3"}, "proto3", None),
        (
            {"syntax": "editions", "edition": descriptor_pb2.EDITION_2023},
            "editions",
            "2023",
        ),
        (
            {"syntax": "editions", "edition": descriptor_pb2.EDITION_2024},
            "editions",
            "2024",
        ),
    ],
)
def test_syntax_and_edition(fields, syntax, edition):
    fd = descriptor_pb2.FileDescriptorProto(name="a/b.proto", package="p.q", **fields)
    fd.message_type.add(name="M")
    (found,) = ravick.find(embed(fd.SerializeToString()))
    assert (found.syntax, found.edition, found.package) == (syntax, edition, "p.q")
    assert (found.messages, found.enums, found.services) == (1, 0, 0)


def test_gzip_streams_are_inflated_and_scanned():
    streams = [
        gzip.compress(DESCRIPTOR),
        gzip.compress(TIMESTAMP + b"\x00" + DESCRIPTOR),
    ]
    data = embed(TIMESTAMP, streams[0], streams[1])
    found = ravick.find(data)
    assert [(f.name, f.compression) for f in found] == [
        ("google/protobuf/timestamp.proto", None),
        ("google/protobuf/descriptor.proto", "gzip"),
        ("google/protobuf/timestamp.proto", "gzip"),
        ("google/protobuf/descriptor.proto", "gzip"),
    ]
    assert [f.start for f in found] == sorted(f.start for f in found)
    for f, stream in zip(found[1:3], streams, strict=True):
        assert data[f.start : f.end] == stream
    inner = found[3]
    assert (inner.inner_start, inner.inner_end) == (
        len(TIMESTAMP) + 1,
        len(TIMESTAMP) + 1 + len(DESCRIPTOR),
    )
    assert inner.data == DESCRIPTOR and not inner.truncated


@pytest.mark.parametrize(
    "stream",
    [
        pytest.param(gzip.compress(b"no descriptor here" * 100), id="no-descriptor"),
        pytest.param(b"\x1f\x8b\x08" + noise(500), id="garbage-header"),
        pytest.param(b"\x1f\x8b\x08", id="bare-magic"),
        pytest.param(gzip.compress(DESCRIPTOR)[:12], id="cut-in-header"),
    ],
)
def test_streams_without_descriptors_are_ignored(stream):
    findings = find_with_notes(embed(stream))
    assert findings.found == () and findings.notes == ()


def test_cut_stream_still_gives_what_inflated():
    stream = gzip.compress(TIMESTAMP + b"\x00" + noise(200_000) + DESCRIPTOR)
    data = noise(100) + stream[: len(stream) // 2]
    (found,) = ravick.find(data)
    assert found.name == "google/protobuf/timestamp.proto" and found.truncated
    assert found.end == len(data)


def test_bomb_is_capped_and_noted():
    bomb = gzip.compress(TIMESTAMP + b"\x00" * (32 << 20) + DESCRIPTOR)
    findings = find_with_notes(embed(bomb), max_inflate=1 << 20)
    assert [f.name for f in findings.found] == ["google/protobuf/timestamp.proto"]
    assert findings.found[0].truncated
    assert any("cut after 1048576 inflated bytes" in n for n in findings.notes)


def test_total_inflation_budget():
    stream = gzip.compress(TIMESTAMP + b"\x00" * 100_000)
    findings = find_with_notes(
        embed(*[stream] * 5), max_inflate=1 << 20, max_inflate_total=250_000
    )
    assert [f.truncated for f in findings.found] == [False, False, True]
    # The third stream is cut where the budget ends, never past it.
    assert findings.notes == (
        f"gzip stream at {0x472:#x} cut after {250_000 - 2 * 100_255} inflated bytes",
        "streams and members past offset 0x647 not inflated: 250000 bytes decoded "
        "in all",
    )


def test_zlib_streams_are_their_own_layer_and_raw_deflate_is_not_one():
    (found,) = ravick.find(embed(zlib.compress(DESCRIPTOR)))
    assert found.compression == "zlib" and found.layers == ("zlib",)
    packer = zlib.compressobj(wbits=-15)
    raw = packer.compress(DESCRIPTOR) + packer.flush()
    assert ravick.find(embed(raw)) == []


def real_descriptors() -> list[descriptor_pb2.FileDescriptorProto]:
    blobs = wkt_descriptors() + googleapis_descriptors()
    return [descriptor_pb2.FileDescriptorProto.FromString(b) for b in blobs]


def test_compiler_output_is_plausible():
    for fd in real_descriptors():
        assert doubt_about(fd) is None, fd.name


def _with(change):
    fd = descriptor_pb2.FileDescriptorProto(name="a/b.proto", package="p")
    m = fd.message_type.add(name="M")
    m.field.add(name="f", number=1, type_name=".p.M")
    fd.service.add(name="S").method.add(
        name="Get", input_type=".p.M", output_type=".p.M"
    )
    change(fd)
    return fd


@pytest.mark.parametrize(
    ("change", "doubt"),
    [
        (
            lambda fd: setattr(fd, "name", "deprecation$private com.google.proto"),
            "is not a relative .proto path",
        ),
        (lambda fd: setattr(fd, "name", "/abs/x.proto"), "is not a relative"),
        (lambda fd: setattr(fd, "name", "a/../x.proto"), "is not a relative"),
        (lambda fd: setattr(fd, "name", ".proto"), "is not a relative"),
        (lambda fd: setattr(fd, "package", "a..b"), "package 'a..b'"),
        (lambda fd: setattr(fd, "package", "1a"), "package '1a'"),
        (lambda fd: setattr(fd, "syntax", "proto4"), "syntax 'proto4'"),
        (lambda fd: fd.dependency.append("x.h"), "dependency 'x.h'"),
        (
            lambda fd: fd.option_dependency.append("mod.sub_pb2"),
            "option dependency 'mod.sub_pb2'",
        ),
        (lambda fd: setattr(fd.message_type[0], "name", "a b"), "message name"),
        (lambda fd: setattr(fd.message_type[0].field[0], "name", "f-g"), "field name"),
        (
            lambda fd: setattr(fd.message_type[0].field[0], "type_name", ".p..M"),
            "field type",
        ),
        (
            lambda fd: setattr(fd.service[0].method[0], "input_type", "p M"),
            "method input type",
        ),
        (lambda fd: fd.enum_type.add(name="E").value.add(name="1X"), "enum value name"),
        (lambda fd: setattr(fd, "syntax", "Editions"), "syntax 'Editions'"),
        (lambda fd: _extension(fd, ".p M"), "extendee '.p M'"),
        (lambda fd: fd.message_type[0].oneof_decl.add(name="o-o"), "oneof name"),
        (lambda fd: fd.service.add(name="S T"), "service name"),
        (
            lambda fd: setattr(fd.service[0].method[0], "output_type", ".p."),
            "method output type",
        ),
    ],
)
def test_implausible_runs(change, doubt):
    fd = _with(change)
    assert doubt in (doubt_about(fd) or "")
    found = ravick.find(embed(fd.SerializeToString()))
    # The scanner itself refuses some of these names; those it passes must
    # come out marked.
    assert all(not f.plausible and doubt in (f.doubt or "") for f in found)
    assert found or fd.name in ("/abs/x.proto", "a/../x.proto")


def _extension(fd, extendee):
    fd.extension.add(name="x", number=100, extendee=extendee, type_name=".p.M")


@pytest.mark.parametrize(
    "change",
    [
        lambda fd: None,
        # Every syntax a compiler writes, each with what it writes beside.
        lambda fd: setattr(fd, "syntax", "proto2"),
        lambda fd: setattr(fd, "syntax", "proto3"),
        lambda fd: (setattr(fd, "syntax", "editions"), setattr(fd, "edition", 1000)),
        lambda fd: (setattr(fd, "syntax", "editions"), setattr(fd, "edition", 1001)),
        lambda fd: _extension(fd, ".p.M"),
        lambda fd: _extension(fd, "p.M"),
        lambda fd: fd.option_dependency.append("a/options.proto"),
    ],
    ids=["none", "proto2", "proto3", "2023", "2024", "extendee", "relative", "option"],
)
def test_plausible_runs(change):
    fd = _with(change)
    assert doubt_about(fd) is None
    found = ravick.find(embed(fd.SerializeToString()))
    assert [(f.plausible, f.data) for f in found] == [(True, fd.SerializeToString())]


@pytest.fixture
def tree(tmp_path):
    """A directory with descriptors, a FIFO, a symlink loop and /dev/zero."""
    (tmp_path / "sub").mkdir()
    (tmp_path / "sub" / "b.bin").write_bytes(
        embed(TIMESTAMP, gzip.compress(DESCRIPTOR))
    )
    (tmp_path / "a.bin").write_bytes(embed(DESCRIPTOR))
    (tmp_path / "empty").write_bytes(b"")
    os.mkfifo(tmp_path / "fifo")
    os.symlink(tmp_path, tmp_path / "sub" / "loop")
    os.symlink("/dev/zero", tmp_path / "zero")
    return tmp_path


def test_find_in_paths_walks_in_path_order(tree):
    reports = list(ravick.find_in_paths([str(tree)], workers=1))
    by_path = {os.path.relpath(r.path, tree): r for r in reports}
    assert list(by_path) == sorted(by_path)
    assert {p: r.skipped for p, r in by_path.items() if r.skipped} == {
        "fifo": "not a regular file (FIFO)",
        "sub/loop": NOT_FOLLOWED,
        "zero": NOT_FOLLOWED,
    }
    assert [len(by_path[p].found) for p in ("a.bin", "empty", "sub/b.bin")] == [1, 0, 2]


def test_named_inputs_that_cannot_be_read(tree):
    paths = [
        str(tree / "missing"),
        str(tree / "fifo"),
        "/dev/zero",
        str(tree / "a.bin"),
    ]
    reports = {r.path: r for r in ravick.find_in_paths(paths, workers=1)}
    assert reports[str(tree / "missing")].error == "No such file or directory"
    assert reports[str(tree / "fifo")].error == "not a regular file (FIFO)"
    assert reports["/dev/zero"].error == "not a regular file (character device)"
    assert len(reports[str(tree / "a.bin")].found) == 1


def test_worker_count_does_not_change_results(tree):
    for k in range(12):
        (tree / f"many{k:02}.bin").write_bytes(embed(*[TIMESTAMP] * (k % 3)))
    one = list(ravick.find_in_paths([str(tree)], workers=1))
    two = list(ravick.find_in_paths([str(tree)], workers=2))
    assert one == two
    assert [[f.data for f in r.found] for r in one] == [
        [f.data for f in r.found] for r in two
    ]


def test_max_size_skips_large_files(tree):
    reports = list(ravick.find_in_paths([str(tree)], workers=1, max_size=10))
    skipped = {
        os.path.basename(r.path) for r in reports if r.skipped and "larger" in r.skipped
    }
    assert skipped == {"a.bin", "b.bin"}


@pytest.mark.parametrize("named", [True, False], ids=["named", "walked"])
@pytest.mark.parametrize(("limit", "scanned"), [(-1, False), (0, True), (1, True)])
def test_max_size_at_its_boundary(tmp_path, named, limit, scanned):
    data = embed(TIMESTAMP)
    (tmp_path / "f.bin").write_bytes(data)
    path = str(tmp_path / "f.bin") if named else str(tmp_path)
    (report,) = ravick.find_in_paths([path], workers=1, max_size=len(data) + limit)
    assert (report.skipped is None) == scanned
    assert len(report.found) == scanned
    if not scanned:
        assert report.skipped == f"larger than {len(data) + limit} bytes"


def test_a_file_grown_past_max_size_after_the_walk_is_an_error(tmp_path):
    (tmp_path / "f.bin").write_bytes(embed(TIMESTAMP))
    (target,) = gather([str(tmp_path)], max_size=1000)
    (tmp_path / "f.bin").write_bytes(embed(TIMESTAMP) * 10)
    report = scan_target(target, max_size=1000)
    assert report.error == "larger than 1000 bytes" and not report.found


@pytest.mark.parametrize(("extra", "ok"), [(0, True), (1, False)])
def test_standard_input_at_its_limit(monkeypatch, extra, ok):
    data = embed(TIMESTAMP)
    stdin = io.TextIOWrapper(io.BytesIO(data + b"x" * extra))
    monkeypatch.setattr(sys, "stdin", stdin)
    (report,) = ravick.find_in_paths(["-"], max_size=len(data))
    assert (report.error is None) == ok
    assert len(report.found) == ok


def test_a_fifo_swapped_in_after_the_walk_does_not_hang(tmp_path):
    path = tmp_path / "f.bin"
    path.write_bytes(embed(TIMESTAMP))
    (target,) = gather([str(tmp_path)])
    path.unlink()
    os.mkfifo(path)
    reports = []
    worker = threading.Thread(target=lambda: reports.append(scan_target(target)))
    worker.start()
    worker.join(10)
    if worker.is_alive():  # blocked opening the FIFO: let it go, then fail
        with open(path, "wb"):
            pass
        worker.join()
        pytest.fail("opening a FIFO in a file's place blocked")
    assert reports[0].error == "not a regular file (FIFO)"


@pytest.mark.parametrize(
    ("pieces", "size", "expected"),
    [
        ([b"abc"], 3, b"abc"),
        ([b"ab", b"c", b"de"], 5, b"abcde"),  # arrives in pieces
        ([b"ab", b"cdef"], 4, b"abcd"),  # grew: the size it had
        ([b"ab"], 4, b"ab"),  # shrank: what is there
        ([], 3, b""),
    ],
)
def test_reads_take_what_is_there_up_to_the_size(pieces, size, expected):
    from ravick.reading import read_exactly

    reader, writer = os.pipe()

    def write():
        for piece in pieces:
            os.write(writer, piece)
            time.sleep(0.05)
        os.close(writer)

    feeder = threading.Thread(target=write)
    feeder.start()
    with io.FileIO(reader, "r") as f:
        assert read_exactly(f, size) == expected
    feeder.join()


class CountingExecutor(ThreadPoolExecutor):
    """Runs scans in threads; counts what it is given and how much at once."""

    parallelism = 2

    def __init__(self):
        super().__init__(2)
        self.paths, self.pending, self.most = [], 0, 0
        self.lock = threading.Lock()

    def submit(self, fn, target, *args):
        with self.lock:
            self.paths.append(target.path)
            self.pending += 1
            self.most = max(self.most, self.pending)
        future = super().submit(fn, target, *args)
        future.add_done_callback(lambda _: self.done())
        return future

    def done(self):
        with self.lock:
            self.pending -= 1


def test_an_executor_gets_only_readable_files_a_window_at_a_time(tree):
    for k in range(30):
        (tree / f"many{k:02}.bin").write_bytes(embed(TIMESTAMP))
    with CountingExecutor() as executor:
        reports = list(ravick.find_in_paths([str(tree)], executor=executor))
    assert reports == list(ravick.find_in_paths([str(tree)], workers=1))
    readable = [r.path for r in reports if r.error is None and r.skipped is None]
    assert executor.paths == readable
    assert executor.most <= 4 * CountingExecutor.parallelism


@pytest.mark.parametrize(
    ("spool_from", "over_limit", "error"),
    [
        (1 << 20, None, None),  # held in memory
        (64, None, None),  # spooled and mapped
        (64, 0, None),  # spooled, exactly at the limit
        (64, -1, "more than {} bytes on standard input"),
        (1 << 20, -1, "more than {} bytes on standard input"),
    ],
)
def test_standard_input_spooled_past_a_few_megabytes(
    monkeypatch, tmp_path, spool_from, over_limit, error
):
    data = embed(TIMESTAMP) * 3
    monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(io.BytesIO(data)))
    monkeypatch.setattr(reading, "SPOOL_FROM", spool_from)
    monkeypatch.setattr(tempfile, "tempdir", str(tmp_path))
    limit = None if over_limit is None else len(data) + over_limit
    (report,) = ravick.find_in_paths(["-"], max_size=limit)
    (tmp_path / "f.bin").write_bytes(data)
    (expected,) = ravick.find_in_paths([str(tmp_path / "f.bin")])
    if error is None:
        assert report.error is None and report.found == expected.found
    else:
        assert report.error == error.format(limit) and not report.found
    assert os.listdir(tmp_path) == ["f.bin"]  # the spool is gone


def test_interrupts_are_held_in_the_main_thread_only():
    def blocked():
        return signal.SIGINT in signal.pthread_sigmask(signal.SIG_BLOCK, [])

    assert not blocked()
    with interrupts_held():
        assert blocked()
        seen = []
        thread = threading.Thread(target=lambda: seen.append(blocked()))
        thread.start()
        thread.join()
        assert seen == [True]  # inherited, so that new processes start blocked
    assert not blocked()
    seen.clear()

    def in_thread():
        with interrupts_held():
            seen.append(blocked())

    thread = threading.Thread(target=in_thread)
    thread.start()
    thread.join()
    assert seen == [False]


@pytest.mark.parametrize("leaving", [None, KeyboardInterrupt])
def test_a_pool_is_ended_at_once_only_when_left_early(leaving):
    pool = ProcessPoolExecutor(1, mp_context=multiprocessing.get_context("fork"))
    pool.submit(os.getpid).result()
    future = pool.submit(time.sleep, 0.5 if leaving is None else 60)
    time.sleep(0.2)
    start = time.monotonic()
    close_pool(pool, leaving)
    if leaving is None:
        assert future.result() is None
    else:
        assert time.monotonic() - start < 30
        assert future.done()
