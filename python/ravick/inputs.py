"""Inputs: reading them safely and scanning many, in the order of their
paths (:mod:`ravick.targets` gathers them, :mod:`ravick.scan_plan` says
where each scan runs)."""

from __future__ import annotations

from collections.abc import Callable, Iterable, Iterator
from contextlib import AbstractContextManager, ExitStack
from dataclasses import dataclass
from functools import partial
from typing import TYPE_CHECKING, Any

from ravick.addresses import locator
from ravick.finding import (
    Finds,
    PlainFinds,
    finds_with_notes,
    found_of_values,
    found_values,
    rows_of,
)
from ravick.reading import (
    MIN_HOLE,
    Contents,
    advise,
    data_extents,
    reason,
    regular_file,
    standard_input,
)
from ravick.scan_plan import Job, live_slots, plan_for
from ravick.targets import NOT_FOLLOWED as NOT_FOLLOWED
from ravick.targets import STDIN as STDIN
from ravick.targets import FileReport as FileReport
from ravick.targets import Progress as Progress
from ravick.targets import Target as Target
from ravick.targets import gather as gather
from ravick.workers import slot_writer

if TYPE_CHECKING:
    from concurrent.futures import Executor


SPARSE_FROM = 4 * MIN_HOLE
"""Inputs of this size or larger are asked where their holes are."""


def scan_target(
    target: Target,
    max_size: int | None = None,
    threads: int = 1,
    on_scanned: Callable[[int], None] | None = None,
    addresses: bool = True,
) -> FileReport:
    """Reads (or maps) and scans one input, the native scan of a large one
    on ``threads`` threads; never raises for anything the input holds.
    ``on_scanned`` is told the bytes of the native scan done so far. Without
    ``addresses`` the file's headers are not read: no find has an address."""
    return _scanned(target, max_size, threads, on_scanned, addresses=addresses).report()


def _scanned(
    target: Target,
    max_size: int | None,
    threads: int,
    on_scanned: Callable[[int], None] | None,
    kept: bool = False,
    addresses: bool = True,
) -> ScannedFile:
    scan = partial(
        _scan,
        target,
        threads=threads,
        on_scanned=on_scanned,
        kept=kept,
        addresses=addresses,
    )
    return _opened(target, max_size, scan, partial(ScannedFile.of, kept=kept))


def _opened[R](
    target: Target,
    max_size: int | None,
    scan: Callable[[Contents], R],
    failed: Callable[[FileReport], R],
) -> R:
    """``scan`` of the input's bytes, or ``failed`` of the report of an
    input that cannot be read (or is not to be)."""
    if target.error is not None or target.skipped is not None:
        return failed(
            FileReport(
                target.path, target.size, error=target.error, skipped=target.skipped
            )
        )
    try:
        with _contents(target, max_size) as data:
            return scan(data)
    except OSError as e:
        return failed(FileReport(target.path, target.size, error=reason(e)))
    except MemoryError:
        return failed(FileReport(target.path, target.size, error="out of memory"))


def _contents(target: Target, max_size: int | None) -> AbstractContextManager[Contents]:
    if target.path == STDIN:
        return standard_input(max_size)
    return regular_file(target.path, max_size)


def _scan(
    target: Target,
    data: Contents,
    *,
    threads: int,
    on_scanned: Callable[[int], None] | None,
    kept: bool,
    addresses: bool,
) -> ScannedFile:
    size = len(memoryview(data))
    advise(data, threads)
    path = None if target.path == STDIN else target.path
    locate = locator(data, path) if addresses else None
    extents = data_extents(path, size) if path and size >= SPARSE_FROM else None
    try:
        finds, notes = finds_with_notes(
            data,
            threads=threads,
            on_scanned=on_scanned,
            locate=locate,
            extents=extents,
        )
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException as e:  # an internal abort of the scanner, never input
        error = f"internal error: {e!r}"
        return ScannedFile(target.path, size, error=error, kept=kept)
    return ScannedFile(target.path, size, finds, notes=notes, kept=kept)


@dataclass(frozen=True, slots=True)
class ScannedFile:
    """A :class:`FileReport` as the process that scanned its input made it:
    its finds as columns, or each as the values of its fields. A memory
    image holds finds by the hundred thousand; these pickle many times
    faster than objects, and the scan's output can be made from them
    without making them (:mod:`ravick.plain_output`).

    Sent from a worker process, it arrives as its report, or as itself
    when ``kept``.
    """

    path: str
    size: int | None
    finds: Finds | None = None
    error: str | None = None
    skipped: str | None = None
    notes: tuple[str, ...] = ()
    kept: bool = False

    @staticmethod
    def of(report: FileReport, kept: bool = True) -> ScannedFile:
        """``report`` as this."""
        rows = [found_values(f) for f in report.found] or None
        return ScannedFile(
            report.path,
            report.size,
            rows,
            report.error,
            report.skipped,
            report.notes,
            kept,
        )

    @property
    def descriptors(self) -> int:
        """The number of descriptors found."""
        finds = self.finds
        if isinstance(finds, PlainFinds):
            return finds.total
        return len(finds or ())

    def report(self) -> FileReport:
        """The report, its finds made."""
        found = found_of_values(rows_of(self.finds or []))
        return FileReport(
            self.path, self.size, found, self.error, self.skipped, self.notes
        )

    def __reduce__(self) -> tuple[Any, tuple[Any, ...]]:
        fields = (
            self.path,
            self.size,
            self.finds,
            self.error,
            self.skipped,
            self.notes,
            self.kept,
        )
        return (ScannedFile if self.kept else _report_of, fields)


