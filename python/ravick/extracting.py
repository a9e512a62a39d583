"""Extracting: everything found in many inputs, written as one source tree.

All inputs of a run form one set of descriptors. Equal bytes are one file,
wherever they were found; the first version of a name (in input order, then
offset) keeps it and every other version goes under ``_conflicts/``. Each
file is printed as ``.proto`` source under the output directory, imports
that no input carries but the ``protobuf`` package does are written from the
package, stand-ins are written for the imports that nothing else provides,
and a descriptor set holds the exact bytes that were found, imports first.
Names come from untrusted bytes, so every one is checked and every write goes
through :class:`~ravick.safe_output.OutputTree`. Each step is a module of
:mod:`ravick.extraction`.
"""

from __future__ import annotations

import os
import time
from collections.abc import Iterable, Mapping
from concurrent.futures import Executor
from dataclasses import replace

from ravick._file_graph import dependency_order
from ravick.extraction.checks import compile_status, missing_imports, uncompilable
from ravick.extraction.output import (
    descriptor_set_bytes,
    write_descriptor_set,
    write_sources,
)
from ravick.extraction.plan import (
    CONFLICTS,
    collect,
    duplicates,
    package_files,
    plan_tree,
    settle_definitions,
    supply,
    unsafe_name,
)
from ravick.extraction.records import (
    Conflict,
    DescriptorSetResult,
    Dropped,
    Duplicate,
    Entry,
    ExtractReport,
    Location,
    MissingImports,
    Problem,
    RestoredImports,
    StandIn,
    Uncompilable,
    WrittenFile,
)
from ravick.extraction.report import problem_lines, report_json, summary_lines
from ravick.extraction.stand_ins import Completed, complete
from ravick.inputs import Progress, find_in_paths
from ravick.safe_output import OutputError, OutputTree

__all__ = [
    "CONFLICTS",
    "Conflict",
    "DescriptorSetResult",
    "Dropped",
    "Duplicate",
    "ExtractReport",
    "Location",
    "MissingImports",
    "Problem",
    "RestoredImports",
    "StandIn",
    "Uncompilable",
    "WrittenFile",
    "descriptor_set_bytes",
    "extract",
    "package_files",
    "problem_lines",
    "report_json",
    "summary_lines",
    "unsafe_name",
]


def extract(
    paths: Iterable[str],
    out: str,
    *,
    descriptor_set: str | None = None,
    include_implausible: bool = False,
    force: bool = False,
    stubs: bool = True,
    workers: int | None = None,
    progress: Progress | None = None,
    max_size: int | None = None,
    executor: Executor | None = None,
) -> ExtractReport:
    """Writes every descriptor found in ``paths`` as ``.proto`` source under ``out``.

    Equal descriptors are written once; a name's first version keeps it and
    the others go to ``out/_conflicts/<hash>/<name>``, as do files defining
    names that a file already in the tree defines (the file that more files
    import by name keeps them). Imports that no input carries but the
    protobuf package does are written from the package. With ``stubs`` (the
    default), an import that nothing provides gets an alias of the file
    found under another name, or a stub defining what its importers use;
    found files that use what other files define get the imports they lost.
    Implausible descriptors are left out unless ``include_implausible``.
    Existing files are replaced only with ``force``. ``descriptor_set``, when
    given, is a path to write a ``FileDescriptorSet`` of the files that kept
    their names, with the exact bytes found, imports first; with ``stubs``
    it holds the stand-ins too, and leaves out what does not build, so that
    it loads whole. ``workers``, ``progress``, ``max_size`` and ``executor``
    are passed to :func:`~ravick.inputs.find_in_paths`.

    Raises :class:`~ravick.safe_output.OutputError` only when ``out`` cannot
    be created or opened; every other problem is in the report.
    """
    started = time.monotonic()
    with _open_output(out) as tree:
        reports = find_in_paths(
            paths,
            workers=workers,
            progress=progress,
            max_size=max_size,
            executor=executor,
            addresses=False,  # the tree and its report show none
        )
        collected = collect(reports)
        plan = plan_tree(collected, include_implausible)
        package = package_files()
        plan = settle_definitions(plan, supply(plan, package))
        whole = _completed(plan.tree, [e for e, _ in plan.conflicts], package, stubs)
        missing = missing_imports(
            [*whole.tree.values(), *whole.conflicting], whole.tree
        )
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
        out=out,
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


def _open_output(out: str) -> OutputTree:
    try:
        return OutputTree(out)
    except OSError as e:
        raise OutputError(f"{out}: {e.strerror or e}") from e
