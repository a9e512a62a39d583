"""Inputs: gathering files from paths, reading them safely, scanning many.

Directories are walked recursively; symlinks met inside a walk are not
followed (neither to directories nor to files, so a file is never scanned
twice under two names), and only regular files are opened. A path named on
the command line is followed if it is a symlink. FIFOs, devices and sockets
are never opened for reading: a FIFO named by a path can neither hang a run
nor, like ``/dev/zero``, fill memory.
"""

from __future__ import annotations

import os
import stat
from collections.abc import Callable, Iterable, Iterator
from contextlib import AbstractContextManager, ExitStack
from dataclasses import dataclass
from functools import partial
from typing import TYPE_CHECKING, Any, Protocol, cast

from ravick.addresses import locator
from ravick.finding import (
    Finds,
    Found,
    PlainFinds,
    finds_with_notes,
    found_of_values,
    found_values,
    rows_of,
)
from ravick.reading import (
    Contents,
    advise,
    file_kind,
    reason,
    regular_file,
    standard_input,
    will_map,
)
from ravick.workers import ByteSlots, ScanLost, Workers, in_order, slot_writer

if TYPE_CHECKING:
    from concurrent.futures import Executor, Future

STDIN = "-"
NOT_FOLLOWED = "symlink, not followed"


@dataclass(frozen=True, slots=True)
class FileReport:
    """The outcome for one input.

    A regular file that was read has ``found`` set and ``error`` None. An
    input that could not be read has ``error``. An entry met in a directory
    walk that is not looked at (a FIFO, a device, a symlink, a file above
    the size limit) has ``skipped`` and is not counted as a file.
    """

    path: str
    size: int | None
    found: tuple[Found, ...] = ()
    error: str | None = None
    skipped: str | None = None
    notes: tuple[str, ...] = ()

    @property
    def descriptors(self) -> int:
        """The number of descriptors found."""
        return len(self.found)


@dataclass(frozen=True, slots=True)
class Target:
    """One input to scan, or one entry to report without scanning."""

    path: str
    size: int | None
    skipped: str | None = None
    error: str | None = None


class Progress[R = FileReport](Protocol):
    """Receives the totals before a run and each report as it completes."""

    def started(self, files: int, total_bytes: int) -> None: ...

    def advanced(self, report: R) -> None: ...

    def finished(self) -> None: ...


def gather(paths: Iterable[str], *, max_size: int | None = None) -> list[Target]:
    """The inputs named by ``paths``, directories walked, sorted by path."""
    targets: dict[str, Target] = {}
    for path in paths:
        for target in _expand(path, max_size):
            targets.setdefault(target.path, target)
    return [targets[p] for p in sorted(targets)]


def _expand(path: str, max_size: int | None) -> Iterator[Target]:
    if path == STDIN:
        yield Target(STDIN, None)
        return
    try:
        st = os.stat(path)
    except OSError as e:
        yield Target(path, None, error=reason(e))
        return
    if stat.S_ISDIR(st.st_mode):
        yield from _walk(path, max_size)
    elif not stat.S_ISREG(st.st_mode):
        yield Target(path, None, error=f"not a regular file ({file_kind(st.st_mode)})")
    elif max_size is not None and st.st_size > max_size:
        yield Target(path, st.st_size, skipped=f"larger than {max_size} bytes")
    else:
        yield Target(path, st.st_size)


def _walk(top: str, max_size: int | None) -> Iterator[Target]:
    errors: list[OSError] = []
    for root, dirs, files in os.walk(top, onerror=errors.append):
        dirs.sort()
        for name in sorted(files) + [d for d in dirs if _is_link(root, d)]:
            yield _classify(os.path.join(root, name), max_size)
    for e in errors:
        yield Target(e.filename or top, None, error=reason(e))


def _is_link(root: str, name: str) -> bool:
    return os.path.islink(os.path.join(root, name))


