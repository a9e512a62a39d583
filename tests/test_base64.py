"""Base64 descriptors in text: a minified bundle, IL2CPP's string literal
data, C# literals, YAML, UTF-16LE; runs that are huge or many."""

import base64
import struct

import pytest
from google.protobuf import descriptor_pb2, timestamp_pb2

import ravick
from ravick.finding import find_with_notes

DESCRIPTOR = descriptor_pb2.DESCRIPTOR.serialized_pb
TIMESTAMP = timestamp_pb2.DESCRIPTOR.serialized_pb


def b64(data: bytes, pad: bool = True) -> bytes:
    text = base64.b64encode(data)
    return text if pad else text.rstrip(b"=")


def chunks(data: bytes, size: int = 60) -> list[bytes]:
    text = b64(data)
    return [text[k : k + size] for k in range(0, len(text), size)]


def il2cpp_metadata(*literals: bytes) -> bytes:
    """global-metadata.dat's layout: a table of (length, data index) records,
    then the literals' UTF-8 bytes back to back."""
    table, blob = b"", b""
    for literal in literals:
        table += struct.pack("<II", len(literal), len(blob))
        blob += literal
    return b"\xaf\x1b\xb1\xfa" + struct.pack("<I", 29) + table + blob


@pytest.mark.parametrize(
    ("text", "names"),
    [
        # protobuf-es in a minified bundle: fileDesc renamed, no padding.
        (
            b'var A=g("'
            + b64(TIMESTAMP, pad=False)
            + b'",[B]),C=g("'
            + b64(DESCRIPTOR, pad=False)
            + b'");',
            ["timestamp", "descriptor"],
        ),
        # C#'s 60-character chunks, joined by ", " and line breaks.
        (
            b'string.Concat("' + b'",\n    "'.join(chunks(TIMESTAMP)) + b'")',
            ["timestamp"],
        ),
        # ... and by "+" in JavaScript.
        (b'x = "' + b'" + "'.join(chunks(DESCRIPTOR)) + b'";', ["descriptor"]),
        # Literals back to back, behind a header that places nothing.
        (
            il2cpp_metadata(*chunks(DESCRIPTOR), *chunks(TIMESTAMP)),
            ["descriptor", "timestamp"],
        ),
        # YAML configuration, folded.
        (
            b"descriptor: |\n  "
            + b"\n  ".join(chunks(TIMESTAMP, 76))
            + b"\nother: 1\n",
            ["timestamp"],
        ),
        # UTF-16LE text.
        (
            b"\xff\xfe" + b64(TIMESTAMP).decode().encode("utf-16-le") + b"\0\0",
            ["timestamp"],
        ),
    ],
)
def test_base64_forms(text, names):
    found = [f for f in ravick.find(text) if f.plausible]
    assert [
        f.name.removeprefix("google/protobuf/").removesuffix(".proto") for f in found
    ] == names
    assert all(f.layers[-1] == "base64" for f in found)
    expected = {"timestamp": TIMESTAMP, "descriptor": DESCRIPTOR}
    assert [f.data for f in found] == [expected[n] for n in names]


@pytest.mark.parametrize(
    "text",
    [
        b"Cg" + b"A" * (64 << 20),  # a run far past the cap
        b"CgdhLnByb3Rv " * 200_000,  # many short runs, each a name record
        b"Cg==" * 100_000,
        ("C\0g\0" * 100_000).encode(),
    ],
)
def test_base64_runs_are_bounded(text):
    found = find_with_notes(text, max_inflate=1 << 20)
    assert all(f.size < 1 << 20 for f in found.found)


@pytest.mark.parametrize(
    ("text", "stripped"),
    [
        # protobuf-es renamed by a minifier: its descriptors lack imports.
        (b'var A=g("' + b64(TIMESTAMP, pad=False) + b'",[B]);', ("dependency",)),
        (b"x=f('" + b64(TIMESTAMP, pad=False) + b"')", ("dependency",)),
        # C#'s padded chunks, base64 in configuration: as they were made.
        (b'string.Concat("' + b'", "'.join(chunks(TIMESTAMP)) + b'")', ()),
        (b"descriptor: " + b64(TIMESTAMP) + b"\n", ()),
    ],
)
def test_base64_of_protobuf_es_is_marked_stripped(text, stripped):
    (found,) = ravick.find(text)
    assert found.data == TIMESTAMP
    assert found.stripped == stripped
