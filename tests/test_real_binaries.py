"""scan over real Debian libraries that embed serialized descriptors (fetched
by scripts/fetch_binaries.sh): every range is a real FileDescriptorProto,
and the set found matches what the libraries are known to carry."""

import collections
import os
import pathlib
import re
import subprocess

import pytest
import ravick_lib
from google.protobuf import descriptor_pb2
from google.protobuf.message import DecodeError

ROOT = pathlib.Path(__file__).resolve().parent.parent
FETCH = ROOT / "scripts" / "fetch_binaries.sh"

WKT = {
    f"google/protobuf/{n}.proto"
    for n in (
        "any api descriptor duration empty field_mask source_context struct "
        "timestamp type wrappers"
    ).split()
}

# The .proto files each library carries, by file-name prefix. libprotoc also
# holds Java code templates in which a newline (0x0A), a length byte, text
# ending in "com.google.proto" and a "b" (field 12, `syntax`) with a length
# byte happen to form a complete, valid FileDescriptorProto: a name and a
# syntax string. They pass every rule a descriptor has to meet, so the scan
# reports them, and they are listed here as what the library holds.
KNOWN = {
    "libprotobuf.so.": collections.Counter(WKT),
    "libprotoc.so.": collections.Counter(
        {
            "google/protobuf/compiler/plugin.proto": 1,
            "deprecation$private com.google.proto": 2,
            "   PARSER = new com.google.proto": 1,
        }
    ),
    "libupb.so.": collections.Counter({"google/protobuf/descriptor.proto": 1}),
    "libgrpc++_reflection.so.": collections.Counter(
        {"src/proto/grpc/reflection/v1alpha/reflection.proto": 1}
    ),
    "libgrpcpp_channelz.so.": collections.Counter(
        {"src/proto/grpc/channelz/channelz.proto": 1}
    ),
    "libonnx_proto.so.": collections.Counter(
        {
            "onnx/onnx-data.proto": 1,
            "onnx/onnx-ml.proto": 1,
            "onnx/onnx-operators-ml.proto": 1,
        }
    ),
    "libopencv_dnn.so.4.6.": collections.Counter(
        f"{n}.proto"
        for n in (
            "attr_value function graph op_def opencv-caffe opencv-onnx tensor "
            "tensor_shape types versions"
        ).split()
    ),
}

# Libraries too large to list here, by their exact version: how many files
# they carry, and some of them.
KNOWN_COUNTS = {
    "libgrpc.so.29.": (
        137,
        {
            "envoy/admin/v3/certs.proto",
            "google/protobuf/descriptor.proto",
            "google/rpc/status.proto",
            "xds/type/v3/typed_struct.proto",
        },
    ),
    "libignition-msgs8.so.8.": (
        186,
        {"ignition/msgs/actor.proto", "ignition/msgs/pose.proto"},
    ),
}

# Tag bytes of the FileDescriptorProto fields that can follow `name`: fields
# 2 to 12 and 14, with the wire type each is written with.
NEXT_FIELD_TAGS = bytes(
    [0x12, 0x1A, 0x22, 0x2A, 0x32, 0x3A, 0x42, 0x4A, 0x50, 0x58, 0x62, 0x70]
)
NAME_RECORD = re.compile(rb"\x0a(?=[\x06-\x7f])")


def discover_starts(data: bytes) -> list[int]:
    """Offsets of every name record (tag, one-byte length, a printable name
    ending in ".proto") that is directly followed by the tag of another
    FileDescriptorProto field. Independent of the scanner: the way generated
    code lays descriptors out, not the scanner's rules."""
    starts = []
    for m in NAME_RECORD.finditer(data):
        name_start = m.start() + 2
        name = data[name_start : name_start + data[m.start() + 1]]
        after = name_start + len(name)
        if (
            name.endswith(b".proto")
            and after < len(data)
            and data[after] in NEXT_FIELD_TAGS
            and all(0x20 <= c <= 0x7E for c in name)
        ):
            starts.append(m.start())
    return starts


def name_at(blob: bytes) -> str:
    """The name of the record at the start of a range (tag, varint length)."""
    assert blob[0] == 0x0A
    length, shift, k = 0, 0, 1
    while blob[k] & 0x80:
        length |= (blob[k] & 0x7F) << shift
        shift += 7
        k += 1
    length |= blob[k] << shift
    return blob[k + 1 : k + 1 + length].decode()


