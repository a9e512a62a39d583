"""The layered finder on built inputs: every compressed stream and archive
kind, nesting, provenance, framed ends, descriptor sets, and hostile
containers that must end within the limits."""

import bz2
import gzip
import importlib
import io
import lzma
import marshal
import mmap
import os
import pathlib
import py_compile
import struct
import subprocess
import tarfile
import tempfile
import zipfile
import zlib

import lz4.block
import lz4.frame
import pytest
import zstandard
from google.protobuf import descriptor_pb2, timestamp_pb2

import ravick
from ravick import layers
from ravick.finding import find_with_notes
from test_package_find import embed, noise

DESCRIPTOR = descriptor_pb2.DESCRIPTOR.serialized_pb
TIMESTAMP = timestamp_pb2.DESCRIPTOR.serialized_pb
NAMES = ["google/protobuf/timestamp.proto", "google/protobuf/descriptor.proto"]


def zipped(members: dict[str, bytes], method: int = zipfile.ZIP_DEFLATED) -> bytes:
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w", method) as z:
        for name, data in members.items():
            z.writestr(name, data)
    return out.getvalue()


def tarred(members: dict[str, bytes], mode: str = "w") -> bytes:
    out = io.BytesIO()
    with tarfile.open(fileobj=out, mode=mode) as t:
        for name, data in members.items():
            info = tarfile.TarInfo(name)
            info.size = len(data)
            t.addfile(info, io.BytesIO(data))
    return out.getvalue()


def xalz(data: bytes) -> bytes:
    return (
        b"XALZ"
        + struct.pack("<II", 7, len(data))
        + lz4.block.compress(data, store_size=False)
    )


BOTH = embed(TIMESTAMP, DESCRIPTOR)


@pytest.mark.parametrize(
    ("container", "layers_of_first"),
    [
        (gzip.compress(BOTH), ("gzip",)),
        (zlib.compress(BOTH, 9), ("zlib",)),
        (zlib.compress(BOTH, 1), ("zlib",)),
        (zstandard.ZstdCompressor().compress(BOTH), ("zstd",)),
        (lz4.frame.compress(BOTH), ("lz4",)),
        (xalz(BOTH), ("xalz",)),
        (lzma.compress(BOTH), ("xz",)),
        (bz2.compress(BOTH), ("bzip2",)),
        (zipped({"a/b.class": BOTH}), ("zip:a/b.class",)),
        (zipped({"a/b.class": BOTH}, zipfile.ZIP_STORED), ("zip:a/b.class",)),
        (zipped({"a/b.class": BOTH}, zipfile.ZIP_BZIP2), ("zip:a/b.class",)),
        (zipped({"a/b.class": BOTH}, zipfile.ZIP_LZMA), ("zip:a/b.class",)),
        (b"MZ stub" * 100 + zipped({"x": BOTH}), ("zip:x",)),
        (
            zipped({"lib/in.jar": zipped({"Y.class": BOTH})}),
            ("zip:lib/in.jar", "zip:Y.class"),
        ),
        (tarred({"l/f": BOTH}), ("tar:l/f",)),
        (tarred({"l/f": BOTH}, "w:gz"), ("gzip", "tar:l/f")),
        (tarred({"l/f": BOTH}, "w:xz"), ("xz", "tar:l/f")),
        (tarred({"l/f": BOTH}, "w:bz2"), ("bzip2", "tar:l/f")),
        (
            gzip.compress(tarred({"app.whl": zipped({"m.pyc": BOTH})})),
            ("gzip", "tar:app.whl", "zip:m.pyc"),
        ),
    ],
)
def test_every_layer_is_opened(container, layers_of_first):
    # An XALZ assembly is a whole file: its LZ4 block runs to the end.
    # A tar archive is looked for at the start of a buffer only.
    tail = b"" if layers_of_first == ("xalz",) else b"tail"
    head = b"" if layers_of_first[0].startswith("tar") else b"head"
    found = find_with_notes(head + container + tail)
    assert [f.name for f in found.found] == NAMES, found.notes
    first = found.found[0]
    assert first.layers == layers_of_first
    assert first.data == TIMESTAMP and found.found[1].data == DESCRIPTOR
    kinds = [
        step.split(":")[0] for step in layers_of_first if not step.startswith("tar")
    ]
    assert first.compression == (kinds[0] if kinds else None)
    assert first.inner_start == BOTH.index(TIMESTAMP)
    assert len(head) <= first.start < first.end <= len(head) + len(container)
    assert not first.truncated
    assert find_with_notes(mapped(head + container + tail)) == found


