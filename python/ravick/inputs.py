"""Inputs: gathering files from paths, reading them safely, scanning many.

Directories are walked recursively; symlinks met inside a walk are not
followed (neither to directories nor to files, so a file is never scanned
twice under two names), and only regular files are opened. A path named on
the command line is followed if it is a symlink. FIFOs, devices and sockets
are never opened for reading: a FIFO named by a path can neither hang a run
nor, like ``/dev/zero``, fill memory.
"""

from __future__ import annotations

import io
import os
import signal
import stat
import sys
import threading
from collections import deque
from collections.abc import Iterable, Iterator
from contextlib import ExitStack, contextmanager, suppress
from dataclasses import dataclass
from functools import partial
from typing import TYPE_CHECKING, Protocol

from ravick.addresses import with_addresses
from ravick.finding import Found, find_with_notes

if TYPE_CHECKING:
    from concurrent.futures import Executor, Future, ProcessPoolExecutor
    from multiprocessing.context import BaseContext

STDIN = "-"
NOT_FOLLOWED = "symlink, not followed"
STDIN_LIMIT = 4 << 30
"""Bytes read from standard input at most when no ``max_size`` is given."""


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


@dataclass(frozen=True, slots=True)
class Target:
    """One input to scan, or one entry to report without scanning."""

    path: str
    size: int | None
    skipped: str | None = None
    error: str | None = None


class Progress(Protocol):
    """Receives the totals before a run and each report as it completes."""

    def started(self, files: int, total_bytes: int) -> None: ...

    def advanced(self, report: FileReport) -> None: ...

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
        yield Target(path, None, error=_reason(e))
        return
    if stat.S_ISDIR(st.st_mode):
        yield from _walk(path, max_size)
    elif not stat.S_ISREG(st.st_mode):
        yield Target(path, None, error=f"not a regular file ({_kind(st.st_mode)})")
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
        yield Target(e.filename or top, None, error=_reason(e))


def _is_link(root: str, name: str) -> bool:
    return os.path.islink(os.path.join(root, name))


def _classify(path: str, max_size: int | None) -> Target:
    try:
        st = os.lstat(path)
    except OSError as e:
        return Target(path, None, error=_reason(e))
    if stat.S_ISLNK(st.st_mode):
        return Target(path, None, skipped=NOT_FOLLOWED)
    if not stat.S_ISREG(st.st_mode):
        return Target(path, None, skipped=f"not a regular file ({_kind(st.st_mode)})")
    if max_size is not None and st.st_size > max_size:
        return Target(path, st.st_size, skipped=f"larger than {max_size} bytes")
    return Target(path, st.st_size)


def _kind(mode: int) -> str:
    kinds = [
        (stat.S_ISDIR, "directory"),
        (stat.S_ISFIFO, "FIFO"),
        (stat.S_ISCHR, "character device"),
        (stat.S_ISBLK, "block device"),
        (stat.S_ISSOCK, "socket"),
        (stat.S_ISLNK, "symlink"),
    ]
    return next((label for test, label in kinds if test(mode)), "special file")


def _reason(e: OSError) -> str:
    return e.strerror or str(e)


def read_regular_file(path: str, max_size: int | None = None) -> bytes:
    """The bytes of the regular file at ``path``.

    Raises ``OSError`` when it cannot be read, is not a regular file when
    opened, or holds more than ``max_size`` bytes. The file is opened
    without blocking, so a FIFO put in its place cannot hang the call.
    """
    flags = os.O_RDONLY | os.O_NONBLOCK | os.O_NOCTTY | os.O_CLOEXEC
    fd = os.open(path, flags)
    with open(fd, "rb", buffering=0) as f:
        st = os.fstat(fd)
        if not stat.S_ISREG(st.st_mode):
            raise OSError(f"not a regular file ({_kind(st.st_mode)})")
        if max_size is not None and st.st_size > max_size:
            raise OSError(f"larger than {max_size} bytes")
        os.set_blocking(fd, True)
        return _read_exactly(f, st.st_size)


def _read_exactly(f: io.FileIO, size: int) -> bytes:
    # A file may shrink or grow while it is read: take what is there, up to
    # the size it had when it was opened.
    data = f.read(size) or b""
    if len(data) == size:
        return data
    parts = [data]
    got = len(data)
    while got < size:
        more = f.read(size - got)
        if not more:
            break
        parts.append(more)
        got += len(more)
    return b"".join(parts)


def read_stdin(max_size: int | None = None) -> bytes:
    """Standard input, at most ``max_size`` (default ``STDIN_LIMIT``) bytes."""
    limit = STDIN_LIMIT if max_size is None else max_size
    data = sys.stdin.buffer.read(limit + 1)
    if len(data) > limit:
        raise OSError(f"more than {limit} bytes on standard input")
    return data


