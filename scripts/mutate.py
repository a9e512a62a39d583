"""A small mutation run: plants one-line faults in the package's modules, one
at a time, and reports those that no test notices.

Each mutant changes one operator or constant of a module (a comparison, an
arithmetic or bitwise operator, a boolean operator, a ``not``, an integer
constant, a flag OR-ed into another), in a copy of the package, and runs the
given tests against that copy. A mutant that makes a test fail is killed;
one that passes every test survives and is printed with its line, so that
a test can be written for it or it can be judged equivalent.

Usage: python scripts/mutate.py [--tests FILE...] [--limit N] [--seed S]
       [--timeout SECONDS] [--jobs N] MODULE...
       (MODULE: finding, layers/zip_archives, ...)
"""

from __future__ import annotations

import argparse
import ast
import importlib.util
import itertools
import os
import pathlib
import queue
import random
import shutil
import subprocess
import sys
import tempfile
from collections.abc import Iterator
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass

ROOT = pathlib.Path(__file__).resolve().parent.parent
PACKAGE = ROOT / "python" / "ravick"

SWAPS: dict[type, type] = {
    ast.Lt: ast.LtE,
    ast.LtE: ast.Lt,
    ast.Gt: ast.GtE,
    ast.GtE: ast.Gt,
    ast.Eq: ast.NotEq,
    ast.NotEq: ast.Eq,
    ast.In: ast.NotIn,
    ast.NotIn: ast.In,
    ast.Is: ast.IsNot,
    ast.IsNot: ast.Is,
    ast.Add: ast.Sub,
    ast.Sub: ast.Add,
    ast.And: ast.Or,
    ast.Or: ast.And,
    ast.LShift: ast.RShift,
}


@dataclass(frozen=True)
class Mutant:
    module: str
    index: int
    line: int
    what: str


class _Points(ast.NodeTransformer):
    """Counts mutation points; with ``target`` set, applies that one."""

    def __init__(self, target: int | None = None) -> None:
        self.count = 0
        self.target = target
        self.found: list[tuple[int, str]] = []

    def _point(self, node: ast.AST, what: str) -> bool:
        index = self.count
        self.count += 1
        self.found.append((getattr(node, "lineno", 0), what))
        return index == self.target

    def visit_Compare(self, node: ast.Compare) -> ast.AST:
        self.generic_visit(node)
        for k, op in enumerate(node.ops):
            if type(op) in SWAPS and self._point(node, f"{type(op).__name__} swapped"):
                node.ops[k] = SWAPS[type(op)]()
        return node

    def visit_BinOp(self, node: ast.BinOp) -> ast.AST:
        self.generic_visit(node)
        if type(node.op) in SWAPS and self._point(
            node, f"{type(node.op).__name__} swapped"
        ):
            node.op = SWAPS[type(node.op)]()
        elif isinstance(node.op, ast.BitOr) and self._point(node, "right of | dropped"):
            return node.left
        return node

    def visit_BoolOp(self, node: ast.BoolOp) -> ast.AST:
        self.generic_visit(node)
        if self._point(node, f"{type(node.op).__name__} swapped"):
            node.op = SWAPS[type(node.op)]()
        return node

    def visit_UnaryOp(self, node: ast.UnaryOp) -> ast.AST:
        self.generic_visit(node)
        if isinstance(node.op, ast.Not) and self._point(node, "not dropped"):
            return node.operand
        return node

    def visit_Constant(self, node: ast.Constant) -> ast.AST:
        value = node.value
        if type(value) is int and self._point(node, f"{value} -> {value + 1}"):
            return ast.copy_location(ast.Constant(value + 1), node)
        return node

    def visit_JoinedStr(self, node: ast.JoinedStr) -> ast.AST:
        return node  # messages: not worth a mutant each

    def visit_arg(self, node: ast.arg) -> ast.AST:
        return node  # annotations: never run

    def visit_FunctionDef(self, node: ast.FunctionDef) -> ast.AST:
        node.body = [self.visit(stmt) for stmt in node.body]
        node.decorator_list = [self.visit(d) for d in node.decorator_list]
        node.args.defaults = [self.visit(d) for d in node.args.defaults]
        return node

    def visit_AnnAssign(self, node: ast.AnnAssign) -> ast.AST:
        if node.value is not None:
            node.value = self.visit(node.value)
        return node


def mutants(module: str) -> Iterator[Mutant]:
    tree = ast.parse((PACKAGE / f"{module}.py").read_text())
    points = _Points()
    points.visit(tree)
    for index, (line, what) in enumerate(points.found):
        yield Mutant(module, index, line, what)