@pytest.fixture(scope="session")
def scanned():
    """{library file name: (bytes, ranges)} for every fetched library."""
    proc = subprocess.run(
        ["bash", str(FETCH)], capture_output=True, text=True, timeout=900
    )
    paths = [pathlib.Path(p) for p in proc.stdout.split()]
    if proc.returncode != 0 or not paths:
        reason = (
            f"cannot fetch the Debian binaries (scripts/fetch_binaries.sh exit "
            f"{proc.returncode}): {proc.stderr.strip()[-500:]}"
        )
        if os.environ.get("CI"):
            pytest.fail(reason)
        pytest.skip(reason)
    result = {}
    for path in paths:
        data = path.read_bytes()
        result[path.name] = (data, ravick_lib.scan(data))
    return result


def libraries(scanned, prefix):
    return [name for name in scanned if name.startswith(prefix)]


def test_the_protobuf_libraries_were_fetched(scanned):
    for prefix in ("libprotobuf.so.", "libprotoc.so."):
        assert libraries(scanned, prefix), prefix


def test_ranges_are_sorted_disjoint_and_inside_the_file(scanned):
    for name, (data, ranges) in scanned.items():
        previous_end = 0
        for start, end in ranges:
            assert type(start) is int and type(end) is int
            assert previous_end <= start < end <= len(data), (name, start, end)
            previous_end = end


def _has_unknown(message) -> bool:
    """Whether any message in the tree carries unknown fields or extensions."""
    from google.protobuf import unknown_fields

    if len(unknown_fields.UnknownFieldSet(message)):
        return True
    for field, value in message.ListFields():
        if field.is_extension:
            return True
        if field.message_type is None:
            continue
        items = value if field.is_repeated else [value]
        if any(_has_unknown(v) for v in items):
            return True
    return False


def test_every_range_is_the_descriptor_named_at_its_start(scanned):
    checked = 0
    for lib, (data, ranges) in scanned.items():
        for start, end in ranges:
            blob = data[start:end]
            try:
                fd = descriptor_pb2.FileDescriptorProto.FromString(blob)
            except DecodeError as e:
                pytest.fail(f"{lib} {start}-{end}: {e}")
            assert fd.name == name_at(blob), (lib, start)
            # Re-serializing round-trips through an equal message. The bytes
            # themselves may differ: options carry extensions that protobuf
            # knows or not depending on what this process imported, and
            # unknown fields are written after the known ones.
            again = fd.SerializeToString()
            assert descriptor_pb2.FileDescriptorProto.FromString(again) == fd
            if not fd.options.ListFields() and not _has_unknown(fd):
                assert again == blob, (lib, fd.name)
            checked += 1
    assert checked > 300


def test_starts_match_an_independent_search_for_name_records(scanned):
    for lib, (data, ranges) in scanned.items():
        assert [s for s, _ in ranges] == discover_starts(data), lib


@pytest.mark.parametrize("prefix", sorted(KNOWN))
def test_library_carries_exactly_its_known_files(scanned, prefix):
    libs = libraries(scanned, prefix)
    if not libs:
        pytest.skip(f"{prefix}* not fetched (optional package unavailable)")
    for lib in libs:
        data, ranges = scanned[lib]
        found = collections.Counter(
            descriptor_pb2.FileDescriptorProto.FromString(data[s:e]).name
            for s, e in ranges
        )
        assert found == KNOWN[prefix], lib


@pytest.mark.parametrize("prefix", sorted(KNOWN_COUNTS))
def test_large_library_carries_its_known_files(scanned, prefix):
    libs = libraries(scanned, prefix)
    if not libs:
        pytest.skip(f"{prefix}* not fetched (optional package unavailable)")
    count, some = KNOWN_COUNTS[prefix]
    for lib in libs:
        data, ranges = scanned[lib]
        names = [
            descriptor_pb2.FileDescriptorProto.FromString(data[s:e]).name
            for s, e in ranges
        ]
        assert len(names) == len(set(names)) == count, lib
        assert some <= set(names), lib


def test_libraries_without_descriptors_yield_nothing(scanned):
    known = tuple(KNOWN) + tuple(KNOWN_COUNTS)
    empty = [lib for lib in scanned if not lib.startswith(known)]
    for lib in empty:
        assert scanned[lib][1] == [], lib
