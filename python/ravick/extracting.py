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

import importlib
import time
from collections.abc import Iterable, Iterator
from concurrent.futures import Executor

from ravick.extraction.descriptor_set import descriptor_set_bytes
from ravick.extraction.plan import CONFLICTS, collect, package_files, unsafe_name
from ravick.extraction.records import (
    Conflict,
    DescriptorSetResult,
    Dropped,
    Duplicate,
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
from ravick.inputs import FileReport, Progress, find_in_paths
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

_FINISH = "ravick.extraction.finish"
"""The steps after the scans (:func:`ravick.extraction.finish.finish`)."""


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
        collected = collect(_loading_meanwhile(reports, _FINISH))
        from ravick.extraction.finish import finish

        return finish(
            tree,
            collected,
            descriptor_set=descriptor_set,
            include_implausible=include_implausible,
            force=force,
            stubs=stubs,
            workers=workers,
            executor=executor,
            started=started,
        )


def _loading_meanwhile(
    reports: Iterable[FileReport], module: str
) -> Iterator[FileReport]:
    """``reports``, ``module`` loaded once the first has come: the scans
    after it run on in the workers meanwhile, where this process would
    wait for them."""
    remaining = iter(reports)
    first = next(remaining, None)
    if first is None:
        return
    yield first
    importlib.import_module(module)
    yield from remaining


def _open_output(out: str) -> OutputTree:
    try:
        return OutputTree(out)
    except OSError as e:
        raise OutputError(f"{out}: {e.strerror or e}") from e
