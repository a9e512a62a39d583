"""Benchmark of the layered finder on a directory of 100 wheels and jars.

The archives are built here from real files: each "wheel" zips one package
of the running interpreter's site-packages, its generated ``_pb2`` modules
compiled to ``.pyc`` (protobuf's own and googleapis-common-protos'), and
each "jar" zips a wheel with deflated class-like members around it, so the
finder opens archives inside archives. Reports ``ravick scan --json -j 1``
and ``-j 2`` over the directory (wall time, best of SAMPLES), the throughput
in MB of archives per second and in decoded MB per second, and the
descriptors found.

Usage: python bench/layers_bench.py [SAMPLES]
"""

import io
import json
import os
import pathlib
import py_compile
import statistics
import subprocess
import sys
import sysconfig
import tempfile
import time
import zipfile

ARCHIVES = 100


def packages() -> list[pathlib.Path]:
    site = pathlib.Path(sysconfig.get_paths()["purelib"])
    found = [
        p for p in sorted(site.iterdir()) if p.is_dir() and (p / "__init__.py").exists()
    ]
    return [*found, site / "google" / "protobuf", site / "google" / "api"]


def compiled(package: pathlib.Path, scratch: pathlib.Path) -> dict[str, bytes]:
    """The package's files, each .py compiled to .pyc as a wheel may ship them."""
    members = {}
    for path in sorted(package.rglob("*")):
        if not path.is_file() or path.stat().st_size > 4 << 20:
            continue
        name = str(path.relative_to(package.parent))
        if path.suffix == ".py":
            target = scratch / "x.pyc"
            try:
                py_compile.compile(str(path), cfile=str(target), doraise=True)
            except py_compile.PyCompileError:
                continue
            members[name + "c"] = target.read_bytes()
        else:
            members[name] = path.read_bytes()
    return members


def zipped(members: dict[str, bytes]) -> bytes:
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED) as z:
        for name, data in members.items():
            z.writestr(name, data)
    return out.getvalue()


def build(directory: pathlib.Path) -> int:
    scratch = directory / ".scratch"
    scratch.mkdir()
    sources = [compiled(p, scratch) for p in packages()]
    sources = [s for s in sources if s]
    for k in range(ARCHIVES):
        wheel = zipped(sources[k % len(sources)])
        if k % 2:
            name = f"app{k:03}.jar"
            data = zipped(
                {
                    "META-INF/MANIFEST.MF": b"Manifest-Version: 1.0\n",
                    f"lib/dep{k}.whl": wheel,
                }
            )
        else:
            name, data = f"pkg{k:03}-1.0-py3-none-any.whl", wheel
        (directory / name).write_bytes(data)
    for f in scratch.iterdir():
        f.unlink()
    scratch.rmdir()
    return sum(f.stat().st_size for f in directory.iterdir())


def run(args: list[str], samples: int) -> tuple[float, float, dict]:
    times, doc = [], {}
    for _ in range(samples):
        t = time.perf_counter()
        out = subprocess.run(args, capture_output=True, check=False).stdout
        times.append(time.perf_counter() - t)
        doc = json.loads(out)
    return min(times), statistics.median(times), doc


def main() -> None:
    samples = int(sys.argv[1]) if len(sys.argv) > 1 else 5
    with tempfile.TemporaryDirectory() as tmp:
        size = build(pathlib.Path(tmp))
        print(
            f"{ARCHIVES} archives, {size / 1e6:.1f} MB; best of {samples} "
            "(median in brackets)\n"
        )
        print("| command | s | MB/s of archives | descriptors |")
        print("|---|--:|--:|--:|")
        for jobs in ("1", "2"):
            cmd = [
                sys.executable,
                "-m",
                "ravick",
                "scan",
                "--no-progress",
                "--json",
                "-j",
                jobs,
                tmp,
            ]
            best, med, doc = run(cmd, samples)
            found = doc["summary"]["descriptors"]
            print(
                f"| `ravick scan --json -j {jobs}` | {best:.3f} ({med:.3f}) | "
                f"{size / 1e6 / best:.0f} | {found} |"
            )


if __name__ == "__main__":
    os.environ.setdefault("PYTHONHASHSEED", "0")
    main()
