"""Writes seed corpora for the fuzz targets: real serialized descriptors made
by the protobuf package at run time, and fragments and mutations of them."""

import pathlib
import random
import sys

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
    scan_dir.mkdir(parents=True, exist_ok=True)
    score_dir.mkdir(parents=True, exist_ok=True)
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
            n += 1


if __name__ == "__main__":
    main(pathlib.Path(sys.argv[1]))
