"""Descriptors in Unity IL2CPP metadata: protoc's C# chunks as string
literals stored once each, so that descriptors sharing a chunk have gaps
that only the fields' continuity fills; metadata that lies."""

import base64
import struct
import subprocess

import pytest
from google.protobuf import descriptor_pb2

import ravick
from ravick.finding import find_with_notes
from ravick.layers import Budget, il2cpp_literals
from ravick.layers._source import from_base64
from test_dotnet import CONCAT, DEBIAN_PROTOC
from test_dotnet import PROTOS as SHARED_FIRST_CHUNK

API = """syntax = "proto3";
package demo.copies;
import "google/protobuf/timestamp.proto";
message Order { string id = 1; repeated Line lines = 2; google.protobuf.Timestamp at = 3;
  enum State { STATE_UNSPECIFIED = 0; OPEN = 1; PAID = 2; SHIPPED = 3; }
  State state = 4; map<string, string> labels = 5; }
message Line { string sku = 1; int32 quantity = 2; double price = 3; }
service Orders { rpc Get(Order) returns (Order); rpc Put(Order) returns (Line); }
"""
PROTOS = {
    **SHARED_FIRST_CHUNK,
    # The same file vendored twice: the names differ in the first chunk,
    # every later chunk is equal and stored once, with the first copy.
    "demo/copies/a/api.proto": API,
    "demo/copies/b/api.proto": API,
    "google/protobuf/descriptor.proto": None,
}
OTHER_LITERALS = [
    b"Player",
    b"Hello, world!",
    b"Cg",
    b"QUJD" * 15,
    b"\xc3\xa9t\xc3\xa9",
]


def metadata(literals: list[bytes]) -> bytes:
    """global-metadata.dat: the header's first fields, the literal table of
    (length, data index) records, and the literals' bytes back to back."""
    table, blob = b"", b""
    for literal in literals:
        table += struct.pack("<Ii", len(literal), len(blob))
        blob += literal
    header_size = 64
    table_at = header_size
    data_at = table_at + len(table)
    header = b"\xaf\x1b\xb1\xfa" + struct.pack(
        "<5i", 29, table_at, len(table), data_at, len(blob)
    )
    return header.ljust(header_size, b"\0") + table + blob


@pytest.fixture(scope="module")
def converted(tmp_path_factory):
    """The metadata of a game built from protoc's C# output: each file's
    chunks in the order its code loads them, every literal stored once in
    the order first met; and the bytes protoc's Python output embeds."""
    top = tmp_path_factory.mktemp("il2cpp")
    for name, text in PROTOS.items():
        if text is not None:
            (top / "in" / name).parent.mkdir(parents=True, exist_ok=True)
            (top / "in" / name).write_text(text)
    literals: dict[bytes, None] = {}
    # One run of protoc a file: the two copies define the same names.
    for k, name in enumerate(PROTOS):
        (top / "cs" / str(k)).mkdir(parents=True)
        (top / "py" / str(k)).mkdir(parents=True)
        subprocess.run(
            [
                DEBIAN_PROTOC,
                f"-I{top / 'in'}",
                "-I/usr/include",
                f"--csharp_out={top / 'cs' / str(k)}",
                f"--python_out={top / 'py' / str(k)}",
                name,
            ],
            check=True,
        )
        (path,) = (top / "cs" / str(k)).glob("*.cs")
        (concat,) = CONCAT.findall(path.read_text())
        for chunk in eval(f"[{concat}]"):
            literals.setdefault(chunk.encode(), None)
        literals.setdefault(OTHER_LITERALS[k % len(OTHER_LITERALS)], None)
    expected = {}
    for path in (top / "py").rglob("*_pb2.py"):
        source = path.read_text()
        start = source.index("AddSerializedFile(b'") + len("AddSerializedFile(")
        data = eval(source[start : source.index("')", start) + 1])
        expected[descriptor_pb2.FileDescriptorProto.FromString(data).name] = data
    return metadata(list(literals)), expected


