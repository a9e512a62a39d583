"""Where each scan of a run goes: this process, a local pool of worker
processes (small files in batches), or the caller's executor; and what to
report for a scan that a broken pool lost."""

from __future__ import annotations

import os
from collections.abc import Callable, Iterator
from contextlib import ExitStack
from dataclasses import dataclass
from functools import partial
from typing import TYPE_CHECKING, Any, cast

from ravick.reading import will_map
from ravick.targets import STDIN, FileReport, Progress, Target
from ravick.workers import ByteSlots, ScanLost, Workers, in_order

if TYPE_CHECKING:
    from concurrent.futures import Executor, Future


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


@dataclass(slots=True)
class Plan:
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
            return [job.of_report(_unscanned(target))]
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


def plan_for(
    readable: list[Target],
    workers: int | None,
    executor: Executor | None,
    stack: ExitStack,
) -> Plan:
    cores = workers or os.cpu_count() or 1
    if executor is not None:
        return Plan(1, _window(_parallelism(executor) or cores), executor=executor)
    count = min(cores, len(readable))
    if count > 1 and not any(t.path == STDIN for t in readable):
        pool = Workers(count)
        stack.push(pool.close)
        return Plan(1, _window(count), workers=pool)
    if any(t.path != STDIN and will_map(t.size) for t in readable):
        pool = Workers(1)
        stack.push(pool.close)
        return Plan(cores, 2, workers=pool, isolate_only=True)
    return Plan(cores, 1)


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


def live_slots[R](
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


def _unscanned(target: Target) -> FileReport:
    """The report of an input that is not read."""
    return FileReport(
        target.path, target.size, error=target.error, skipped=target.skipped
    )