def _report_of(*fields: Any) -> FileReport:
    return ScannedFile(*fields).report()


def scan_in_worker(
    target: Target,
    max_size: int | None,
    threads: int,
    place: tuple[str, int] | None,
    addresses: bool = True,
) -> FileReport:
    """:func:`scan_target`, recording its progress in a shared slot."""
    return _scan_for_pool(
        target, max_size, threads, place, addresses=addresses
    ).report()


def _scan_for_pool(
    target: Target,
    max_size: int | None,
    threads: int,
    place: tuple[str, int] | None,
    kept: bool = False,
    addresses: bool = True,
) -> ScannedFile:
    """:func:`scan_in_worker` in a worker process: the report arrives as a
    :class:`FileReport`, or as this when ``kept``."""
    with slot_writer(place) as record:
        return _scanned(target, max_size, threads, record, kept, addresses)


def scanned_target(target: Target, max_size: int | None = None) -> ScannedFile:
    """:func:`scan_target` as a :class:`ScannedFile` that arrives as itself
    (what an executor's workers run for :func:`scanned_in_paths`)."""
    return _scanned(target, max_size, 1, None, kept=True)


def _same(report: FileReport) -> FileReport:
    return report


def find_in_paths(
    paths: Iterable[str],
    *,
    workers: int | None = None,
    progress: Progress | None = None,
    max_size: int | None = None,
    executor: Executor | None = None,
    addresses: bool = True,
) -> Iterator[FileReport]:
    """Scans files and directories; one report per input, sorted by path.

    ``workers`` is the number of worker processes (default: the machine's
    cores). With one file, or one worker, the scans run in this process
    and the native scan of a large file on ``workers`` threads; a mapped
    file is then scanned in one worker process, so that a file cut short
    while it is scanned ends only its own scan. ``executor`` runs the scans
    instead, for example :func:`ravick.distributed.dask_executor`'s; it must
    accept :func:`scan_target` and its arguments, and the workers must see
    the paths under the same names. A call that fails with
    :class:`ravick.workers.ScanLost` (the executor's workers died running
    it) is reported as an error of its file when the file's size has changed
    meanwhile, and raised otherwise. Standard input (``-``)
    is always read here. Reports come out in path order as soon as each
    report and all before it are done, whatever the number of workers.
    Without ``addresses`` no file's headers are read, and no find has an
    address (a caller that never shows them saves reading the headers).
    """
    if addresses:
        job = Job(scan_in_worker, _scan_for_pool, scan_target, _same)
    else:
        job = Job(
            partial(scan_in_worker, addresses=False),
            partial(_scan_for_pool, addresses=False),
            partial(scan_target, addresses=False),
            _same,
        )
    return _run_in_paths(
        paths,
        job,
        workers=workers,
        progress=progress,
        max_size=max_size,
        executor=executor,
    )


def scanned_in_paths(
    paths: Iterable[str],
    *,
    workers: int | None = None,
    progress: Progress[ScannedFile] | None = None,
    max_size: int | None = None,
    executor: Executor | None = None,
) -> Iterator[ScannedFile]:
    """:func:`find_in_paths`, each input's finds left as they were sent (see
    :class:`ScannedFile`). An ``executor`` must accept :func:`scanned_target`."""
    kept = partial(_scan_for_pool, kept=True)
    job = Job(kept, kept, scanned_target, ScannedFile.of)
    return _run_in_paths(
        paths,
        job,
        workers=workers,
        progress=progress,
        max_size=max_size,
        executor=executor,
    )


def _run_in_paths[R](
    paths: Iterable[str],
    job: Job[R],
    *,
    workers: int | None = None,
    progress: Progress[R] | None = None,
    max_size: int | None = None,
    executor: Executor | None = None,
) -> Iterator[R]:
    """:func:`find_in_paths` making what ``job`` makes of each input."""
    targets = gather(paths, max_size=max_size)
    readable = [t for t in targets if t.error is None and t.skipped is None]
    with ExitStack() as stack:
        plan = plan_for(readable, workers, executor, stack)
        if progress is not None:
            progress.started(len(readable), sum(t.size or 0 for t in readable))
            stack.callback(progress.finished)
            plan.slots = live_slots(progress, plan.window, stack)
        for outcome in plan.outcomes(job, targets, max_size):
            if progress is not None:
                progress.advanced(outcome)
            yield outcome
