"""Worker processes: starting them, ending them, and a run that survives one
dying.

A worker that dies in the middle of a scan (a mapped file cut short under
it raises SIGBUS on the next page read) breaks its whole pool. The pool is
then started again: the file that was first in line is scanned again on its
own, unless its size has changed meanwhile, which makes it an error; when a
scan on its own kills a worker again, that file is the one, and the run goes
on without it.
"""

from __future__ import annotations

import os
import signal
import struct
import sys
import threading
from collections import deque
from collections.abc import Callable, Iterator
from contextlib import contextmanager, suppress
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, TypeIs

if TYPE_CHECKING:
    from concurrent.futures import Future, ProcessPoolExecutor
    from multiprocessing.context import BaseContext
    from multiprocessing.shared_memory import SharedMemory


class ScanLost(Exception):
    """The processes running one scan all died; what an executor raises for
    a call that its workers never came back from."""


def ignore_interrupts() -> None:
    """Leaves Ctrl-C to the parent, which ends its workers itself."""
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    signal.pthread_sigmask(signal.SIG_UNBLOCK, {signal.SIGINT})


@contextmanager
def interrupts_held() -> Iterator[None]:
    """Blocks SIGINT in this thread; one that arrived is delivered on exit.

    Processes started meanwhile inherit the block, and with it the time to
    ignore SIGINT before one reaches them.
    """
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    old = signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT})
    try:
        yield
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, old)


class Workers:
    """A pool of ``count`` worker processes that can be started again."""

    def __init__(self, count: int) -> None:
        self.count = count
        self.pool = self._start()

    def _start(self) -> ProcessPoolExecutor:
        import multiprocessing
        from concurrent.futures import ProcessPoolExecutor

        # A fork starts a worker in no time and, unlike spawn and forkserver,
        # never runs the caller's main module again; it is only safe while
        # this process has no other thread.
        context: BaseContext
        if threading.active_count() == 1:
            context = multiprocessing.get_context("fork")
        else:
            server = multiprocessing.get_context("forkserver")
            server.set_forkserver_preload(["ravick.inputs"])
            context = server
        pool = ProcessPoolExecutor(
            self.count, mp_context=context, initializer=ignore_interrupts
        )
        # Every worker is forked at the first submission, before the caller's
        # progress display starts a thread. Ctrl-C is held back meanwhile, so
        # that no worker sees one before it has set itself to ignore it.
        with interrupts_held():
            pool.submit(os.getpid).result()
        return pool

    def restart(self) -> ProcessPoolExecutor:
        """A new pool in place of a broken one."""
        close_pool(self.pool, BrokenPipeError)
        self.pool = self._start()
        return self.pool

    def close(self, kind: object, *_: object) -> bool:
        """Ends the pool; at once when left early (``kind`` is not None)."""
        return close_pool(self.pool, kind)


def close_pool(pool: ProcessPoolExecutor, kind: object, *_: object) -> bool:
    """Ends ``pool``: leaving early (an interrupt, an error, a reader that
    stopped) ends the workers at once instead of waiting for their scans."""
    if kind is not None:
        _terminate_workers(pool)
    pool.shutdown(wait=True, cancel_futures=True)
    return False


def _terminate_workers(pool: ProcessPoolExecutor) -> None:
    terminate = getattr(pool, "terminate_workers", None)
    if terminate is not None:  # Python 3.14
        with suppress(Exception):
            terminate()
        return
    processes = getattr(pool, "_processes", None) or {}
    for process in list(processes.values()):
        with suppress(OSError, ValueError, AttributeError):
            process.terminate()


class ByteSlots:
    """Bytes scanned so far of each file in flight, one slot per scan, in
    shared memory: what a progress display adds to the files already done.

    The slots are the parent's to hand out and take back; each one has one
    writer at a time, the scan it was handed to.
    """

    def __init__(self, count: int) -> None:
        from multiprocessing.shared_memory import SharedMemory

        self._memory = SharedMemory(create=True, size=8 * max(count, 1))
        self._count = max(count, 1)
        self._free = list(range(self._count - 1, -1, -1))

    @property
    def name(self) -> str:
        return self._memory.name

    def take(self) -> int | None:
        """A free slot, or None when all are in use."""
        return self._free.pop() if self._free else None

    def give_back(self, slot: int | None) -> None:
        if slot is not None:
            struct.pack_into("Q", _buffer(self._memory), 8 * slot, 0)
            self._free.append(slot)

    def total(self) -> int:
        """Bytes scanned of all files in flight."""
        return sum(struct.unpack_from(f"{self._count}Q", _buffer(self._memory)))

    def close(self) -> None:
        self._memory.close()
        with suppress(OSError):
            self._memory.unlink()


