"""Scans on many threads at once, on real and hostile data: every result must
equal the single-threaded one. The module needs no interpreter lock, so under
a free-threaded interpreter the threads really run in parallel; a fresh
interpreter also makes them race for the first-use graph load."""

import random
import subprocess
import sys
import sysconfig
import threading
from pathlib import Path

import pytest
import ravick_lib

from descriptors import varint, wkt_descriptors

THREADS = 16
ROUNDS = 2


def free_threaded_build() -> bool:
    return bool(sysconfig.get_config_var("Py_GIL_DISABLED"))


def gil_enabled() -> bool:
    return getattr(sys, "_is_gil_enabled", lambda: True)()


def embedded(blobs, rng):
    """Blobs between random gaps, each followed by 0x00 (field number 0 ends
    any message), the first one at offset 0; returns data and ranges."""
    parts, ranges, pos = [], [], 0
    for k, blob in enumerate(blobs):
        gap = rng.randbytes(rng.randrange(400)) if k else b""
        parts += [gap, blob, b"\x00"]
        pos += len(gap)
        ranges.append((pos, pos + len(blob)))
        pos += len(blob) + 1
    return b"".join(parts), ranges


def name_record(name: bytes) -> bytes:
    return b"\x0a" + bytes([len(name)]) + name


def suffix_spam(rng) -> bytes:
    names = [b"a.proto", b".proto", b"google/protobuf/any.proto", b"a//b.proto",
             b"x/../y.proto", b"a\x01.proto", b"\xc2\xa0.proto", b"a\xc3.proto"]
    parts = []
    for _ in range(2000):
        name = rng.choice(names)
        kind = rng.randrange(4)
        if kind == 0:
            parts.append(b".proto")
        elif kind == 1:  # a length that misses the suffix
            parts.append(b"\x0a" + bytes([len(name) + rng.randrange(-2, 3)]) + name)
        else:  # a name record, often followed by a package field
            parts.append(name_record(name) + (b"\x12\x01p" if rng.randrange(2) else b""))
            parts.append(rng.randbytes(rng.randrange(8)))
    return b"".join(parts)


def nested(levels: int) -> bytes:
    """A FileDescriptorProto whose first message nests `levels` messages."""
    head = name_record(b"deep/nest.proto") + b"\x12\x04deep"
    body = b""
    for _ in range(levels - 1):
        body = b"\x1a" + varint(len(body)) + body  # nested_type
    return head + b"\x22" + varint(len(body)) + body  # message_type


def build_inputs():
    """(label, data, expected ranges or None) for real and hostile data."""
    rng = random.Random(20261208)
    real = wkt_descriptors()
    inputs = [("leading candidate", real[0] + b"\x00", [(0, len(real[0]))])]
    inputs.append(("embedded descriptors", *embedded(real, rng)))
    truncated = b"".join(
        blob[: rng.randrange(1, len(blob))] + rng.randbytes(rng.randrange(64))
        for blob in real
    )
    inputs.append(("truncated descriptors", truncated, None))
    mutated = []
    for blob in real:
        b = bytearray(blob)
        for _ in range(8):
            b[rng.randrange(len(b))] = rng.randrange(256)
        mutated.append(bytes(b))
    inputs.append(("mutated descriptors", b"".join(mutated), None))
    inputs.append(("descriptors back to back", b"".join(real), None))
    dense = bytes(0x0A if rng.randrange(3) == 0 else rng.randrange(256)
                  for _ in range(32 * 1024))
    inputs.append(("random bytes, dense in 0x0A", dense, None))
    inputs.append(("many .proto suffixes", suffix_spam(rng), None))
    inputs.append(("1001 nested messages", nested(1001), None))
    return inputs


def scan_on_threads(inputs):
    """Every thread scans every input ROUNDS times, all starting together;
    thread t takes the inputs after the first in an order rotated by t."""
    results = [[None] * len(inputs) for _ in range(THREADS * ROUNDS)]
    errors = []
    start = threading.Barrier(THREADS)

    def work(t):
        try:
            start.wait()
            for r in range(ROUNDS):
                for k in range(len(inputs)):
                    j = 0 if k == 0 else 1 + (k - 1 + t) % (len(inputs) - 1)
                    results[t * ROUNDS + r][j] = ravick_lib.scan(inputs[j][1])
        except BaseException as e:  # PanicException derives from BaseException
            errors.append(e)

    threads = [threading.Thread(target=work, args=(t,)) for t in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    if errors:
        raise errors[0]
    return results


def check_against_single_threaded(inputs, results):
    for j, (label, data, expected) in enumerate(inputs):
        single = ravick_lib.scan(data)
        if expected is not None:
            assert single == expected, label
        differing = [k for k, run in enumerate(results) if run[j] != single]
        assert not differing, f"{label}: {len(differing)} runs differ"


def test_concurrent_scans_match_single_threaded():
    inputs = build_inputs()
    check_against_single_threaded(inputs, scan_on_threads(inputs))


@pytest.mark.skipif(not free_threaded_build(),
                    reason="the interpreter is not free-threaded")
def test_concurrent_scans_run_without_the_gil():
    # A module that did not declare it needs no GIL would have turned the
    # GIL back on when it was imported.
    assert not gil_enabled(), "the GIL is enabled (PYTHON_GIL=1 or the import)"
    inputs = build_inputs()
    check_against_single_threaded(inputs, scan_on_threads(inputs))


FRESH_PROCESS = """
import sys
sys.path.insert(0, sys.argv[1])
import test_threads as t
inputs = t.build_inputs()
results = t.scan_on_threads(inputs)  # the first scans of this process
t.check_against_single_threaded(inputs, results)
print("ok", "gil" if t.gil_enabled() else "no gil")
"""


def test_threads_race_for_the_first_graph_load_in_a_fresh_interpreter():
    out = subprocess.run(
        [sys.executable, "-c", FRESH_PROCESS, str(Path(__file__).parent)],
        capture_output=True,
        text=True,
        timeout=600,
    )
    assert out.returncode == 0, out.stderr
    expected = "ok no gil" if free_threaded_build() and not gil_enabled() else "ok gil"
    assert out.stdout.strip() == expected