def mutated_source(mutant: Mutant) -> str:
    tree = ast.parse((PACKAGE / f"{mutant.module}.py").read_text())
    tree = _Points(mutant.index).visit(tree)
    return ast.unparse(ast.fix_missing_locations(tree))


def package_copy(scratch: pathlib.Path) -> pathlib.Path:
    """The source package with the installed package's extension beside it."""
    target = scratch / "ravick"
    shutil.copytree(PACKAGE, target)
    installed = importlib.util.find_spec("ravick._signatures")
    if installed is None or installed.origin is None:
        sys.exit("mutate: install the package first (pip install .)")
    shutil.copy(installed.origin, target)
    version = pathlib.Path(installed.origin).with_name("_version.py")
    if version.exists():
        shutil.copy(version, target)
    return target


def check_imported_from(scratch: pathlib.Path) -> None:
    """Exits unless the tests would import the copy (an editable install's
    import hook would take precedence over PYTHONPATH)."""
    env = {**os.environ, "PYTHONPATH": str(scratch)}
    where = subprocess.run(
        [sys.executable, "-c", "import ravick; print(ravick.__file__)"],
        env=env,
        capture_output=True,
        text=True,
        check=False,
    ).stdout.strip()
    if not where.startswith(str(scratch)):
        sys.exit(f"mutate: ravick is imported from {where}; use a regular install")


def run_tests(scratch: pathlib.Path, tests: list[str], timeout: float) -> bool:
    """True when the tests pass against the package copy in ``scratch``."""
    env = {**os.environ, "PYTHONPATH": str(scratch)}
    try:
        proc = subprocess.run(
            [
                sys.executable,
                "-m",
                "pytest",
                "-x",
                "-q",
                "-p",
                "no:cacheprovider",
                *tests,
            ],
            cwd=ROOT / "tests",
            env=env,
            capture_output=True,
            timeout=timeout,
        )
    except subprocess.TimeoutExpired:
        return False  # a mutant that hangs the tests is caught by them
    if proc.returncode != 0 and os.environ.get("MUTATE_SHOW_FAILURES"):
        sys.stderr.buffer.write(proc.stdout[-4000:])
    return proc.returncode == 0


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("modules", nargs="+")
    parser.add_argument("--tests", nargs="+", default=["."])
    parser.add_argument("--limit", type=int, default=0, help="mutants at most, sampled")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--timeout", type=float, default=600)
    parser.add_argument("--jobs", type=int, default=1, help="mutants run at once")
    args = parser.parse_args()
    todo = [m for module in args.modules for m in mutants(module)]
    if args.limit and len(todo) > args.limit:
        todo = sorted(
            random.Random(args.seed).sample(todo, args.limit),
            key=lambda m: (m.module, m.index),
        )
    with tempfile.TemporaryDirectory() as tmp:
        # One copy of the package for each job: a mutant is planted in its
        # copy while the others run theirs.
        copies: queue.Queue[pathlib.Path] = queue.Queue()
        for k in range(max(args.jobs, 1)):
            scratch = pathlib.Path(tmp) / str(k)
            package_copy(scratch)
            copies.put(scratch)
        check_imported_from(pathlib.Path(tmp) / "0")
        os.environ["MUTATE_SHOW_FAILURES"] = "1"
        if not run_tests(pathlib.Path(tmp) / "0", args.tests, args.timeout):
            sys.exit("mutate: the tests fail without any mutant")
        del os.environ["MUTATE_SHOW_FAILURES"]
        done = itertools.count(1)

        def run(mutant: Mutant) -> bool:
            scratch = copies.get()
            path = scratch / "ravick" / f"{mutant.module}.py"
            original = path.read_text()
            path.write_text(mutated_source(mutant))
            try:
                killed = not run_tests(scratch, args.tests, args.timeout)
            finally:
                path.write_text(original)
                copies.put(scratch)
            state = "killed" if killed else "SURVIVED"
            print(
                f"[{next(done)}/{len(todo)}] {state}: {mutant.module}.py:"
                f"{mutant.line}: {mutant.what}",
                flush=True,
            )
            return killed

        with ThreadPoolExecutor(max(args.jobs, 1)) as pool:
            results = list(pool.map(run, todo))
    survivors = [m for m, killed in zip(todo, results, strict=True) if not killed]
    killed_count = len(todo) - len(survivors)
    print(
        f"\n{killed_count} of {len(todo)} mutants killed "
        f"({100 * killed_count / max(len(todo), 1):.0f}%); survivors:"
    )
    for m in survivors:
        print(f"  {m.module}.py:{m.line}: {m.what}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
