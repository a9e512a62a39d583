"""Benchmark of ``ravick extract`` against ``ravick scan --json``, in one run.

Both commands run on the same inputs, as new interpreters (wall time, best
and median of SAMPLES): the 18 Debian libraries of scripts/fetch_binaries.sh
and the 256 MB synthetic image of bench/make_data.py. What extract costs
beyond the scan is printing every distinct descriptor as .proto source,
checking the tree and writing it with its descriptor set. Each extract
writes into a fresh directory.

Usage: python bench/extract_bench.py [SAMPLES] [JOBS]
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
        cmd, cleanup = make_cmd(k)
        t = time.perf_counter()
        proc = subprocess.run(cmd, capture_output=True, text=True, check=False)
        times.append(time.perf_counter() - t)
        if proc.returncode not in (0, 1):
            sys.exit(f"{cmd[3]} failed ({proc.returncode}): {proc.stderr[-2000:]}")
        out = proc.stdout
        cleanup()
    return min(times), statistics.median(times), out


def main(argv: list[str]) -> None:
    samples = int(argv[1]) if len(argv) > 1 else 5
    jobs = argv[2] if len(argv) > 2 else "1"
    sets = [
        ("18 Debian libraries", fetched("fetch_binaries.sh")),
        ("256 MB synthetic image", [synthetic()]),
    ]
    scratch = pathlib.Path(tempfile.mkdtemp(prefix="extract-bench-"))
    print(f"`-j {jobs}`, best of {samples} (median in brackets), wall seconds\n")
    print(
        "| input | MB | descriptors | files written | scan --json | extract "
        "| extract - scan |"
    )
    print("|---|--:|--:|--:|--:|--:|--:|")
    try:
        for label, paths in sets:
            mb = sum(os.path.getsize(p) for p in paths) / 1e6

            def scan_cmd(_: int, paths: list[str] = paths):  # type: ignore[no-untyped-def]
                return ravick("scan", "--json", "-j", jobs, *paths), lambda: None

            def extract_cmd(k: int, paths: list[str] = paths):  # type: ignore[no-untyped-def]
                out = scratch / f"out{k}"
                cmd = ravick(
                    "extract",
                    "--json",
                    "-j",
                    jobs,
                    "-o",
                    str(out),
                    "--descriptor-set",
                    str(scratch / f"set{k}.pb"),
                    *paths,
                )
                return cmd, lambda: shutil.rmtree(out, ignore_errors=True)

            scan_best, scan_med, _ = wall(scan_cmd, samples)
            ex_best, ex_med, out = wall(extract_cmd, samples)
            doc = json.loads(out)
            print(
                f"| {label} | {mb:.0f} | {doc['descriptors']} | {len(doc['written'])} "
                f"| {scan_best:.2f} ({scan_med:.2f}) | {ex_best:.2f} ({ex_med:.2f}) "
                f"| {ex_best - scan_best:.2f} |"
            )
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    main(sys.argv)
