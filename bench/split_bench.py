"""Benchmark of one large file on several cores, in one run.

1. In process: ``scan_in_parts(data, 2)`` (the native scan split across two
   threads) against ``ravick_lib.scan(data)`` alone, on an image dense with
   descriptors (every distinct descriptor of the Debian libraries, back to
   back with a little noise, where the scan is bound by the processor), on
   the synthetic image and on random bytes (sparse: bound by memory
   bandwidth). The results are checked to be identical.
2. The command on the dense image written to a file, in the page cache:
   ``ravick scan`` with ``--json``, ``--jsonl`` and the listing, each with
   ``-j 1`` and ``-j 2``, alternated (new interpreters, wall time, peak
   resident memory of the command and its workers, the mapped file's pages
   included), against the native scan alone over a mapping of the file.

Usage: python bench/split_bench.py [SAMPLES] [DENSE_MB]  (after
scripts/bench.sh or bench/make_data.py wrote build/bench-data; fetches the
binaries itself)
"""

import mmap
import os
import pathlib
import random
import statistics
import subprocess
import sys
import tempfile
import time

import ravick_lib

import ravick
from ravick.split_scan import scan_in_parts

ROOT = pathlib.Path(__file__).resolve().parent.parent
DATA = ROOT / "build" / "bench-data"


def timed(samples, fn):
    times = []
    result = None
    for _ in range(samples):
        start = time.perf_counter()
        result = fn()
        times.append(time.perf_counter() - start)
    return min(times), statistics.median(times), result


def dense_image(megabytes):
    libs = subprocess.run(
        ["bash", str(ROOT / "scripts" / "fetch_binaries.sh")],
        capture_output=True,
        text=True,
        check=True,
    ).stdout.split()
    seen = {}
    for path in libs:
        for found in ravick.find(pathlib.Path(path).read_bytes()):
            if not found.layers:
                seen.setdefault(found.sha256, found.data)
    rng = random.Random(7)
    pool = list(seen.values())
    parts, size = [], 0
    while size < megabytes << 20:
        piece = rng.choice(pool) + rng.randbytes(rng.randrange(0, 64))
        parts.append(piece)
        size += len(piece)
    return b"".join(parts), len(pool)


def row(label, data, samples):
    one, one_med, expected = timed(samples, lambda: ravick_lib.scan(data))
    two, two_med, got = timed(samples, lambda: scan_in_parts(data, 2))
    assert got == expected, label
    mb = len(data) / 1e6
    print(
        f"| {label} | {mb:.0f} MB | {len(expected)} | {one:.3f} s ({one_med:.3f}) "
        f"| {two:.3f} s ({two_med:.3f}) | {one / two:.2f}x |"
    )


PEAK = (
    "import os, subprocess, sys, time\n"
    "start = time.perf_counter()\n"
    "child = subprocess.Popen(sys.argv[1:], stdout=subprocess.DEVNULL)\n"
    "_, status, usage = os.wait4(child.pid, 0)\n"
    "print(time.perf_counter() - start, usage.ru_maxrss)\n"
    "sys.exit(os.waitstatus_to_exitcode(status))\n"
)


def command(run):
    """Wall seconds of one ``run`` (its output thrown away) and its peak
    resident memory in MB."""
    out = subprocess.run(
        [sys.executable, "-c", PEAK, *run], capture_output=True, check=True
    ).stdout.split()
    return float(out[0]), int(out[1]) * 1024 / 1e6


def native(path):
    with open(path, "rb") as f, mmap.mmap(f.fileno(), 0, prot=mmap.PROT_READ) as m:
        return len(ravick_lib.scan_range(m))


def commands(path, samples):
    base, base_median, _ = timed(samples, lambda: native(path))
    print()
    print("| command on the dense image | time | peak | against the native scan |")
    print("|---|--:|--:|--:|")
    print(
        f"| native scan over a mapping | {base:.2f} s ({base_median:.2f}) | - | 1.00x |"
    )
    for form in ("--json", "--jsonl", ""):
        runs = {}
        for jobs in (1, 2):
            run = [sys.executable, "-m", "ravick", "scan", "-j", str(jobs), path]
            if form:
                run.insert(4, form)
            runs[jobs] = run
        # Alternated, so that a slow spell of the machine hits both alike.
        times, peaks = {1: [], 2: []}, {1: 0.0, 2: 0.0}
        for _ in range(samples):
            for jobs, run in runs.items():
                seconds, peak = command(run)
                times[jobs].append(seconds)
                peaks[jobs] = max(peaks[jobs], peak)
        for jobs in (1, 2):
            best, median = min(times[jobs]), statistics.median(times[jobs])
            shown = " ".join(["`ravick scan", *([form] if form else []), f"-j {jobs}`"])
            print(
                f"| {shown} | {best:.2f} s ({median:.2f}) | {peaks[jobs]:.0f} MB "
                f"| {best / base:.2f}x |"
            )
        ratio = min(times[1]) / min(times[2])
        median_ratio = statistics.median(times[1]) / statistics.median(times[2])
        print(f"| (`-j 2` against `-j 1`) | {ratio:.2f}x ({median_ratio:.2f}x) | | |")


def main():
    samples = int(sys.argv[1]) if len(sys.argv) > 1 else 3
    dense_mb = int(sys.argv[2]) if len(sys.argv) > 2 else 512
    dense, distinct = dense_image(dense_mb)
    print(f"Machine: {os.cpu_count()} cores; best of {samples} (median).")
    print()
    print("| input | size | ranges | scan, 1 thread | in 2 parts | ratio |")
    print("|---|---|---|---|---|---|")
    row(f"dense image ({distinct} distinct descriptors)", dense, samples)
    for name in ("synthetic.bin", "random.bin"):
        if (DATA / name).exists():
            row(name, (DATA / name).read_bytes(), samples)
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "dense.bin")
        with open(path, "wb") as f:
            f.write(dense)
        del dense
        native(path)  # into the page cache
        commands(path, samples)


if __name__ == "__main__":
    main()
