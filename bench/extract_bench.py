"""Benchmark of ``ravick extract`` against ``ravick scan --json``, in one run.

Both commands run on the same inputs, as new interpreters (wall time, best
and median of SAMPLES), with ``-j 1`` and ``-j 2``: the demo's inputs (the
18 Debian libraries of scripts/fetch_binaries.sh and containerd's five Go
programs), a directory of 1,000 small programs that cc builds here, each
holding one to five of the libraries' real descriptors, and the 256 MB
synthetic image of bench/make_data.py. What extract costs beyond the scan
is printing every distinct descriptor as .proto source, checking the tree
and writing it with its descriptor set. Each extract writes into a fresh
directory, and the file system is synced between the timed runs. Nothing
is deleted until the end: on a file system mounted with ``discard`` a
deletion slows the writes of the next seconds several times over.

Usage: python bench/extract_bench.py [SAMPLES]
(fetches the binaries and makes build/bench-data/synthetic.bin if missing)
"""

import json
import os
import pathlib
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

from cli_bench import fetched

ROOT = pathlib.Path(__file__).resolve().parent.parent
DATA = ROOT / "build" / "bench-data"


def synthetic() -> str:
    path = DATA / "synthetic.bin"
    if not path.exists():
        subprocess.run(
            [sys.executable, str(ROOT / "bench" / "make_data.py"), str(DATA)],
            check=True,
        )
    return str(path)


def ravick(*args: str) -> list[str]:
    return [sys.executable, "-m", "ravick", *args, "--no-progress"]


def wall(make_cmd, samples: int) -> tuple[float, float, str]:  # type: ignore[no-untyped-def]
    """Best and median wall time; the standard output of the last run."""
    times, out = [], ""
    for k in range(samples):
        cmd = make_cmd(k)
        t = time.perf_counter()
        proc = subprocess.run(cmd, capture_output=True, text=True, check=False)
        times.append(time.perf_counter() - t)
        if proc.returncode not in (0, 1):
            sys.exit(f"{cmd[3]} failed ({proc.returncode}): {proc.stderr[-2000:]}")
        out = proc.stdout
        os.sync()
    return min(times), statistics.median(times), out


def small_programs(directory: pathlib.Path, count: int) -> list[str]:
    """``count`` programs built by cc, each with one to five of the
    libraries' distinct descriptors in its read-only data."""
    import random
    from concurrent.futures import ThreadPoolExecutor

    import ravick

    descriptors: dict[str, bytes] = {}
    for path in fetched("fetch_binaries.sh"):
        for found in ravick.find(pathlib.Path(path).read_bytes()):
            if found.plausible and not found.layers:
                descriptors.setdefault(found.sha256, found.data)
    pool = sorted(descriptors.values())
    rng = random.Random(21)
    directory.mkdir(parents=True, exist_ok=True)

    def build(k: int, chosen: list[bytes]) -> str:
        arrays = [
            f"const unsigned char d{j}[] = {{{','.join(map(str, data))}}};"
            for j, data in enumerate(chosen)
        ]
        uses = " + ".join(f"d{j}[0]" for j in range(len(chosen)))
        source = directory / f"p{k}.c"
        source.write_text(
            "\n".join(arrays) + f"\nint main(void) {{ return {uses}; }}\n"
        )
        out = directory / f"p{k:04d}"
        subprocess.run(["cc", "-O0", "-o", str(out), str(source)], check=True)
        return str(out)

    picks = [rng.sample(pool, rng.randint(1, 5)) for _ in range(count)]
    with ThreadPoolExecutor(os.cpu_count() or 1) as threads:
        return list(threads.map(build, range(count), picks))


def main(argv: list[str]) -> None:
    samples = int(argv[1]) if len(argv) > 1 else 5
    scratch = pathlib.Path(tempfile.mkdtemp(prefix="extract-bench-"))
    try:
        demo = fetched("fetch_binaries.sh") + fetched("fetch_go_programs.sh")
        sets = [
            ("the demo's 23 inputs", demo),
            ("1,000 small programs", small_programs(scratch / "programs", 1000)),
            ("256 MB synthetic image", [synthetic()]),
        ]
        print(f"Best of {samples} (median in brackets), wall seconds.\n")
        print(
            "| input | MB | descriptors | files written | scan --json -j 1 "
            "| extract -j 1 | extract / scan | extract -j 2 | -j 1 / -j 2 |"
        )
        print("|---|--:|--:|--:|--:|--:|--:|--:|--:|")
        for label, paths in sets:
            row(label, paths, samples, scratch)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


def row(label: str, paths: list[str], samples: int, scratch: pathlib.Path) -> None:
    mb = sum(os.path.getsize(p) for p in paths) / 1e6

    def scan_cmd(_: int):  # type: ignore[no-untyped-def]
        return ravick("scan", "--json", "-j", "1", *paths)

    def extract_cmd(jobs: str):  # type: ignore[no-untyped-def]
        def make(k: int):  # type: ignore[no-untyped-def]
            out = pathlib.Path(tempfile.mkdtemp(dir=scratch)) / "out"
            return ravick(
                "extract", "--json", "-j", jobs, "-o", str(out),
                "--descriptor-set", str(out.parent / "set.pb"), *paths,
            )  # fmt: skip

        return make

    scan_best, scan_med, _ = wall(scan_cmd, samples)
    one_best, one_med, out = wall(extract_cmd("1"), samples)
    two_best, two_med, _ = wall(extract_cmd("2"), samples)
    doc = json.loads(out)
    print(
        f"| {label} | {mb:.0f} | {doc['descriptors']} | {len(doc['written'])} "
        f"| {scan_best:.2f} ({scan_med:.2f}) | {one_best:.2f} ({one_med:.2f}) "
        f"| {one_best / scan_best:.2f}x | {two_best:.2f} ({two_med:.2f}) "
        f"| {one_best / two_best:.2f}x |"
    )


if __name__ == "__main__":
    main(sys.argv)