@pytest.mark.parametrize(
    "compress",
    [
        gzip.compress,
        zlib.compress,
        zstandard.ZstdCompressor().compress,
        lz4.frame.compress,
        lzma.compress,
        bz2.compress,
    ],
)
def test_a_stream_that_ends_its_input_is_whole(compress):
    # A file that is one stream (a .lz4, a .gz): nothing follows it.
    found = find_with_notes(b"head" + compress(BOTH))
    assert [f.name for f in found.found] == NAMES, found.notes
    assert not found.found[0].truncated


def mapped(data: bytes) -> mmap.mmap:
    """``data`` as a read-only mapping of a file: the finder takes any buffer."""
    with tempfile.TemporaryFile() as f:
        f.write(data)
        f.flush()
        return mmap.mmap(f.fileno(), 0, prot=mmap.PROT_READ)


def test_results_merge_in_offset_order():
    data = embed(
        TIMESTAMP, gzip.compress(DESCRIPTOR), zipped({"t": TIMESTAMP}), DESCRIPTOR
    )
    found = ravick.find(data)
    assert [f.layers for f in found] == [(), ("gzip",), ("zip:t",), ()]
    assert [f.start for f in found] == sorted(f.start for f in found)


def test_pyc_descriptor_ends_where_marshal_says(tmp_path):
    # A generated module compiled by CPython: the module name that follows
    # the bytes constant must not become part of the descriptor.
    source = tmp_path / "thing_pb2.py"
    source.write_text(f"DESCRIPTOR = {TIMESTAMP!r}\nNAME = 'pkg.sub.thing_pb2'\n")
    pyc = py_compile.compile(str(source), cfile=str(tmp_path / "thing.pyc"))
    with open(pyc, "rb") as f:
        data = f.read()
    (found,) = ravick.find(data)
    assert found.data == TIMESTAMP and found.plausible


def test_marshal_framing_keeps_what_follows_in_range():
    data = marshal.dumps((TIMESTAMP, "zz_pb2")) + marshal.dumps(DESCRIPTOR)
    assert [f.data for f in ravick.find(data)] == [TIMESTAMP, DESCRIPTOR]


def _small() -> bytes:
    fd = descriptor_pb2.FileDescriptorProto(
        name="a/b.proto", package="a", syntax="proto3"
    )
    fd.message_type.add(name="M").field.add(name="x", number=1, type=5, label=1)
    return fd.SerializeToString()  # under 128 bytes: a one-byte length


def _large() -> bytes:
    fd = descriptor_pb2.FileDescriptorProto(
        name="big.proto", package="b", syntax="proto3"
    )
    for k in range(700):
        fd.message_type.add(name=f"M{k:04}").field.add(
            name="f", number=1, type=9, label=1
        )
    return fd.SerializeToString()  # over 16,384 bytes: a three-byte length


SMALL, LARGE = _small(), _large()


def marshal_bytes(data: bytes, kind: bytes = b"s") -> bytes:
    return kind + struct.pack("<I", len(data)) + data


def varint(n: int) -> bytes:
    out = bytearray()
    while True:
        out.append((n & 0x7F) | (0x80 if n > 0x7F else 0))
        n >>= 7
        if not n:
            return bytes(out)