def _classify(path: str, max_size: int | None) -> Target:
    try:
        st = os.lstat(path)
    except OSError as e:
        return Target(path, None, error=reason(e))
    if stat.S_ISLNK(st.st_mode):
        return Target(path, None, skipped=NOT_FOLLOWED)
    if not stat.S_ISREG(st.st_mode):
        return Target(
            path, None, skipped=f"not a regular file ({file_kind(st.st_mode)})"
        )
    if max_size is not None and st.st_size > max_size:
        return Target(path, st.st_size, skipped=f"larger than {max_size} bytes")
    return Target(path, st.st_size)


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
    try:
        finds, notes = finds_with_notes(
            data, threads=threads, on_scanned=on_scanned, locate=locate
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


@dataclass(frozen=True, slots=True)
class Job[R]:
    """What the scan of one input makes, wherever it runs: a
    :class:`FileReport`, or a :class:`ScannedFile`."""

    here: Callable[[Target, int | None, int, tuple[str, int] | None], R]
    """Runs the scan in this process: ``(target, max_size, threads, place)``,
    ``place`` being the shared slot for its progress."""
    pooled: Callable[[Target, int | None, int, tuple[str, int] | None], Any]
    """The same in a worker process (a module-level function, or a partial
    of one), whose result arrives as what ``here`` returns."""
    remote: Callable[[Target, int | None], R]
    """The same on a caller's executor: ``(target, max_size)``."""
    of_report: Callable[[FileReport], R]
    """What to make of a report made without scanning (an input that is not
    read, a scan a broken pool lost)."""


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
        plan = _plan(readable, workers, executor, stack)
        if progress is not None:
            progress.started(len(readable), sum(t.size or 0 for t in readable))
            stack.callback(progress.finished)
            plan.slots = _live_slots(progress, plan.window, stack)
        for outcome in plan.outcomes(job, targets, max_size):
            if progress is not None:
                progress.advanced(outcome)
            yield outcome


@dataclass(slots=True)
class _Plan:
    """Where each scan of a run goes: this process, a local pool, or the
    caller's executor."""

    threads: int
    window: int
    executor: Executor | None = None
    workers: Workers | None = None
    isolate_only: bool = False
    """The pool only takes mapped files (the rest is scanned here)."""
    slots: ByteSlots | None = None

    def outcomes[R](
        self, job: Job[R], targets: list[Target], max_size: int | None
    ) -> Iterator[R]:
        workers = self.workers

        def judge(batch: Batch, alone: bool) -> list[R] | None:
            # A pool that broke has its batches split first: one file each.
            verdict = _judge(batch[0], alone) if len(batch) == 1 else None
            return None if verdict is None else [job.of_report(verdict)]

        done = in_order(
            partial(self._submit, job, max_size=max_size),
            batches(targets, self._pooled),
            window=self.window,
            judge=None if workers is None else judge,
            restart=None if workers is None else workers.restart,
            slots=self.slots,
            split=_one_by_one,
        )
        return (outcome for outcomes in done for outcome in outcomes)

    def _pooled(self, target: Target) -> bool:
        """Whether ``target`` is scanned on this plan's pool."""
        if target.error is not None or target.skipped is not None:
            return False
        if target.path == STDIN or self.executor is not None or self.workers is None:
            return False
        return not self.isolate_only or will_map(target.size)

    def _submit[R](
        self, job: Job[R], batch: Batch, slot: int | None, *, max_size: int | None
    ) -> Future[list[R]] | list[R]:
        place = None if self.slots is None or slot is None else (self.slots.name, slot)
        if self.workers is not None and self._pooled(batch[0]):
            sent = self.workers.pool.submit(
                each_scanned, job.pooled, batch, max_size, self.threads, place
            )
            return cast("Future[list[R]]", sent)
        (target,) = batch
        if target.error is not None or target.skipped is not None:
            return [job.of_report(scan_target(target))]
        if self.executor is not None and target.path != STDIN:
            future = self.executor.submit(job.remote, target, max_size)
            return _settled(future, target, job.of_report)
        # Standard input is this process's: never sent to a worker.
        return [job.here(target, max_size, self.threads, place)]


Batch = tuple[Target, ...]
"""Inputs scanned in one call, in their order: small files go to a worker
process together, each call's round trip costing about what such a
file's scan does."""

BATCH_BYTES = 1 << 20
"""Files of this size or more go to a worker one at a time; smaller ones
together, up to this many bytes in all."""
BATCH_FILES = 32


def batches(targets: list[Target], pooled: Callable[[Target], bool]) -> list[Batch]:
    """``targets`` in order, in batches: runs of small files that ``pooled``
    sends to worker processes together, every other one alone."""
    out: list[Batch] = []
    run: list[Target] = []
    size = 0
    for target in targets:
        small = pooled(target) and (target.size or 0) < BATCH_BYTES
        if run and (
            not small
            or len(run) == BATCH_FILES
            or size + (target.size or 0) > BATCH_BYTES
        ):
            out.append(tuple(run))
            run, size = [], 0
        if small:
            run.append(target)
            size += target.size or 0
        else:
            out.append((target,))
    if run:
        out.append(tuple(run))
    return out


def _one_by_one(batch: Batch) -> list[Batch]:
    return [(target,) for target in batch]


def each_scanned(
    pooled: Callable[[Target, int | None, int, tuple[str, int] | None], Any],
    batch: Batch,
    max_size: int | None,
    threads: int,
    place: tuple[str, int] | None,
) -> list[Any]:
    """``pooled`` of each input of ``batch``, in a worker process."""
    return [pooled(target, max_size, threads, place) for target in batch]


def _plan(
    readable: list[Target],
    workers: int | None,
    executor: Executor | None,
    stack: ExitStack,
) -> _Plan:
    cores = workers or os.cpu_count() or 1
    if executor is not None:
        return _Plan(1, _window(_parallelism(executor) or cores), executor=executor)
    count = min(cores, len(readable))
    if count > 1 and not any(t.path == STDIN for t in readable):
        pool = Workers(count)
        stack.push(pool.close)
        return _Plan(1, _window(count), workers=pool)
    if any(t.path != STDIN and will_map(t.size) for t in readable):
        pool = Workers(1)
        stack.push(pool.close)
        return _Plan(cores, 2, workers=pool, isolate_only=True)
    return _Plan(cores, 1)


def _judge(target: Target, alone: bool) -> FileReport | None:
    """What to report for a file whose scan a broken pool lost, or None to
    scan it again."""
    try:
        now: int | None = os.stat(target.path).st_size
    except OSError:
        now = None
    if now != target.size:
        return FileReport(
            target.path,
            target.size,
            error=f"changed while it was scanned ({target.size} bytes, now {now})",
        )
    if alone:
        return FileReport(
            target.path, target.size, error="the process scanning it died"
        )
    return None


def _settled[R](
    future: Future[R], target: Target, of_report: Callable[[FileReport], R]
) -> Future[list[R]]:
    """``future``'s outcome as a batch of one, or the error of a file that
    changed while the executor's workers all died running its scan."""
    from concurrent.futures import Future

    settled: Future[list[R]] = Future()
    settled.set_running_or_notify_cancel()

    def settle(done: Future[R]) -> None:
        try:
            settled.set_result([done.result()])
        except ScanLost as lost:
            # The executor cannot say which of the scans its dead workers
            # held killed them: only a file that changed meanwhile is known.
            verdict = _judge(target, alone=False)
            if verdict is None:
                settled.set_exception(lost)
            else:
                settled.set_result([of_report(verdict)])
        except BaseException as error:  # the caller's to raise, as before
            settled.set_exception(error)

    future.add_done_callback(settle)
    return settled


def _live_slots[R](
    progress: Progress[R], window: int, stack: ExitStack
) -> ByteSlots | None:
    """Shared slots for bytes scanned within files, when the display shows."""
    watch = getattr(progress, "watch", None)
    if watch is None or not getattr(progress, "showing", False):
        return None
    try:
        slots = ByteSlots(window)
    except OSError:  # no shared memory here: whole files only
        return None
    stack.callback(slots.close)
    watch(slots.total)
    return slots


def _parallelism(executor: Executor | None) -> int:
    # An executor may say how many calls it runs at once (a cluster's
    # ``parallelism``); the window of calls in flight follows it.
    value = getattr(executor, "parallelism", 0)
    return value if isinstance(value, int) and value > 0 else 0


def _window(workers: int) -> int:
    return 4 * workers