def scan_target(
    target: Target, max_size: int | None = None, threads: int = 1
) -> FileReport:
    """Reads and scans one input, the native scan of a large one on
    ``threads`` threads; never raises for anything the input holds."""
    if target.error is not None or target.skipped is not None:
        return FileReport(
            target.path, target.size, error=target.error, skipped=target.skipped
        )
    try:
        if target.path == STDIN:
            data = read_stdin(max_size)
        else:
            data = read_regular_file(target.path, max_size)
    except OSError as e:
        return FileReport(target.path, target.size, error=_reason(e))
    except MemoryError:
        return FileReport(target.path, target.size, error="out of memory")
    try:
        findings = find_with_notes(data, threads=threads)
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException as e:  # an internal abort of the scanner, never input
        return FileReport(target.path, len(data), error=f"internal error: {e!r}")
    path = None if target.path == STDIN else target.path
    found = with_addresses(findings.found, data, path)
    return FileReport(target.path, len(data), found, notes=findings.notes)


def find_in_paths(
    paths: Iterable[str],
    *,
    workers: int | None = None,
    progress: Progress | None = None,
    max_size: int | None = None,
    executor: Executor | None = None,
) -> Iterator[FileReport]:
    """Scans files and directories; one report per input, sorted by path.

    ``workers`` is the number of worker processes (default: the machine's
    cores; 1 scans in this process). ``executor`` runs the scans instead,
    for example :func:`ravick.distributed.dask_executor`'s; it must accept
    :func:`scan_target` and its arguments, and the workers must see the
    paths under the same names. Standard input (``-``) is always read here.
    Reports come out in path order as soon as each report and all before it
    are done, whatever the number of workers.
    """
    targets = gather(paths, max_size=max_size)
    readable = [t for t in targets if t.error is None and t.skipped is None]
    with ExitStack() as stack:
        pool = executor or _local_pool(workers, readable, stack)
        window = _window(_parallelism(executor) or workers or os.cpu_count() or 1)
        if progress is not None:
            progress.started(len(readable), sum(t.size or 0 for t in readable))
            stack.callback(progress.finished)
        reports: Iterator[FileReport]
        if pool is None:
            # One file (or -j 1): its own scan takes the threads.
            threads = workers or os.cpu_count() or 1
            reports = (scan_target(t, max_size, threads) for t in targets)
        else:
            reports = in_order(pool, targets, max_size, window=window)
        for report in reports:
            if progress is not None:
                progress.advanced(report)
            yield report


def _local_pool(
    workers: int | None, readable: list[Target], stack: ExitStack
) -> Executor | None:
    """A pool of worker processes, or None to scan in this process."""
    count = min(workers or os.cpu_count() or 1, len(readable))
    if count <= 1 or any(t.path == STDIN for t in readable):
        return None
    import multiprocessing
    from concurrent.futures import ProcessPoolExecutor

    # A fork starts a worker in no time and, unlike spawn and forkserver,
    # never runs the caller's main module again; it is only safe while this
    # process has no other thread.
    context: BaseContext
    if threading.active_count() == 1:
        context = multiprocessing.get_context("fork")
    else:
        server = multiprocessing.get_context("forkserver")
        server.set_forkserver_preload(["ravick.inputs"])
        context = server
    pool = ProcessPoolExecutor(count, mp_context=context, initializer=ignore_interrupts)
    stack.push(partial(_close_pool, pool))
    # Every worker is forked at the first submission, before the caller's
    # progress display starts a thread. Ctrl-C is held back meanwhile, so
    # that no worker sees one before it has set itself to ignore it.
    with interrupts_held():
        pool.submit(os.getpid).result()
    return pool


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


def _close_pool(pool: ProcessPoolExecutor, kind: object, *_: object) -> bool:
    # Leaving early (an interrupt, an error, a reader that stopped) ends the
    # workers at once instead of waiting for the scans they are running.
    if kind is not None:
        _terminate_workers(pool)
    pool.shutdown(wait=True, cancel_futures=True)
    return False


def _terminate_workers(pool: ProcessPoolExecutor) -> None:
    terminate = getattr(pool, "terminate_workers", None)
    if terminate is not None:  # Python 3.14
        terminate()
        return
    processes = getattr(pool, "_processes", None) or {}
    for process in list(processes.values()):
        with suppress(OSError, ValueError):
            process.terminate()


def _parallelism(executor: Executor | None) -> int:
    # An executor may say how many calls it runs at once (a cluster's
    # ``parallelism``); the window of calls in flight follows it.
    value = getattr(executor, "parallelism", 0)
    return value if isinstance(value, int) and value > 0 else 0


def _window(workers: int) -> int:
    return 4 * workers


def in_order(
    executor: Executor, targets: list[Target], max_size: int | None, *, window: int
) -> Iterator[FileReport]:
    """Runs ``scan_target`` on ``executor``, yielding reports in input order.

    At most ``window`` scans are in flight or finished but not yet yielded,
    so a run over many files holds only a few files' results at once.
    """
    pending: deque[Future[FileReport] | FileReport] = deque()
    upcoming = iter(targets)

    def submit_next() -> None:
        target = next(upcoming, None)
        if target is None:
            return
        if target.error is not None or target.skipped is not None:
            pending.append(scan_target(target))
        elif target.path == STDIN:
            # Standard input is this process's: never send it to a worker.
            pending.append(scan_target(target, max_size))
        else:
            pending.append(executor.submit(scan_target, target, max_size))

    for _ in range(max(window, 1)):
        submit_next()
    while pending:
        head = pending.popleft()
        report = head if isinstance(head, FileReport) else head.result()
        submit_next()
        yield report