@pytest.mark.parametrize(
    ("data", "expected", "in_set"),
    [
        # A marshal string, plain or with the reference flag: the module
        # name after it reads as field 15 and is left out.
        (marshal_bytes(TIMESTAMP) + b"z\x06ab_pb2", [TIMESTAMP], False),
        (marshal_bytes(TIMESTAMP, b"\xf3") + b"z\x06ab_pb2", [TIMESTAMP], False),
        (b"x" + marshal_bytes(TIMESTAMP) + b"z\x06ab_pb2", [TIMESTAMP], False),
        # A stated length shorter than a whole descriptor: kept.
        (b"s" + struct.pack("<I", 100) + TIMESTAMP + b"\0", [TIMESTAMP], False),
        # A stated length longer than the range, or another type byte: kept.
        (b"s" + struct.pack("<I", 9999) + TIMESTAMP + b"\0", [TIMESTAMP], False),
        (
            marshal_bytes(TIMESTAMP, b"u") + b"z\x06ab_pb2",
            [TIMESTAMP + b"z\x06ab_pb2"],
            False,
        ),
        # What the stated length leaves of the range is scanned again: here
        # a descriptor that read as the string of field 15.
        (
            marshal_bytes(TIMESTAMP) + b"z" + varint(len(SMALL)) + SMALL,
            [TIMESTAMP, SMALL],
            False,
        ),
        # Set entries with one-, two- and three-byte lengths, from offset 0.
        (b"\x0a" + varint(len(SMALL)) + SMALL, [SMALL], True),
        (b"\x0a" + varint(len(TIMESTAMP)) + TIMESTAMP, [TIMESTAMP], True),
        (b"\x0a" + varint(len(LARGE)) + LARGE, [LARGE], True),
        (
            b"\x0a" + varint(len(SMALL)) + SMALL + DESCRIPTOR + b"\0",
            [SMALL, DESCRIPTOR],
            True,
        ),
        # Not a set: another tag, a length that is not minimal, a wrong one.
        (b"\x0b" + varint(len(SMALL)) + SMALL, [SMALL], False),
        (b"\x0a" + bytes([len(SMALL) | 0x80, 0]) + SMALL, [SMALL], False),
        (b"\x0a" + varint(len(SMALL) + 1) + SMALL + b"\0", [SMALL], False),
    ],
)
def test_framing(data, expected, in_set):
    found = ravick.find(data)
    assert [f.data for f in found] == expected
    assert (found[0].layers == ("descriptor-set",)) == in_set
    assert found[0].start == data.index(expected[0])


def test_descriptor_set_entries():
    files = [
        descriptor_pb2.FileDescriptorProto.FromString(b)
        for b in (TIMESTAMP, DESCRIPTOR)
    ]
    fds = descriptor_pb2.FileDescriptorSet(file=files).SerializeToString()
    for data in (fds, embed(fds), embed(gzip.compress(fds))):
        found = ravick.find(data)
        assert [f.data for f in found] == [TIMESTAMP, DESCRIPTOR]
        assert all(f.layers[-1] == "descriptor-set" for f in found)


def test_identical_regions_are_opened_once_and_reported_each_time():
    member = zipped({"m": TIMESTAMP})
    data = embed(member, member)
    found = ravick.find(data)
    assert len(found) == 2 and found[0].start < found[1].start


def test_zip_that_contains_itself_ends():
    # A member whose bytes are the archive's own (stored, so equal).
    inner = zipped({"t": TIMESTAMP}, zipfile.ZIP_STORED)
    found = find_with_notes(zipped({"self.zip": inner, "again.zip": inner}))
    assert {f.layers for f in found.found} == {
        ("zip:self.zip", "zip:t"),
        ("zip:again.zip", "zip:t"),
    }


def test_nesting_past_the_depth_is_noted():
    def nested(depth):
        data = DESCRIPTOR
        for _ in range(depth):
            data = gzip.compress(b"x" + data)
        return data

    (deepest,) = ravick.find(nested(layers.MAX_DEPTH))
    assert deepest.layers == ("gzip",) * layers.MAX_DEPTH
    found = find_with_notes(nested(layers.MAX_DEPTH + 1))
    assert found.found == ()
    assert any("nested deeper than 6" in n for n in found.notes)


@pytest.mark.parametrize(
    ("data", "note"),
    [
        (zipped({"z": TIMESTAMP + bytes(8 << 20)}), "cut after"),
        (gzip.compress(TIMESTAMP + bytes(8 << 20)), "cut after"),
        (bz2.compress(TIMESTAMP + bytes(64 << 20)), "times its size"),
        (
            zstandard.ZstdCompressor().compress(TIMESTAMP + bytes(64 << 20)),
            "times its size",
        ),
    ],
)
def test_bombs_are_capped(data, note):
    found = find_with_notes(data, max_inflate=4 << 20)
    assert [f.name for f in found.found] == NAMES[:1] and found.found[0].truncated
    assert any(note in n for n in found.notes), found.notes


def test_total_budget_across_archive_members():
    members = {f"m{k}": TIMESTAMP + bytes(100_000) for k in range(5)}
    members = {k: v + k.encode() for k, v in members.items()}
    found = find_with_notes(zipped(members), max_inflate_total=250_000)
    assert 2 <= len(found.found) <= 3
    assert any("not inflated" in n for n in found.notes)


