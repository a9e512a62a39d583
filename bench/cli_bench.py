"""Benchmark of the ravick command against the bare extension, in one run.

1. ``ravick scan --json -j 1`` on the Debian libraries and on the 256 MB
   synthetic image, against a script that reads the same files and calls
   ``ravick_lib.scan`` (both started as new interpreters, wall time), and the
   interpreter start-up each pays.
2. ``-j 2`` against ``-j 1`` over a directory of many real binaries.
3. ``ravick.find`` (the scan and every layer) on data holding no layer's
   form, against ``ravick_lib.scan`` alone on the same bytes, in process,
   and the signature pass by itself.

Usage: python bench/cli_bench.py [SAMPLES]  (after scripts/bench.sh or
bench/make_data.py wrote build/bench-data; fetches the binaries itself)
"""

import os
import pathlib
import statistics
import subprocess
import sys
import tempfile
import time

import ravick_lib

import ravick
from ravick import _signatures
from ravick.layers import MAX_HITS

ROOT = pathlib.Path(__file__).resolve().parent.parent
DATA = ROOT / "build" / "bench-data"
BASELINE = """
import sys, ravick_lib
n = 0
for p in sys.argv[1:]:
    with open(p, "rb") as f:
        n += len(ravick_lib.scan(f.read()))
print(n)
"""


def fetched(script: str) -> list[str]:
    out = subprocess.run(
        ["bash", str(ROOT / "scripts" / script)],
        capture_output=True,
        text=True,
        check=True,
    )
    return out.stdout.split()


def wall(cmd: list[str], samples: int) -> tuple[float, float]:
    """Best and median wall time of a command, output discarded."""
    times = []
    for _ in range(samples):
        t = time.perf_counter()
        subprocess.run(cmd, stdout=subprocess.DEVNULL, check=False)
        times.append(time.perf_counter() - t)
    return min(times), statistics.median(times)


def cpu(fn, samples: int) -> float:  # type: ignore[no-untyped-def]
    best = float("inf")
    for _ in range(samples):
        t = time.thread_time()
        fn()
        best = min(best, time.thread_time() - t)
    return best


def ravick_cmd(*args: str) -> list[str]:
    return [sys.executable, "-m", "ravick", "scan", "--no-progress", *args]


def command_overhead(samples: int) -> None:
    libs = fetched("fetch_binaries.sh")
    sets = [("18 Debian libraries", libs)]
    for label, name in [
        ("256 MB synthetic image (5000 descriptors)", "synthetic.bin"),
        ("256 MB of ELF slices (no descriptors)", "elf.bin"),
    ]:
        if (DATA / name).exists():
            sets.append((label, [str(DATA / name)]))
    print(
        "| input | files | MB | read + ravick_lib.scan s | ravick scan --json s | ratio |"
    )
    print("|---|--:|--:|--:|--:|--:|")
    for label, paths in sets:
        mb = sum(os.path.getsize(p) for p in paths) / 1e6
        base, base_med = wall([sys.executable, "-c", BASELINE, *paths], samples)
        cmd, cmd_med = wall(ravick_cmd("--json", "-j", "1", *paths), samples)
        print(
            f"| {label} | {len(paths)} | {mb:.1f} | {base:.3f} ({base_med:.3f}) "
            f"| {cmd:.3f} ({cmd_med:.3f}) | {cmd / base:.2f}x |"
        )
    bare, _ = wall([sys.executable, "-c", "pass"], samples)
    ext, _ = wall([sys.executable, "-c", "import ravick_lib"], samples)
    full, _ = wall([sys.executable, "-c", "import ravick.cli"], samples)
    print(
        f"\nStart-up (best of {samples}): bare interpreter {bare * 1e3:.0f} ms, "
        f"with ravick_lib {ext * 1e3:.0f} ms, with the ravick command's imports "
        f"{full * 1e3:.0f} ms."
    )


def worker_scaling(samples: int) -> None:
    sources = fetched("fetch_binaries.sh") + fetched("fetch_go_programs.sh")
    with tempfile.TemporaryDirectory() as tmp:
        for copy in range(4):
            for k, src in enumerate(sources):
                os.link(src, os.path.join(tmp, f"{copy}-{k}-{os.path.basename(src)}"))
        files = len(os.listdir(tmp))
        mb = sum(os.path.getsize(os.path.join(tmp, f)) for f in os.listdir(tmp)) / 1e6
        one, one_med = wall(ravick_cmd("--json", "-j", "1", tmp), samples)
        two, two_med = wall(ravick_cmd("--json", "-j", "2", tmp), samples)
    print("\n| directory | files | MB | -j 1 s | -j 2 s | -j 2 / -j 1 |")
    print("|---|--:|--:|--:|--:|--:|")
    print(
        f"| 4 copies of the libraries and containerd's programs | {files} | "
        f"{mb:.0f} | {one:.3f} ({one_med:.3f}) | {two:.3f} ({two_med:.3f}) | "
        f"{two / one:.2f}x |"
    )


def layer_pass(samples: int, libs: list[str]) -> None:
    print(
        "\n| data | MB | ravick_lib.scan ms | signatures ms "
        "| ravick.find ms | find / scan |"
    )
    print("|---|--:|--:|--:|--:|--:|")
    inputs = [
        ("18 Debian libraries", b"".join(pathlib.Path(p).read_bytes() for p in libs))
    ]
    for name in ("random.bin", "elf.bin"):
        if (DATA / name).exists():
            inputs.append((name, (DATA / name).read_bytes()))
    for label, data in inputs:
        scan = cpu(lambda d=data: ravick_lib.scan(d), samples)
        sigs = cpu(lambda d=data: _signatures.find(d, MAX_HITS), samples)
        found = cpu(lambda d=data: ravick.find(d), samples)
        print(
            f"| {label} | {len(data) / 1e6:.0f} | {scan * 1e3:.1f} | "
            f"{sigs * 1e3:.1f} | {found * 1e3:.1f} | {found / scan:.2f}x |"
        )


def main() -> None:
    samples = int(sys.argv[1]) if len(sys.argv) > 1 else 5
    print(f"Best of {samples} samples (median in brackets).\n")
    command_overhead(samples)
    worker_scaling(samples)
    layer_pass(samples, fetched("fetch_binaries.sh"))


if __name__ == "__main__":
    main()
