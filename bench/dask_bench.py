"""The cost of scanning through a Dask cluster instead of local processes.

Builds a corpus of real binaries (the Debian libraries of
scripts/fetch_binaries.sh and the containerd programs of
scripts/fetch_go_programs.sh, COPIES times in a temporary directory) and as
many empty files, then times, in the same process and round by round in
turn, a local run with two worker processes against a run on a two-worker
LocalCluster. Prints a markdown table.

    PYTHONPATH=python .venv/bin/python bench/dask_bench.py [--copies 2] [--rounds 5]
"""

from __future__ import annotations

import argparse
import os
import pathlib
import pickle
import platform
import shutil
import statistics
import sys
import tempfile
import time
from collections.abc import Callable
from concurrent.futures import Executor
from dataclasses import dataclass
from functools import partial

from ravick.distributed import dask_executor
from ravick.inputs import FileReport, Target, find_in_paths

ROOT = pathlib.Path(__file__).resolve().parent.parent
SOURCES = [
    ROOT / "build" / "binaries" / "root",
    ROOT / "build" / "go-programs" / "root",
]


@dataclass(frozen=True)
class Timing:
    """Best and median wall time of repeated runs over one corpus."""

    best: float
    median: float


def build_corpus(top: pathlib.Path, copies: int) -> pathlib.Path:
    """Every regular file of the fetched trees, copied once (a fetch running
    meanwhile rewrites them), then hard-linked ``copies - 1`` times more."""
    binaries = top / "binaries"
    for source in SOURCES:
        for path in sorted(source.rglob("*")):
            if not path.is_file() or path.is_symlink():
                continue
            name = pathlib.Path(source.parent.name, path.relative_to(source))
            first = binaries / "0" / name
            first.parent.mkdir(parents=True, exist_ok=True)
            shutil.copyfile(path, first)
            for copy in range(1, copies):
                target = binaries / str(copy) / name
                target.parent.mkdir(parents=True, exist_ok=True)
                os.link(first, target)
    return binaries


def build_empty(top: pathlib.Path, count: int) -> pathlib.Path:
    """``count`` empty files: what is left is the cost of one task."""
    empty = top / "empty"
    empty.mkdir()
    for i in range(count):
        (empty / f"{i:05}").write_bytes(b"")
    return empty


def run(corpus: pathlib.Path, executor: Executor | None) -> list[FileReport]:
    return list(find_in_paths([str(corpus)], workers=2, executor=executor))


def same(a: list[FileReport], b: list[FileReport]) -> bool:
    def data(reports: list[FileReport]) -> list[list[bytes]]:
        return [[f.data for f in r.found] for r in reports]

    return a == b and data(a) == data(b)


def timed(runs: list[Callable[[], object]], rounds: int) -> list[Timing]:
    """Times each of ``runs`` ``rounds`` times, taking turns round by round."""
    samples: list[list[float]] = [[] for _ in runs]
    for _ in range(rounds):
        for fn, times in zip(runs, samples, strict=True):
            started = time.perf_counter()
            fn()
            times.append(time.perf_counter() - started)
    return [Timing(min(t), statistics.median(t)) for t in samples]


def traffic(reports: list[FileReport]) -> tuple[int, int, int]:
    """Pickled bytes a task carries out (largest) and back (mean, largest)."""
    out = max(len(pickle.dumps(Target(r.path, r.size))) for r in reports)
    back = [len(pickle.dumps(r)) for r in reports]
    return out, sum(back) // len(back), max(back)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--copies", type=int, default=2)
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    missing = [str(s) for s in SOURCES if not s.is_dir()]
    if missing:
        print(
            f"missing {', '.join(missing)}: run scripts/fetch_binaries.sh and "
            "scripts/fetch_go_programs.sh",
            file=sys.stderr,
        )
        return 2
    with tempfile.TemporaryDirectory(dir=ROOT / "build") as tmp:
        top = pathlib.Path(tmp)
        binaries = build_corpus(top, args.copies)
        files = sum(1 for p in binaries.rglob("*") if p.is_file())
        empty = build_empty(top, files)
        started = time.perf_counter()
        with dask_executor("local", workers=2) as cluster:
            start_up = time.perf_counter() - started
            reference = run(binaries, None)
            if not same(run(binaries, cluster), reference):
                print("the cluster's reports differ from the local ones")
                return 1
            rows = []
            for name, corpus in [("real binaries", binaries), ("empty files", empty)]:
                run(corpus, None)  # warm the page cache and both paths
                run(corpus, cluster)
                local, dask = timed(
                    [partial(run, corpus, None), partial(run, corpus, cluster)],
                    args.rounds,
                )
                rows.append((name, local, dask))
            closing = time.perf_counter()
        shut_down = time.perf_counter() - closing
        size = sum(r.size or 0 for r in reference)
        out, back_mean, back_max = traffic(reference)
        print_table(rows, files, size, args)
        print(
            f"\nPer task (real binaries, pickled): out at most {out} B; back "
            f"{back_mean} B on average, {back_max} B at most. Cluster start "
            f"{start_up:.2f} s, close {shut_down:.2f} s (not in the run times)."
        )
    return 0


def processor() -> str:
    try:
        with open("/proc/cpuinfo") as f:
            names = [
                line.split(":", 1)[1] for line in f if line.startswith("model name")
            ]
    except OSError:
        names = []
    return names[0].strip() if names else platform.machine()


def print_table(
    rows: list[tuple[str, Timing, Timing]],
    files: int,
    size: int,
    args: argparse.Namespace,
) -> None:
    print(
        f"{files} files each ({size / 1e6:.0f} MB of real binaries: "
        f"{args.copies} copies of the Debian libraries and containerd "
        f"programs), {args.rounds} rounds; {processor()}, "
        f"{os.cpu_count()} cores, Python {platform.python_version()}\n"
    )
    print(
        "| corpus | local -j 2 s best (median) | LocalCluster 2 workers s best "
        "(median) | cluster / local | overhead per file ms |"
    )
    print("|---|--:|--:|--:|--:|")
    for name, local, dask in rows:
        per_file = (dask.best - local.best) / files * 1e3
        print(
            f"| {name} | {local.best:.3f} ({local.median:.3f}) | "
            f"{dask.best:.3f} ({dask.median:.3f}) | {dask.best / local.best:.2f}x "
            f"| {per_file:.2f} |"
        )


if __name__ == "__main__":
    sys.exit(main())