@pytest.mark.parametrize(
    "data",
    [
        zipped({"t": TIMESTAMP})[:-10],  # end record cut
        zipped({"t": TIMESTAMP})[30:],  # local headers gone
        tarred({"t": TIMESTAMP * 50})[:1500],  # member cut
        b"PK\x05\x06" + b"\xff" * 18,  # an end record claiming everything
        b"XALZ" + struct.pack("<II", 1, 1 << 31) + b"\0" * 64,
        b"\x28\xb5\x2f\xfd" + noise(300),
        b"\x04\x22\x4d\x18" + noise(300),
        b"\xfd7zXZ\x00" + noise(300),
        b"BZh91AY&SY" + noise(300),
        b"x\x9c" + noise(300),
        b"ustar".rjust(262, b"\0") + noise(300),
    ],
)
def test_broken_containers_never_raise(data):
    find_with_notes(embed(data))
    find_with_notes(data)


def test_encrypted_and_unknown_members_are_noted():
    data = bytearray(zipped({"secret": TIMESTAMP}, zipfile.ZIP_STORED))
    # Set the encryption flag in the local and central headers.
    for at in (6, data.index(b"PK\x01\x02") + 8):
        data[at] |= 1
    found = find_with_notes(bytes(data))
    assert any("encrypted" in n for n in found.notes)


def test_many_tiny_members_are_bounded():
    members = {f"{k}": b"" for k in range(3000)}
    assert ravick.find(zipped(members, zipfile.ZIP_STORED)) == []


def test_wheel_of_compiled_generated_modules(tmp_path):
    # The _pb2 modules of a real PyPI wheel (googleapis-common-protos),
    # compiled by CPython and zipped as a wheel or zipapp holds them: every
    # descriptor comes back with exactly the bytes the module registers.
    import google.api

    root = pathlib.Path(next(iter(google.api.__path__))).parent
    expected = {}
    members = {}
    for source in sorted((root / "api").glob("*_pb2.py")):
        module = importlib.import_module(f"google.api.{source.stem}")
        expected[module.DESCRIPTOR.name] = module.DESCRIPTOR.serialized_pb
        pyc = py_compile.compile(
            str(source), cfile=str(tmp_path / f"{source.stem}.pyc")
        )
        members[f"google/api/{source.stem}.pyc"] = pathlib.Path(pyc).read_bytes()
    assert len(expected) > 10
    found = ravick.find(zipped(members))
    assert {f.name: f.data for f in found} == expected
    assert all(f.plausible and f.layers[0].startswith("zip:google/api/") for f in found)


def test_descriptor_set_written_by_protoc(tmp_path):
    protoc_python = os.environ.get("RAVICK_PROTOC_PYTHON")
    if not protoc_python:
        pytest.skip("no protoc: set RAVICK_PROTOC_PYTHON (scripts/test.sh does)")
    (tmp_path / "a.proto").write_text(
        'syntax = "proto3";\npackage a;\nimport "google/protobuf/timestamp.proto";\n'
        "message A { google.protobuf.Timestamp at = 1; map<string, A> kids = 2; }\n"
    )
    out = tmp_path / "set.binpb"
    subprocess.run(
        [
            protoc_python,
            "-m",
            "grpc_tools.protoc",
            f"-I{tmp_path}",
            f"-I{_grpc_tools_include(protoc_python)}",
            "--include_imports",
            f"--descriptor_set_out={out}",
            "a.proto",
        ],
        check=True,
    )
    fds = descriptor_pb2.FileDescriptorSet.FromString(out.read_bytes())
    found = ravick.find(out.read_bytes())
    assert [f.data for f in found] == [f.SerializeToString() for f in fds.file]
    assert [f.name for f in found] == ["google/protobuf/timestamp.proto", "a.proto"]
    assert all(f.layers == ("descriptor-set",) for f in found)


def _grpc_tools_include(python: str) -> str:
    code = (
        "import grpc_tools, os; print(os.path.join(grpc_tools.__path__[0], '_proto'))"
    )
    return subprocess.run(
        [python, "-c", code], capture_output=True, text=True, check=True
    ).stdout.strip()


