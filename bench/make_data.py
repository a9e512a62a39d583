"""Writes the benchmark's input files into a directory (build/bench-data):

  random.bin     random bytes
  elf.bin        slices of real ELF files from /usr/bin and /usr/lib, taken
                 from programs and libraries that do not use protobuf
  synthetic.bin  random and ELF bytes with thousands of real serialized
                 FileDescriptorProto messages scattered in them
  synthetic.ranges  the embedded messages, one "start end name" line each

The descriptors come from the protobuf package (the well-known types, the
descriptor schema, the compiler plugin protocol) and from every module of
googleapis-common-protos. Everything is derived from a fixed seed, so the
files are the same on every run on the same machine.

Usage: python bench/make_data.py OUT_DIR [SIZE_MB]
"""

import importlib
import os
import pathlib
import random
import re
import sys

import google.protobuf

SEED = 20261208
ELF_ROOTS = ("/usr/bin", "/usr/lib")
# Programs and libraries that may carry descriptors of their own.
PROTOBUF_USERS = re.compile(
    r"proto|grpc|upb|ignition|gz-msgs|onnx|opencv|caffe|tensorflow|ortools"
    r"|envoy|mysql|python3",
    re.IGNORECASE,
)
ELF_SLICE_MAX = 4 << 20
EMBEDDED_COUNT = 5000
# A 0x00 byte ends each embedded message: field number 0 is never valid, so
# the scan cannot read filler bytes as further fields of the message.
TERMINATOR = b"\x00"


def elf_files():
    """Yields ELF files in a stable order, skipping protobuf users."""
    for root in ELF_ROOTS:
        for dirpath, dirnames, filenames in os.walk(root):
            dirnames.sort()
            for name in sorted(filenames):
                path = os.path.join(dirpath, name)
                if PROTOBUF_USERS.search(path) or os.path.islink(path):
                    continue
                try:
                    if os.path.getsize(path) < 4096:
                        continue
                    with open(path, "rb") as f:
                        if f.read(4) == b"\x7fELF":
                            yield path
                except OSError:
                    continue


def elf_bytes(size):
    """Concatenated slices of at most ELF_SLICE_MAX bytes from many files."""
    parts, total = [], 0
    for path in elf_files():
        with open(path, "rb") as f:
            chunk = f.read(min(ELF_SLICE_MAX, size - total))
        parts.append(chunk)
        total += len(chunk)
        if total >= size:
            break
    if total < size:
        sys.exit(f"only {total} bytes of ELF files found under {ELF_ROOTS}")
    return b"".join(parts)


def pb2_modules():
    """Names of the generated modules of protobuf and of the googleapis
    common protos, found on disk next to google.protobuf."""
    site = pathlib.Path(google.protobuf.__file__).parent.parent.parent
    for path in sorted(site.glob("google/**/*_pb2.py")):
        rel = path.relative_to(site).with_suffix("")
        if "internal" in rel.parts or "test" in rel.name:
            continue
        yield ".".join(rel.parts)


def descriptors():
    """Serialized FileDescriptorProto of every importable module, by name."""
    found = {}
    for module_name in pb2_modules():
        try:
            module = importlib.import_module(module_name)
        except Exception:  # a module needing an optional dependency
            continue
        file_descriptor = getattr(module, "DESCRIPTOR", None)
        data = getattr(file_descriptor, "serialized_pb", None)
        if data:
            found[file_descriptor.name] = data
    return found


def random_bytes(rng, n):
    """randbytes in pieces: one call is limited to 2**31 bits."""
    step = 64 << 20
    return b"".join(rng.randbytes(min(step, n - k)) for k in range(0, n, step))


def synthetic(size, rng, elf, pool):
    """Random and ELF filler with EMBEDDED_COUNT descriptors from `pool`
    between them; returns the bytes and the embedded ranges."""
    names = sorted(pool)
    picks = [names[k % len(names)] for k in range(EMBEDDED_COUNT)]
    rng.shuffle(picks)
    payload = sum(len(pool[n]) + len(TERMINATOR) for n in picks)
    filler_total = size - payload
    if filler_total < EMBEDDED_COUNT:
        sys.exit("synthetic image too small for its descriptors")
    # Random gap lengths that add up to the filler size.
    cuts = sorted(rng.randrange(filler_total + 1) for _ in picks)
    gaps = [b - a for a, b in zip([0, *cuts], [*cuts, filler_total], strict=True)]
    out, ranges, pos = bytearray(), [], 0
    for k, name in enumerate(picks):
        gap = gaps[k]
        if k % 2 == 0:
            out += random_bytes(rng, gap)
        else:
            at = rng.randrange(len(elf) - gap)
            out += elf[at : at + gap]
        pos += gap
        data = pool[name]
        ranges.append((pos, pos + len(data), name))
        out += data + TERMINATOR
        pos += len(data) + len(TERMINATOR)
    out += random_bytes(rng, gaps[-1])
    assert len(out) == size
    return bytes(out), ranges


def main(argv):
    if len(argv) not in (2, 3):
        sys.exit(__doc__.strip())
    out = pathlib.Path(argv[1])
    size = (int(argv[2]) if len(argv) == 3 else 256) << 20
    out.mkdir(parents=True, exist_ok=True)
    rng = random.Random(SEED)

    (out / "random.bin").write_bytes(random_bytes(rng, size))
    elf = elf_bytes(size)
    (out / "elf.bin").write_bytes(elf)

    pool = descriptors()
    image, ranges = synthetic(size, rng, elf, pool)
    (out / "synthetic.bin").write_bytes(image)
    with open(out / "synthetic.ranges", "w") as f:
        for start, end, name in ranges:
            f.write(f"{start} {end} {name}\n")
    print(
        f"wrote {out}: {size >> 20} MB each; {len(ranges)} descriptors "
        f"({len(pool)} distinct files) in synthetic.bin",
        file=sys.stderr,
    )


if __name__ == "__main__":
    main(sys.argv)
