"""Compiles what `ravick extract --json` wrote, to show that it builds.

Usage: python scripts/compile_tree.py REPORT.json PROTOC_PYTHON

Runs protoc (from grpcio-tools, under PROTOC_PYTHON) once over every file of
the tree, with OUT as the only import path; once over each conflicting
version, with its _conflicts/<hash> directory and OUT; and once more with the
descriptor set alone as input. Files that the report says cannot compile back
to their descriptor are compiled too when they only lack custom options.
Exits with protoc's first failing status.
"""

import json
import subprocess
import sys
import tempfile


def main(report_path: str, protoc_python: str) -> int:
    with open(report_path) as f:
        report = json.load(f)
    out = report["out"]
    broken = {
        entry["path"]
        for entry in report["cannot_compile"]
        if not entry["reason"].startswith("sets custom options")
    }
    files = sorted(
        w["path"]
        for w in report["written"]
        if w["path"] not in broken and not w["path"].startswith("_conflicts/")
    )
    conflicts = [
        (w["path"], w["name"])
        for w in report["written"]
        if w["path"] not in broken and w["path"].startswith("_conflicts/")
    ]
    protoc = [protoc_python, "-m", "grpc_tools.protoc"]
    with tempfile.TemporaryDirectory() as tmp:
        built = subprocess.run(
            [*protoc, f"-I{out}", f"--descriptor_set_out={tmp}/tree.pb", *files]
        )
    print(
        f"protoc compiled {len(files)} files of {out}"
        if built.returncode == 0
        else f"protoc failed on the tree of {out}"
    )
    status = built.returncode
    failed = 0
    for path, name in conflicts:
        root = path.removesuffix(name)
        with tempfile.TemporaryDirectory() as tmp:
            run = subprocess.run(
                [*protoc, f"-I{out}/{root}", f"-I{out}", f"-o{tmp}/c.pb", name]
            )
        failed += run.returncode != 0
        status = status or run.returncode
    print(f"protoc compiled {len(conflicts) - failed} of {len(conflicts)} conflicts")
    print(f"{len(broken)} files cannot compile (see the report)")
    dset = report.get("descriptor_set")
    if dset and not dset.get("error"):
        names = [w["name"] for w in report["written"] if w["path"] in files]
        with tempfile.TemporaryDirectory() as tmp:
            loaded = subprocess.run(
                [
                    *protoc,
                    f"--descriptor_set_in={dset['path']}",
                    f"--descriptor_set_out={tmp}/again.pb",
                    *names,
                ]
            )
        print(
            f"protoc loaded the descriptor set {dset['path']} ({dset['files']} files)"
            if loaded.returncode == 0
            else f"protoc could not load the descriptor set {dset['path']}"
        )
        status = status or loaded.returncode
    return status


if __name__ == "__main__":
    if len(sys.argv) != 3:
        print(__doc__.strip(), file=sys.stderr)
        sys.exit(2)
    sys.exit(main(sys.argv[1], sys.argv[2]))