def test_zip_bomb_stays_within_memory(tmp_path):
    # 256 MiB of zeros in each of four members: the child's peak stays far
    # below what one member would take.
    from test_cli_scan import ravick_with_peak

    members = {f"m{k}": b"" for k in range(4)}
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED) as z:
        for name in members:
            with z.open(name, "w", force_zip64=True) as member:
                member.write(TIMESTAMP)
                block = bytes(1 << 20)
                for _ in range(256):
                    member.write(block)
    (tmp_path / "bomb.zip").write_bytes(out.getvalue())
    proc, peak_kb = ravick_with_peak("scan", "--jsonl", str(tmp_path / "bomb.zip"))
    assert proc.returncode == 0 and "Traceback" not in proc.stderr
    assert "cut after" in proc.stderr
    assert peak_kb < 400 << 10


def test_pyinstaller_one_file_executable(tmp_path):
    # PyInstaller keeps every module zlib-compressed in its archive: built
    # here from a script that imports generated modules, each descriptor
    # comes back with the bytes the module registers.
    import sys

    script = tmp_path / "app.py"
    modules = [
        "google.protobuf.timestamp_pb2",
        "google.protobuf.duration_pb2",
        "google.api.annotations_pb2",
        "google.api.http_pb2",
    ]
    script.write_text("".join(f"import {m}\n" for m in modules))
    subprocess.run(
        [
            sys.executable,
            "-m",
            "PyInstaller",
            "--onefile",
            "--noconfirm",
            "--log-level",
            "ERROR",
            "--distpath",
            str(tmp_path / "dist"),
            "--workpath",
            str(tmp_path / "work"),
            "--specpath",
            str(tmp_path),
            str(script),
        ],
        check=True,
        timeout=600,
        capture_output=True,
    )
    found = ravick.find((tmp_path / "dist" / "app").read_bytes())
    by_name = {f.name: f for f in found}
    for name in modules:
        descriptor = importlib.import_module(name).DESCRIPTOR
        hit = by_name[descriptor.name]
        assert hit.data == descriptor.serialized_pb and hit.layers == ("zlib",)


def _python_sources(count: int) -> bytes:
    body = "".join(f"\\x{b:02x}" for b in TIMESTAMP)
    line = f"D = pool.AddSerializedFile(b'{body}')\n"
    return ("import x\n" + line * count).encode()


def _members(count: int) -> dict[str, bytes]:
    return {f"m{k}": TIMESTAMP + bytes([k]) for k in range(count)}


# (module, limit patched to 3, input holding n copies of a descriptor, the
# note past the limit); at the limit every copy is found and nothing noted.
LIMITS = [
    ("zip_archives", "MAX_MEMBERS", lambda n: zipped(_members(n)), "3 looked at"),
    ("tar_archives", "MAX_MEMBERS", lambda n: tarred(_members(n)), "first 3 members"),
    (
        "registry",
        "MAX_HITS",
        lambda n: b"".join(b"-" + gzip.compress(TIMESTAMP, mtime=0) for _ in range(n)),
        "gzip signatures past the first 3",
    ),
    ("_source", "MAX_ANCHORS", _python_sources, "more than 3 'AddSerializedFile('"),
]


@pytest.mark.parametrize("over", [-1, 0, 1])
@pytest.mark.parametrize(("module", "name", "build", "note"), LIMITS)
def test_limits_at_their_boundary(monkeypatch, module, name, build, note, over):
    monkeypatch.setattr(importlib.import_module(f"ravick.layers.{module}"), name, 3)
    found = find_with_notes(build(3 + over))
    # A tar member's bytes are plain: the scan finds those past the limit.
    assert len([f for f in found.found if f.layers]) == min(3, 3 + over)
    assert any(note in n for n in found.notes) == (over > 0), found.notes


@pytest.mark.parametrize(("cap", "cut"), [(0, False), (1, False), (-1, True)])
def test_a_stream_exactly_as_long_as_the_cap_is_whole(cap, cut):
    data = TIMESTAMP + bytes(5000)
    found = find_with_notes(gzip.compress(data), max_inflate=len(data) + cap)
    assert found.found[0].truncated == cut
    assert any("cut after" in n for n in found.notes) == cut


