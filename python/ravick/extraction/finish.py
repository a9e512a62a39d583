"""The steps after the scans: the tree planned, completed with the protobuf
package's files and stand-ins, checked for what compiles, printed and
written, and the report. Loaded while the first scans run (see
:func:`ravick.extracting.extract`): the printer and the checks are most of
extract's modules."""

from __future__ import annotations

import os
import time
from collections.abc import Mapping
from concurrent.futures import Executor
from dataclasses import replace

from ravick._file_graph import dependency_order
from ravick.extraction.checks import compile_status, missing_imports, uncompilable
from ravick.extraction.descriptor_set import write_descriptor_set
from ravick.extraction.output import write_sources
from ravick.extraction.plan import (
    Collected,
    duplicates,
    package_files,
    plan_tree,
    settle_definitions,
    supply,
)
from ravick.extraction.records import Entry, ExtractReport
from ravick.extraction.stand_ins import Completed, complete
from ravick.safe_output import OutputTree


def finish(
    tree: OutputTree,
    collected: Collected,
    *,
    descriptor_set: str | None,
    include_implausible: bool,
    force: bool,
    stubs: bool,
    workers: int | None,
    executor: Executor | None,
    started: float,
) -> ExtractReport:
    """Writes what ``collected`` holds under ``tree`` (and the descriptor
    set); the report of the run that began at ``started`` (monotonic)."""
    plan = plan_tree(collected, include_implausible)
    package = package_files()
    plan = settle_definitions(plan, supply(plan, package))
    whole = _completed(plan.tree, [e for e, _ in plan.conflicts], package, stubs)
    missing = missing_imports([*whole.tree.values(), *whole.conflicting], whole.tree)
    order, cycles = dependency_order(
        {n: e.descriptor.dependency for n, e in whole.tree.items()}
    )
    files = [whole.tree[n] for n in order]
    cannot, unbuilt = uncompilable(files, whole.conflicting, missing, cycles)
    broken = {u.path for u in cannot}
    compiles = {
        e.path: compile_status(e, whole.tree, broken)
        for e in [*files, *whole.conflicting]
    }
    written, errors = write_sources(
        tree,
        files,
        whole.conflicting,
        compiles,
        force=force,
        workers=workers or os.cpu_count() or 1,
        executor=executor,
    )
    set_result = None
    if descriptor_set is not None:
        kept = [e for e in files if not stubs or e.name not in unbuilt]
        set_result = write_descriptor_set(descriptor_set, [e.data for e in kept])
        left_out = tuple(e.name for e in files if stubs and e.name in unbuilt)
        set_result = replace(set_result, left_out=left_out)
    return ExtractReport(
        out=tree.path,
        inputs=collected.inputs,
        descriptors=collected.descriptors,
        written=tuple(w for w in written if w.status != "exists"),
        duplicates=duplicates(collected),
        conflicts=tuple(c for _, c in plan.conflicts),
        skipped_implausible=plan.skipped,
        rejected=plan.rejected,
        missing_imports=tuple(sorted(missing.values(), key=lambda m: m.path)),
        stand_ins=whole.stand_ins,
        restored_imports=whole.restored,
        cannot_compile=cannot,
        from_protobuf=tuple(sorted(e.name for e in files if e.source == "protobuf")),
        not_overwritten=tuple(w.path for w in written if w.status == "exists"),
        write_errors=tuple(errors),
        input_errors=collected.input_errors,
        skipped_inputs=collected.skipped_inputs,
        input_notes=collected.input_notes,
        descriptor_set=set_result,
        seconds=time.monotonic() - started,
    )


def _completed(
    tree: Mapping[str, Entry],
    conflicting: list[Entry],
    package: Mapping[str, bytes],
    stubs: bool,
) -> Completed:
    if not stubs:
        return Completed(dict(tree), tuple(conflicting), (), ())
    return complete(tree, conflicting, package)
