import pathlib
import random
import subprocess

import pytest


@pytest.fixture
def rng():
    return random.Random(20261208)


@pytest.fixture
def descriptor_blob():
    """Random bytes holding two real serialized descriptors, each followed by
    a 0x00 byte, and their expected ranges."""
    from google.protobuf import descriptor_pb2, timestamp_pb2

    r = random.Random(7)
    parts = [bytes(r.randrange(256) for _ in range(300))]
    ranges = []
    pos = len(parts[0])
    for module in (timestamp_pb2, descriptor_pb2):
        data = module.DESCRIPTOR.serialized_pb
        ranges.append((pos, pos + len(data)))
        filler = b"\x00" + bytes(r.randrange(256) for _ in range(100))
        parts += [data, filler]
        pos += len(data) + len(filler)
    return b"".join(parts), ranges


@pytest.fixture(scope="session")
def generated_sources():
    """The root of Debian's packaged generated code and protobuf-java jar
    (scripts/fetch_generated_sources.sh downloads and unpacks them)."""
    script = pathlib.Path(__file__).resolve().parent.parent / "scripts"
    out = subprocess.run(
        ["bash", str(script / "fetch_generated_sources.sh")],
        capture_output=True,
        text=True,
        check=True,
        timeout=900,
    )
    return pathlib.Path(out.stdout.split()[-1])