def zip64_with_many_members() -> bytes:
    # More than 65,535 members: the end record points to zip64 records.
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w", zipfile.ZIP_STORED) as z:
        z.writestr("a/x.bin", b"x" + TIMESTAMP)
        for k in range(65_536):
            z.writestr(f"{k}", b"")
    return out.getvalue()


STRAY_END = struct.pack("<4s4H2LH", b"PK\x05\x06", 0, 0, 1, 1, 60 << 20, 0, 0)


@pytest.mark.parametrize(
    ("data", "found", "peak"),
    [
        (lambda: zip64_with_many_members(), 1, 64 << 20),
        # A stray end record after 64 MiB, claiming a 60 MiB directory.
        (lambda: bytes(64 << 20) + STRAY_END + b"x" + TIMESTAMP, 1, 4 << 20),
        (lambda: bytes(64 << 20) + STRAY_END[:-10] + b"\xff" * 8, 0, 4 << 20),
    ],
    ids=["zip64", "stray-end-record", "stray-end-record-huge"],
)
def test_zip_directories_are_read_only_where_they_stand(data, found, peak):
    import tracemalloc

    buffer = data()
    tracemalloc.start()
    try:
        result = find_with_notes(buffer)
        used = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert [f.name for f in result.found] == NAMES[:1] * found
    assert used < peak


@pytest.mark.parametrize("span", [(10, 5), (-1, 5), (0, 1 << 20)])
def test_a_region_outside_its_bytes_is_left_out(monkeypatch, span):
    from ravick import finding
    from ravick.layers import Region

    def one_region(data, budget, threads=1, extents=None):
        yield Region(*span, TIMESTAMP, "gzip")

    monkeypatch.setattr(finding, "regions", one_region)
    found = finding.find_with_notes(b"\0" * 64)
    assert found.found == ()
    assert found.notes == ("gzip: a region outside its bytes left out",)


def _copies(encoded: bytes, *tails: bytes) -> bytes:
    """``encoded`` four times between noise, then ``tails``."""
    return b"".join(noise(7) + c for c in [encoded] * 4 + list(tails))


_GZ = gzip.compress(TIMESTAMP + bytes(300), mtime=0)
_XZ = lzma.compress(BOTH)
_BAD_CRC = _GZ[:-8] + bytes([_GZ[-8] ^ 1]) + _GZ[-7:]
_BAD_BODY = _GZ[:20] + bytes([_GZ[20] ^ 0x40]) + _GZ[21:]


# Inputs holding a stream many times, with copies that only look the same.
_ONE = len(TIMESTAMP) + 300
_BIG = layers.MAX_REGION


@pytest.mark.parametrize(
    ("data", "max_inflate", "total", "saved"),
    [
        (_copies(_GZ), _BIG, _BIG, 3),
        (_copies(_GZ, _BAD_CRC, _BAD_BODY, _GZ), _BIG, _BIG, 4),
        (_copies(_GZ, _GZ[:-3]), _BIG, _BIG, 3),  # cut by the buffer's end
        (_copies(zlib.compress(BOTH), bz2.compress(BOTH)), _BIG, _BIG, 3),
        (_copies(_XZ, _XZ[:40] + bytes(len(_XZ) - 40)), _BIG, _BIG, 3),
        (_copies(lz4.frame.compress(BOTH)), _BIG, _BIG, 3),
        # Only the first copies fit the budget; a stream as large as the cap
        # is decoded again, in case the cap had stopped it.
        (_copies(_GZ), _ONE + 1, 3 * _ONE + 100, 2),
        (_copies(_GZ), _ONE, 3 * _ONE + 100, 0),
    ],
)
def test_streams_met_again_decode_as_the_first(
    monkeypatch, data, max_inflate, total, saved
):
    def found():
        return find_with_notes(data, max_inflate=max_inflate, max_inflate_total=total)

    first = found()
    from ravick.layers import _repeats, registry

    decoded = []
    real = _repeats.Repeats.region_at

    def counted(self, kind, decode, *args):
        return real(self, kind, lambda *a: decoded.append(1) or decode(*a), *args)

    monkeypatch.setattr(_repeats.Repeats, "region_at", counted)
    monkeypatch.setattr(registry, "Repeats", lambda: _repeats.Repeats(0))
    alone = found()
    kept = len(decoded)
    monkeypatch.setattr(registry, "Repeats", _repeats.Repeats)
    assert found() == first == alone
    assert kept - (len(decoded) - kept) == saved