@contextmanager
def slot_writer(
    place: tuple[str, int] | None,
) -> Iterator[Callable[[int], None] | None]:
    """In a scan, the function that records bytes scanned so far in its slot
    (``place`` is the slots' name and the slot), or None without one."""
    if place is None:
        yield None
        return
    from multiprocessing.shared_memory import SharedMemory

    try:
        memory = SharedMemory(place[0], track=False)
    except OSError:  # the run ended meanwhile
        yield None
        return
    offset = 8 * place[1]

    def record(done: int) -> None:
        struct.pack_into("Q", _buffer(memory), offset, done)

    try:
        yield record
    finally:
        memory.close()


@dataclass(slots=True)
class _Job[T, R]:
    item: T
    outcome: Future[R] | R | None = None
    """A future, the outcome itself, or None until submitted."""
    slot: int | None = None
    alone: bool = False


def in_order[T, R](
    submit: Callable[[T, int | None], Future[R] | R],
    items: list[T],
    *,
    window: int,
    judge: Callable[[T, bool], R | None] | None = None,
    restart: Callable[[], object] | None = None,
    slots: ByteSlots | None = None,
    split: Callable[[T], list[T]] | None = None,
) -> Iterator[R]:
    """``submit(item, slot)`` for every item, the outcomes in item order.

    ``submit`` returns a future, or the outcome itself for an item done at
    once. At most ``window`` items are in flight or finished but not yet
    yielded. When the pool breaks, ``restart`` starts it again and
    ``judge(item, alone)`` says for each item in flight what to report in
    its place, or None to scan it again (``alone`` is True for the item
    that was already running on its own when the pool broke): the first of
    them runs on its own, the others after it. Before that, ``split`` turns
    each item the pool lost into the items to submit in its place (a batch
    into its parts, so that a part that kills its worker is found alone).
    Without ``judge`` a broken pool is raised.
    """
    broken: type[BaseException] = _NeverRaised
    if judge is not None:
        from concurrent.futures.process import BrokenProcessPool

        broken = BrokenProcessPool
    pending: deque[_Job[T, R]] = deque()
    upcoming = iter(items)

    def launch(job: _Job[T, R]) -> None:
        job.slot = slots.take() if slots is not None else None
        try:
            job.outcome = submit(job.item, job.slot)
        except broken as error:
            # The pool broke before this job could be sent: it is judged
            # with the others in flight when its turn comes.
            job.outcome = _failed(error)

    def release(job: _Job[T, R]) -> None:
        if slots is not None:
            slots.give_back(job.slot)
        job.slot = None

    def fill() -> None:
        for job in pending:
            if job.outcome is None:
                launch(job)
        while len(pending) < max(window, 1):
            item = next(upcoming, None)
            if item is None:
                return
            job = _Job[T, R](item)
            launch(job)
            pending.append(job)

    fill()
    while pending:
        head = pending[0]
        try:
            outcome = head.outcome
            if _is_future(outcome):
                outcome = outcome.result()
        except broken:
            if judge is None or restart is None:
                raise
            restart()
            if split is not None:
                _split_lost(pending, split, release)
                head = pending[0]
            for job in pending:
                if _succeeded(job.outcome):
                    continue
                release(job)
                verdict = judge(job.item, job.alone and job is head)
                job.outcome, job.alone = verdict, False
            if head.outcome is None:
                launch(head)
                head.alone = True
            continue
        pending.popleft()
        release(head)
        fill()
        yield outcome  # type: ignore[misc]


def _split_lost[T, R](
    pending: deque[_Job[T, R]],
    split: Callable[[T], list[T]],
    release: Callable[[_Job[T, R]], None],
) -> None:
    """Puts in place of each job the pool lost the jobs of its parts."""
    jobs = list(pending)
    pending.clear()
    for job in jobs:
        parts = [] if _succeeded(job.outcome) else split(job.item)
        if len(parts) <= 1:
            pending.append(job)
            continue
        release(job)
        pending.extend(_Job[T, R](part) for part in parts)


def _failed(error: BaseException) -> Future[Any]:
    from concurrent.futures import Future

    future: Future[Any] = Future()
    future.set_exception(error)
    return future


class _NeverRaised(Exception):
    """Caught where no pool can break."""


def _is_future(outcome: object) -> TypeIs[Future[Any]]:
    # A run without worker processes never loads concurrent.futures (and
    # its logging and multiprocessing): nothing it holds is a future then.
    futures = sys.modules.get("concurrent.futures")
    return futures is not None and isinstance(outcome, futures.Future)


def _succeeded(outcome: object) -> bool:
    if not _is_future(outcome):
        return outcome is not None
    return outcome.done() and not outcome.cancelled() and outcome.exception() is None


def _buffer(memory: SharedMemory) -> memoryview:
    buf = memory.buf
    if buf is None:
        raise ValueError("shared memory closed")
    return buf
