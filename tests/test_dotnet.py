"""Descriptors in .NET assemblies: protoc's C# output compiled with Mono's
mcs, two descriptors sharing a chunk that the compiler stores once, and
assemblies that lie."""

import re
import subprocess

import pytest
from google.protobuf import descriptor_pb2

import ravick
from ravick.finding import find_with_notes
from ravick.layers import Budget, dotnet_assemblies

# One protoc for both outputs compared (another may come first on PATH).
DEBIAN_PROTOC = "/usr/bin/protoc"
PREFIX = "demo/a_long_common_prefix_that_both_files_share_"
PROTOS = {
    # The first 45 bytes of both descriptors (0A, the length, 43 characters
    # of the name) are equal: their first base64 chunk is one #US entry.
    f"{PREFIX}one.proto": 'syntax = "proto3";\npackage one;\nmessage A { string a = 1; }\n',
    f"{PREFIX}two.proto": 'syntax = "proto3";\npackage two;\nmessage B { int64 b = 1; }\n'
    "message C { repeated string c = 1; }\n",
    "demo/small.proto": 'syntax = "proto3";\npackage demo.v1;\n'
    'import "google/protobuf/timestamp.proto";\n'
    "message Person { string name = 1; google.protobuf.Timestamp born = 2;"
    " map<string, int64> scores = 3; }\n",
}
CONCAT = re.compile(r"FromBase64String\(\s*string\.Concat\((.*?)\)\);", re.DOTALL)


@pytest.fixture(scope="module")
def assembly(tmp_path_factory):
    """An assembly whose static constructors build each descriptor's bytes
    exactly as protoc's C# reflection classes do (same literals, same
    order), and the bytes Python's output of the same protoc embeds."""
    top = tmp_path_factory.mktemp("dotnet")
    (top / "in" / "demo").mkdir(parents=True)
    for name, text in PROTOS.items():
        (top / "in" / name).write_text(text)
    (top / "cs").mkdir()
    (top / "py").mkdir()
    subprocess.run(
        [
            DEBIAN_PROTOC,
            f"-I{top / 'in'}",
            "-I/usr/include",
            f"--csharp_out={top / 'cs'}",
            f"--python_out={top / 'py'}",
            *PROTOS,
        ],
        check=True,
    )
    classes = []
    for k, path in enumerate(sorted((top / "cs").glob("*.cs"))):
        (literals,) = CONCAT.findall(path.read_text())
        classes.append(
            f"public static class Reflection{k} {{\n  public static byte[] Data;\n"
            f"  static Reflection{k}() {{\n    byte[] descriptorData = global::System"
            f".Convert.FromBase64String(string.Concat({literals}));\n"
            "    Data = descriptorData;\n  }\n}\n"
        )
    source = top / "Reflections.cs"
    source.write_text("namespace Demo {\n" + "".join(classes) + "}\n")
    dll = top / "Demo.dll"
    subprocess.run(
        ["mcs", "-target:library", f"-out:{dll}", str(source)],
        check=True,
        capture_output=True,
    )
    expected = {}
    for path in (top / "py").rglob("*_pb2.py"):
        data = eval(
            re.search(r"AddSerializedFile\((b'.*?')\)", path.read_text()).group(1)
        )
        expected[descriptor_pb2.FileDescriptorProto.FromString(data).name] = data
    return dll.read_bytes(), expected


def test_assembly_gives_every_descriptor(assembly):
    data, expected = assembly
    found = ravick.find(data)
    assert {f.name: f.data for f in found} == expected
    assert all(f.layers == ("dotnet-us",) for f in found)


def test_chunks_join_in_code_order_not_heap_order(assembly):
    data, expected = assembly
    budget = Budget()
    pe = dotnet_assemblies._parse(data, budget)
    _, strings = dotnet_assemblies._user_strings(pe, data)
    in_heap = {
        dotnet_assemblies.from_base64("".join(run).encode())
        for _, run in dotnet_assemblies._descriptor_runs(list(strings.items()))
    }
    # The two files' first chunk is stored once: joined in heap order, the
    # chunks do not give both descriptors back; in code order they do.
    chunks = [text for text in strings.values() if text.startswith("CjlkZW1v")]
    assert len(chunks) == 1
    assert not set(expected.values()) <= in_heap


@pytest.mark.parametrize(
    "data",
    [
        b"MZ" + b"\0" * 100 + b"BSJB",  # no PE header behind the magic
        b"MZ" + b"\xff" * 58 + b"\x40\0\0\0PE\0\0" + b"\xff" * 400 + b"BSJB",
    ],
)
def test_assemblies_that_lie(data):
    find_with_notes(data)
