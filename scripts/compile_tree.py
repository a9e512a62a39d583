"""Compiles what `ravick extract --json` wrote, to show that it builds.

Usage: python scripts/compile_tree.py REPORT.json PROTOC_PYTHON

Runs protoc (from grpcio-tools, under PROTOC_PYTHON) once over every file of
the tree that the report does not list as unable to compile, with OUT as the
only import path, and once more with the descriptor set alone as input.
Conflicting versions under _conflicts/ are left out: each would need a tree
of its own. Exits with protoc's status.
"""

import json
import subprocess
import sys
import tempfile


def main(report_path: str, protoc_python: str) -> int:
    with open(report_path) as f:
        report = json.load(f)
    out = report["out"]
    broken = {entry["path"] for entry in report["cannot_compile"]}
    files = sorted(
        w["path"]
        for w in report["written"]
        if w["path"] not in broken and not w["path"].startswith("_conflicts/")
    )
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
    print(f"{len(broken)} files cannot compile as they stand (see the report)")
    status = built.returncode
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
