"""Benchmark of large images, as memory dumps and firmware come, in one run.

1. A 4 GB image made of the demo's real binaries (Debian's protobuf, gRPC,
   ONNX and OpenCV libraries and containerd's Go programs, whose descriptors
   are gzipped) copied over and over with random bytes between the copies,
   in the page cache: ``ravick scan --json`` with ``-j 1`` and ``-j 2``
   (new interpreters, wall time) against the native scan alone over a
   mapping of the same file (``ravick_lib.scan_range``, in this process).
2. A sparse image (8 GiB by default; holes with descriptors plain and
   gzipped near its start, middle and end), each run cold in a memory cgroup
   of 2 GiB: ``ravick scan --json -j 1`` and ``-j 2`` against the native
   scan alone over a mapping: what each finds, its time, the cgroup's peak.

Needs a writable cgroup v1 memory controller (or cgroup v2) for part 2;
without one, part 2 reports the run's own peak anonymous memory under an
RLIMIT_DATA of 2 GB instead.

Usage: python bench/image_bench.py [SAMPLES] [IMAGE_GB] [SPARSE_GB]
(a size of 0 leaves that part out)
"""

import gzip
import mmap
import os
import pathlib
import random
import resource
import statistics
import subprocess
import sys
import tempfile
import time

import ravick_lib
from google.protobuf import descriptor_pb2, timestamp_pb2

ROOT = pathlib.Path(__file__).resolve().parent.parent
CGROUP_V1 = pathlib.Path("/sys/fs/cgroup/memory")
LIMIT = 2 << 30


def timed(samples, fn):
    times = []
    for _ in range(samples):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return min(times), statistics.median(times)


def demo_binaries():
    paths = []
    for script in ("fetch_binaries.sh", "fetch_go_programs.sh"):
        out = subprocess.run(
            ["bash", str(ROOT / "scripts" / script)],
            capture_output=True,
            text=True,
            check=True,
        ).stdout
        paths += out.split()
    return paths


def real_image(path, gigabytes):
    rng = random.Random(5)
    blobs = [pathlib.Path(p).read_bytes() for p in demo_binaries()]
    size = 0
    with open(path, "wb") as f:
        while size < gigabytes << 30:
            for blob in blobs:
                f.write(blob)
                noise = rng.randbytes(rng.randrange(0, 1 << 16))
                f.write(noise)
                size += len(blob) + len(noise)
    return size


