"""Writes seed corpora for the fuzz targets: real serialized descriptors made
by the protobuf package at run time, and fragments and mutations of them;
for the layered finder and the signature search, real archives and streams
that hold them."""

import base64
import bz2
import gzip
import io
import lzma
import marshal
import pathlib
import random
import struct
import sys
import tarfile
import zipfile
import zlib

from google.protobuf import (
    any_pb2,
    api_pb2,
    descriptor_pb2,
    duration_pb2,
    empty_pb2,
    field_mask_pb2,
    source_context_pb2,
    struct_pb2,
    timestamp_pb2,
    type_pb2,
    wrappers_pb2,
)

MODULES = [any_pb2, api_pb2, descriptor_pb2, duration_pb2, empty_pb2,
           field_mask_pb2, source_context_pb2, struct_pb2, timestamp_pb2,
           type_pb2, wrappers_pb2]


def descriptors():
    for m in MODULES:
        yield m.DESCRIPTOR.serialized_pb


def main(out: pathlib.Path) -> None:
    rng = random.Random(1)
    scan_dir = out / "fuzz_scan"
    score_dir = out / "fuzz_score"
    printer_dir = out / "fuzz_printer"
    for d in (scan_dir, score_dir, printer_dir):
        d.mkdir(parents=True, exist_ok=True)
    n = 0
    for blob in descriptors():
        blob = blob[:60000]
        variants = [blob, blob[: len(blob) // 2], blob + b"\x00" + blob[:200]]
        mutated = bytearray(blob)
        for _ in range(8):
            mutated[rng.randrange(len(mutated))] = rng.randrange(256)
        variants.append(bytes(mutated))
        for v in variants:
            (scan_dir / f"seed{n}").write_bytes(bytes(rng.randrange(256) for _ in range(16)) + v)
            flags = rng.randrange(256)
            (score_dir / f"seed{n}").write_bytes(bytes([flags, 1 | rng.randrange(256)]) + v)
            head = padded_descriptor_proto()
            (printer_dir / f"seed{n}").write_bytes(
                bytes([rng.randrange(256), len(head) // 64]) + head + v
            )
            n += 1
    for name in ("fuzz_signatures", "fuzz_layers"):
        layer_dir = out / name
        layer_dir.mkdir(parents=True, exist_ok=True)
        for k, blob in enumerate(containers()):
            (layer_dir / f"seed{k}").write_bytes(blob)


def padded_descriptor_proto():
    """descriptor.proto padded to a multiple of 64 bytes with fields that
    read as unknown (a varint where a string belongs)."""
    data = descriptor_pb2.DESCRIPTOR.serialized_pb
    pad = -len(data) % 64
    if pad == 1:
        pad += 64
    if pad % 2:
        data += b"\x08\x80\x00"
        pad -= 3
    return data + b"\x08\x00" * (pad // 2)


def containers():
    """Small archives and streams, each holding real descriptors."""
    plain = timestamp_pb2.DESCRIPTOR.serialized_pb + b"\x00" + empty_pb2.DESCRIPTOR.serialized_pb
    yield gzip.compress(plain)
    yield zlib.compress(plain)
    yield lzma.compress(plain)
    yield bz2.compress(plain)
    yield marshal.dumps((plain, "x_pb2"))
    files = [descriptor_pb2.FileDescriptorProto.FromString(m.DESCRIPTOR.serialized_pb)
             for m in (timestamp_pb2, empty_pb2)]
    fds = descriptor_pb2.FileDescriptorSet(file=files).SerializeToString()
    yield fds
    yield gzip.compress(fds)
    for method in (zipfile.ZIP_STORED, zipfile.ZIP_DEFLATED):
        out = io.BytesIO()
        with zipfile.ZipFile(out, "w", method) as z:
            z.writestr("a/T.class", plain)
            z.writestr("b.pyc", gzip.compress(plain))
        yield out.getvalue()
    out = io.BytesIO()
    with tarfile.open(fileobj=out, mode="w") as t:
        info = tarfile.TarInfo("layer/file")
        info.size = len(plain)
        t.addfile(info, io.BytesIO(plain))
    yield out.getvalue()
    yield b"XALZ" + struct.pack("<II", 0, len(plain)) + lz4_literals(plain)
    small = empty_pb2.DESCRIPTOR.serialized_pb
    octal = "".join(f"\\{b:03o}" for b in small)
    hexed = "".join(f"\\x{b:02x}" for b in small)
    listed = ", ".join(f"0x{b:02x}" for b in small)
    for text in (
        f"DESCRIPTOR = pool.AddSerializedFile(b'{hexed}')",
        f'descriptor_data = "{hexed}"',
        f'<?php $pool->internalAddGeneratedFile(hex2bin("{small.hex()}"), true);',
        f'const char descriptor_table_protodef_x[] = {{ "{octal}" }};',
        f'java.lang.String[] descriptorData = {{ "{octal}" }};',
        f"var file_x_rawDesc = []byte{{{listed}}}",
        f'FromBase64String(string.Concat("{base64.b64encode(small).decode()}"))',
        f'file_descriptor_proto_data: &[u8] = b"{hexed}";',
    ):
        yield text.encode()
    yield il2cpp_metadata(plain)


def il2cpp_metadata(data: bytes) -> bytes:
    """IL2CPP metadata whose literals are C#'s 60-character chunks of
    ``data``'s base64, the second chunk stored first, as a shared one is."""
    text = base64.b64encode(data)
    literals = [text[k : k + 60] for k in range(0, len(text), 60)]
    literals = [literals[1], literals[0], *literals[2:]]
    table, blob = b"", b""
    for literal in literals:
        table += struct.pack("<Ii", len(literal), len(blob))
        blob += literal
    sizes = struct.pack("<5i", 29, 24, len(table), 24 + len(table), len(blob))
    return b"\xaf\x1b\xb1\xfa" + sizes + table + blob


def lz4_literals(data: bytes) -> bytes:
    """An LZ4 block that holds ``data`` as one run of literals."""
    if len(data) < 15:
        return bytes([len(data) << 4]) + data
    rest = len(data) - 15
    return b"\xf0" + b"\xff" * (rest // 255) + bytes([rest % 255]) + data


if __name__ == "__main__":
    main(pathlib.Path(sys.argv[1]))
