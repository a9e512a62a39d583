"""End-to-end scans of real serialized descriptors embedded in random bytes
and in slices of real ELF files."""

import os
import random
import sys
import threading

import pytest
import ravick_lib

from descriptors import (
    file_descriptor,
    googleapis_descriptors,
    top_level_boundaries,
    varint,
    wkt_descriptors,
)

ALL = wkt_descriptors() + googleapis_descriptors()


def elf_bytes() -> bytes:
    for path in (
        "/usr/lib/x86_64-linux-gnu/libc.so.6",
        os.path.realpath(sys.executable),
    ):
        if os.path.exists(path):
            with open(path, "rb") as f:
                data = f.read()
            if data[:4] == b"\x7fELF" and not ravick_lib.scan(data):
                return data
    pytest.skip("no ELF file without descriptors found")


def embed(blobs, filler, rng):
    """Lays out blobs, each followed by 0x00, between pieces of filler."""
    parts, ranges, pos = [], [], 0
    for blob in blobs:
        gap = filler(rng.randrange(0, 400))
        parts += [gap, blob, b"\x00"]
        pos += len(gap)
        ranges.append((pos, pos + len(blob)))
        pos += len(blob) + 1
    parts.append(filler(rng.randrange(0, 400)))
    return b"".join(parts), ranges


def test_collection_is_large():
    assert len(ALL) > 60


@pytest.mark.parametrize("source", ["random", "elf"])
def test_every_real_descriptor_is_found_exactly(source):
    rng = random.Random(source)
    if source == "random":
        def filler(n):
            return rng.randbytes(n)
    else:
        elf = elf_bytes()

        def filler(n):
            start = rng.randrange(0, len(elf) - n)
            return elf[start:start + n]
    blobs = list(ALL)
    rng.shuffle(blobs)
    data, expected = embed(blobs, filler, rng)
    assert ravick_lib.scan(data) == expected


def test_back_to_back_split_at_second_name():
    a, b = wkt_descriptors()[:2]
    assert ravick_lib.scan(a + b) == [(0, len(a)), (len(a), len(a) + len(b))]
    assert ravick_lib.scan(a + b + b"\x00") == [(0, len(a)), (len(a), len(a) + len(b))]


@pytest.mark.parametrize("blob", wkt_descriptors(), ids=lambda b: str(len(b)))
def test_descriptor_cut_short_gives_its_clean_prefix(blob):
    bounds = top_level_boundaries(blob)
    # Cut inside the last top-level field: the range stops at its tag.
    cut = bounds[-2] + (bounds[-1] - bounds[-2]) // 2
    if cut == bounds[-2]:
        pytest.skip("last field has one byte")
    expected = [(0, bounds[-2])] if len(bounds) > 3 else []
    assert ravick_lib.scan(blob[:cut]) == expected


def test_corrupted_nested_string_rolls_back_to_last_clean_field():
    from google.protobuf import descriptor_pb2

    fd = descriptor_pb2.FileDescriptorProto(name="corrupt/me.proto", package="pkg.x")
    fd.message_type.add(name="First").field.add(name="aaaa", number=1, type=9, label=1)
    fd.message_type.add(name="Second").field.add(name="bbbb", number=1, type=9, label=1)
    blob = bytearray(fd.SerializeToString())
    bounds = top_level_boundaries(bytes(blob))
    where = blob.index(b"bbbb")
    blob[where + 1] = 0xFF  # invalid UTF-8 inside Second.field[0].name
    broken_field = max(b for b in bounds if b <= where)
    assert ravick_lib.scan(bytes(blob) + b"\x00") == [(0, broken_field)]


def test_dirty_last_field_at_end_of_buffer_is_left_out():
    blob = file_descriptor("a/b.proto", package="p", dependency=["c.proto"])
    # edition = -1: a closed-enum value outside its range, written last.
    tail = b"\x70" + b"\xff" * 9 + b"\x01"
    data = blob + tail
    assert ravick_lib.scan(data) == [(0, len(blob))]
    # The same bytes followed by one more field are cut back the same way.
    assert ravick_lib.scan(data + b"\x00") == [(0, len(blob))]


def test_name_only_message_is_not_reported():
    assert ravick_lib.scan(file_descriptor("only/name.proto")) == []
    two = file_descriptor("a.proto") + file_descriptor("b.proto")
    assert ravick_lib.scan(two) == []


def test_non_minimal_name_length_passes_prefilter_but_not_the_scorer():
    # The padded length is an encoding anomaly in the first top-level field,
    # so the longest clean prefix is empty and nothing is reported; the same
    # record written canonically is found.
    blob = file_descriptor("x.proto", package="p")
    assert blob[:2] == b"\x0a\x07"
    padded = b"\x0a\x87\x00" + blob[2:]
    assert ravick_lib.scan(padded) == []
    assert ravick_lib.scan(blob) == [(0, len(blob))]


def nested_descriptor(levels: int) -> tuple[bytes, int]:
    """A FileDescriptorProto whose first message nests `levels` message
    types inside each other; returns the bytes and where that field starts."""
    head = file_descriptor("deep/nest.proto", package="deep")
    sizes = [0]
    for _ in range(levels - 1):
        inner = sizes[-1]
        sizes.append(1 + len(varint(inner)) + inner)
    parts = [b"\x22" + varint(sizes[-1])]  # message_type
    for inner in reversed(sizes[:-1]):
        parts.append(b"\x1a" + varint(inner))  # nested_type
    return head + b"".join(parts), len(head)


@pytest.mark.parametrize(
    ("levels", "whole"), [(1000, True), (1001, False), (100_000, False)]
)
def test_deep_nesting_from_a_worker_thread(levels, whole):
    data, deep_start = nested_descriptor(levels)
    expected = [(0, len(data))] if whole else [(0, deep_start)]
    result = {}
    old = threading.stack_size(int(__import__("os").environ.get("RAVICK_TEST_STACK", 512 * 1024)))
    try:
        t = threading.Thread(target=lambda: result.update(r=ravick_lib.scan(data)))
        t.start()
        t.join()
    finally:
        threading.stack_size(old)
    assert result["r"] == expected