def test_metadata_gives_every_descriptor(converted):
    data, expected = converted
    found = [f for f in ravick.find(data) if f.plausible]
    assert {f.name: f.data for f in found} == expected
    assert len(found) == len(expected)
    assert all(f.layers == ("il2cpp-literals",) for f in found)


def test_shared_chunks_leave_gaps_in_table_order(converted):
    data, expected = converted
    in_table_order = {
        from_base64(b"".join(run_text(data, run)).rstrip(b"="))
        for run in il2cpp_literals._runs(data, Budget())
    }
    missing = {n for n, d in expected.items() if d not in in_table_order}
    # Both second files: one lost its first chunk, the other every later one.
    assert missing == {
        next(n for n in SHARED_FIRST_CHUNK if n.endswith("two.proto")),
        "demo/copies/b/api.proto",
    }


def run_text(data: bytes, run) -> list[bytes]:
    return [data[run.start : run.end]]


def literal_table(records: list[tuple[int, int]], blob: bytes, **header) -> bytes:
    fields = {"table_at": 64, "table_size": 8 * len(records), "data_size": len(blob)}
    fields.update(header)
    table = b"".join(struct.pack("<Ii", n, i) for n, i in records)
    data_at = fields.get("data_at", 64 + len(table))
    head = b"\xaf\x1b\xb1\xfa" + struct.pack(
        "<5i",
        29,
        fields["table_at"],
        fields["table_size"],
        data_at,
        fields["data_size"],
    )
    return head.ljust(64, b"\0") + table + blob


CHUNK = b"Cg5hL2Zvby5wcm90bxIDZm9vIgUKA0JhciIFCgNCYXoiBQoDUXV4IgUKA0Zvbw"


@pytest.mark.parametrize(
    "data",
    [
        b"\xaf\x1b\xb1\xfa" + b"\xff" * 20,  # every offset negative
        literal_table([(60, 0)], CHUNK, table_size=1 << 30),  # past the end
        literal_table([(60, 0)], CHUNK, data_size=1 << 30),
        literal_table([(60, 1 << 30), (1 << 31, 0), (60, -5)], CHUNK),
        # A descriptor's first chunk, then thousands of chunks that fit no gap.
        literal_table(
            [(60, 0)] + [(60, 60 * k) for k in range(1, 3000)],
            CHUNK + b"".join(b"%060d" % k for k in range(1, 3000)),
        ),
    ],
)
def test_metadata_that_lies(data):
    found = find_with_notes(data)
    assert all(f.size <= len(data) for f in found.found)


def test_a_run_stored_backwards_spans_its_chunks():
    from google.protobuf import timestamp_pb2

    data = timestamp_pb2.DESCRIPTOR.serialized_pb
    text = base64.b64encode(data)
    chunks = [text[k : k + 60] for k in range(0, len(text), 60)]
    # Table order as the descriptor reads, the data the other way round.
    blob, at = b"", {}
    for k in reversed(range(len(chunks))):
        at[k] = len(blob)
        blob += chunks[k]
    records = [(len(chunks[k]), at[k]) for k in range(len(chunks))]
    image = literal_table(records, blob)
    (found,) = ravick.find(image)
    assert found.data == data
    assert 64 + 8 * len(chunks) == found.start < found.end == len(image)


def test_a_chunk_stored_before_its_descriptor_start_is_found_once():
    from google.protobuf import timestamp_pb2

    data = timestamp_pb2.DESCRIPTOR.serialized_pb
    text = base64.b64encode(data)
    chunks = [text[k : k + 60] for k in range(0, len(text), 60)]
    # The second chunk, first met in another descriptor, is stored first.
    found = ravick.find(metadata([chunks[1], chunks[0], *chunks[2:]]))
    assert [f.data for f in found] == [data]