def sparse_image(path, gigabytes):
    size = gigabytes << 30
    plain = timestamp_pb2.DESCRIPTOR.serialized_pb
    packed = gzip.compress(descriptor_pb2.DESCRIPTOR.serialized_pb, mtime=0)
    with open(path, "wb") as f:
        f.truncate(size)
        for at, data in [(7, plain), (size // 2, packed), (size - 4096, plain)]:
            f.seek(at)
            f.write(data)
    return size


def native(path):
    with open(path, "rb") as f, mmap.mmap(f.fileno(), 0, prot=mmap.PROT_READ) as m:
        m.madvise(mmap.MADV_SEQUENTIAL)  # as the command maps a file
        return len(ravick_lib.scan_range(m))


def command(path, jobs, preexec=None):
    run = [sys.executable, "-m", "ravick", "scan", "--json", "-j", str(jobs), path]
    return subprocess.run(
        run, capture_output=True, check=True, preexec_fn=preexec
    ).stdout


def part_one(tmp, samples, gigabytes):
    path = os.path.join(tmp, "image.bin")
    size = real_image(path, gigabytes)
    native(path)  # into the page cache
    ranges = native(path)
    base = timed(samples, lambda: native(path))
    one = timed(samples, lambda: command(path, 1))
    two = timed(samples, lambda: command(path, 2))
    print(f"Image of real binaries: {size / 1e9:.2f} GB, {ranges} native ranges.")
    print()
    print("| run | time | against the native scan |")
    print("|---|--:|--:|")
    print(f"| native scan over the mapping | {base[0]:.2f} s ({base[1]:.2f}) | 1.00x |")
    for label, t in (("-j 1", one), ("-j 2", two)):
        print(
            f"| `ravick scan --json {label}` | {t[0]:.2f} s ({t[1]:.2f}) "
            f"| {t[0] / base[0]:.2f}x |"
        )
    print(f"\n`-j 2` against `-j 1`: {one[0] / two[0]:.2f}x")
    os.unlink(path)


def in_cgroup(limit):
    group = CGROUP_V1 / f"ravick-bench-{os.getpid()}-{time.monotonic_ns()}"
    try:
        group.mkdir()
        (group / "memory.limit_in_bytes").write_text(str(limit))
    except OSError:
        return None, None

    def enter():
        (group / "cgroup.procs").write_text(str(os.getpid()))

    return group, enter


def evict(path):
    # Each run starts cold, its pages read in (and charged) by itself.
    with open(path, "rb") as f:
        os.posix_fadvise(f.fileno(), 0, 0, os.POSIX_FADV_DONTNEED)


NATIVE = (
    "import mmap, sys, ravick_lib\n"
    "f = open(sys.argv[1], 'rb')\n"
    "m = mmap.mmap(f.fileno(), 0, prot=mmap.PROT_READ)\n"
    "m.madvise(mmap.MADV_SEQUENTIAL)\n"
    "ravick_lib.scan_range(m)\n"
)


def limited_run(run, path):
    """Wall time and peak memory of ``run`` in a fresh 2 GB memory cgroup
    (or under an RLIMIT_DATA of 2 GB where no cgroup can be made)."""
    evict(path)
    group, enter = in_cgroup(LIMIT)
    if enter is None:

        def enter():
            resource.setrlimit(resource.RLIMIT_DATA, (LIMIT, LIMIT))

    start = time.perf_counter()
    out = subprocess.run(run, capture_output=True, check=True, preexec_fn=enter)
    took = time.perf_counter() - start
    peak = None
    if group is not None:
        peak = int((group / "memory.max_usage_in_bytes").read_text())
        group.rmdir()
    return took, peak, out.stdout


def part_two(tmp, gigabytes):
    path = os.path.join(tmp, "sparse.bin")
    size = sparse_image(path, gigabytes)
    base, base_peak, _ = limited_run([sys.executable, "-c", NATIVE, path], path)
    print()
    print(f"Sparse image of {size / 2**30:.0f} GiB, every run cold in a memory")
    print(f"cgroup of {LIMIT >> 30} GiB (peak: page cache included):")
    print()
    print("| run | found | time | peak | against the native scan |")
    print("|---|--:|--:|--:|--:|")
    mb = "-" if base_peak is None else f"{base_peak / 1e6:.0f} MB"
    print(f"| native scan over a mapping | - | {base:.1f} s | {mb} | 1.00x |")
    for jobs in (1, 2):
        run = [sys.executable, "-m", "ravick", "scan", "--json", "-j", str(jobs)]
        took, peak, out = limited_run([*run, path], path)
        found = out.count(b'"sha256"')
        mb = "-" if peak is None else f"{peak / 1e6:.0f} MB"
        print(
            f"| `ravick scan --json -j {jobs}` | {found} of 3 | {took:.1f} s "
            f"| {mb} | {took / base:.2f}x |"
        )
    os.unlink(path)


def main():
    samples = int(sys.argv[1]) if len(sys.argv) > 1 else 3
    gigabytes = int(sys.argv[2]) if len(sys.argv) > 2 else 4
    sparse = int(sys.argv[3]) if len(sys.argv) > 3 else 8
    print(f"Machine: {os.cpu_count()} cores; best of {samples} (median).")
    print()
    with tempfile.TemporaryDirectory(dir=ROOT / "build") as tmp:
        if gigabytes:
            part_one(tmp, samples, gigabytes)
        if sparse:
            part_two(tmp, sparse)


if __name__ == "__main__":
    main()
