"""Scanning on a Dask cluster: one task per file, results back in path order.

>>> from ravick import find_in_paths
>>> from ravick.distributed import dask_executor
>>> with dask_executor("tcp://scheduler:8786") as executor:
...     for report in find_in_paths(["/corpus"], executor=executor):
...         print(report.path, len(report.found))

The client (this process) walks the paths and sends each file to the
cluster as a task holding only its path and size; a worker opens the file
itself and sends back the file's report with the bytes of every descriptor
found. So **every path must be readable by every worker under the same
name**: a shared or replicated file system mounted at the same place on all
machines. A file a worker cannot open is reported like any unreadable file.
Standard input ("-") stays on the client and cannot be scanned this way. The
workers need ravick installed, at the version the client runs.

The address ``"local"`` starts a ``LocalCluster`` on this machine instead:
one single-threaded worker process per core (or ``workers``), closed again
when the block ends.

A worker that dies in the middle of a run changes nothing: the scheduler
runs its tasks again elsewhere, up to its ``distributed.scheduler.
allowed-failures`` setting (3 by default) times per task. A file whose task
it gives up on (each worker running it died) and whose size has changed
meanwhile (a file cut short under the workers' mappings) is reported as
changed while it was scanned, and the run goes on. Any other task the
cluster cannot complete fails the run with :class:`ClusterError`: a dead
worker takes the tasks queued on it down too, so the cluster cannot say
which file killed it.

Needs the ``dask`` extra: ``pip install 'ravick[dask]'``.
"""

from __future__ import annotations

import importlib.util
import os
import signal
import threading
from collections.abc import Callable, Iterator
from concurrent.futures import CancelledError, Executor, Future
from contextlib import contextmanager
from functools import partial
from types import ModuleType
from typing import TYPE_CHECKING, Any

from ravick.workers import ScanLost

if TYPE_CHECKING:
    from distributed import Client

LOCAL = "local"
"""The address that starts a cluster on this machine for the run."""
CONNECT_TIMEOUT = 10.0
"""Seconds to wait for the scheduler, and for it to have a worker."""
INSTALL_HINT = "pip install 'ravick[dask]'"


class ClusterError(Exception):
    """The run could not be completed on the cluster."""


class ClusterUnavailable(ClusterError):
    """No cluster to run on: Dask is not installed, or not reachable."""


class WorkersDied(ClusterError, ScanLost):
    """Every worker that ran one task died running it."""


def available() -> bool:
    """True when the Dask extra is installed (checked without importing it)."""
    try:
        return importlib.util.find_spec("distributed") is not None
    except (ImportError, ValueError):
        return False


@contextmanager
def dask_executor(
    address: str, *, workers: int | None = None, timeout: float = CONNECT_TIMEOUT
) -> Iterator[ClusterExecutor]:
    """An executor running each call as one task on the cluster at ``address``.

    ``address`` is a scheduler address (``tcp://host:8786``) or ``"local"``
    for a cluster of ``workers`` processes (default: the number of cores)
    started on this machine. Raises :class:`ClusterUnavailable` when Dask is
    not installed, the address is malformed, or no scheduler with at least
    one worker answers within ``timeout`` seconds. On leaving the block,
    tasks still running are cancelled and the client (and a local cluster)
    closed.
    """
    distributed = _import_distributed()
    with _client(distributed, address, workers, timeout) as client:
        executor = ClusterExecutor(client)
        try:
            yield executor
        finally:
            executor.shutdown(wait=False)


def _import_distributed() -> ModuleType:
    try:
        import distributed
    except ImportError as e:
        raise ClusterUnavailable(
            f"Dask is not installed ({e}): {INSTALL_HINT}"
        ) from None
    return distributed


@contextmanager
def _client(
    distributed: ModuleType, address: str, workers: int | None, timeout: float
) -> Iterator[Client]:
    if address == LOCAL:
        with _local_cluster(distributed, workers) as cluster:
            client: Client = distributed.Client(
                cluster, timeout=timeout, set_as_default=False
            )
            with client:
                yield client
        return
    _probe(distributed, address, timeout)
    try:
        client = distributed.Client(address, timeout=timeout, set_as_default=False)
    except (OSError, ValueError) as e:
        raise ClusterUnavailable(_unreachable(address, e)) from None
    with client:
        try:
            client.wait_for_workers(1, timeout=timeout)
        except TimeoutError:
            raise ClusterUnavailable(
                f"the Dask scheduler at {address} has no workers (waited {timeout:g} s)"
            ) from None
        yield client


def _probe(distributed: ModuleType, address: str, timeout: float) -> None:
    # A Client whose constructor fails is left half made: collected at exit,
    # it stalls and prints a traceback. Open one plain connection first so
    # that a wrong or dead address fails before any Client exists.
    import asyncio

    async def connect() -> None:
        args = distributed.Security().get_connection_args("client")
        comm = await distributed.comm.connect(address, timeout=timeout, **args)
        await comm.close()

    try:
        import asyncio  # with the cluster only: slow to import

        asyncio.run(connect())
    except (OSError, ValueError, TypeError) as e:
        raise ClusterUnavailable(_unreachable(address, e)) from None


def _unreachable(address: str, error: Exception) -> str:
    return f"cannot reach a Dask scheduler at {address!r}: {error}"


@contextmanager
def _local_cluster(distributed: ModuleType, workers: int | None) -> Iterator[Any]:
    import logging

    try:
        with _interrupts_ignored():
            cluster = distributed.LocalCluster(
                n_workers=workers or os.cpu_count() or 1,
                threads_per_worker=1,
                processes=True,
                dashboard_address=None,
                # The scheduler serves HTTP even without a dashboard: on a free
                # port, so that two runs at once do not contend for 8787.
                scheduler_kwargs={"dashboard_address": "127.0.0.1:0"},
                # ravick reports what fails itself; a cluster stopped by Ctrl-C
                # must not print the workers' complaints.
                silence_logs=logging.CRITICAL,
            )
    except Exception as e:  # whatever stops the processes from starting
        raise ClusterUnavailable(f"cannot start a local Dask cluster: {e}") from None
    with cluster:
        yield cluster


@contextmanager
def _interrupts_ignored() -> Iterator[None]:
    """Ignores Ctrl-C while a local cluster starts.

    The cluster's processes inherit the ignored SIGINT (it survives exec),
    so Ctrl-C stays the parent's to handle, and the parent is never stopped
    halfway through starting them. A Ctrl-C pressed meanwhile is lost.
    """
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    previous = signal.signal(signal.SIGINT, signal.SIG_IGN)
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, previous)


class ClusterExecutor(Executor):
    """Runs each submitted call as one task on a Dask cluster.

    Tasks are impure: every call gets a key of its own, so scanning a path
    again (a rerun, or the same corpus from two clients) reads the file
    again instead of being answered from a result the cluster still holds.
    The cluster keeps a task's result only until it has reached this
    process. A call the cluster gives up on, or whose task raises, fails
    with :class:`ClusterError`.
    """

    def __init__(self, client: Client) -> None:
        self.client = client
        self._lock = threading.Lock()
        self._pending: set[Any] = set()

    def submit[**P, T](
        self, fn: Callable[P, T], /, *args: P.args, **kwargs: P.kwargs
    ) -> Future[T]:
        """Schedules ``fn(*args, **kwargs)`` on the cluster."""
        outer: Future[T] = Future()
        # Running from the start: a cancel() here would not reach the task.
        outer.set_running_or_notify_cancel()
        task = self.client.submit(fn, *args, pure=False, **kwargs)
        with self._lock:
            self._pending.add(task)
        task.add_done_callback(partial(self._hand_on, outer))  # type: ignore[no-untyped-call]
        return outer

    def _hand_on[T](self, outer: Future[T], task: Any) -> None:
        # The outcome is read once, by result(): reading the task's status
        # and then its result again (as distributed's own executor does)
        # races with a worker that dies holding it, and mistakes a result
        # for an error.
        with self._lock:
            self._pending.discard(task)
        import asyncio

        try:
            result = task.result()
        except (CancelledError, asyncio.CancelledError):
            outer.set_exception(
                ClusterError("the cluster cancelled a task (lost the scheduler?)")
            )
        except Exception as error:
            outer.set_exception(_cluster_error(error))
        else:
            outer.set_result(result)
        finally:
            # The task future, and with it the cluster's copy of the result,
            # is dropped as soon as the result has been handed on.
            task.release()

    @property
    def parallelism(self) -> int:
        """The cluster's worker threads, which sizes the window of tasks."""
        try:
            threads = self.client.nthreads()  # type: ignore[no-untyped-call]
        except Exception:  # a cluster that cannot answer keeps the default
            return 0
        return sum(threads.values()) if isinstance(threads, dict) else 0

    def shutdown(self, wait: bool = True, *, cancel_futures: bool = False) -> None:
        """Stops taking calls; without ``wait``, cancels the running tasks."""
        with self._lock:
            pending = list(self._pending)
        if not pending:
            return
        try:
            if wait and not cancel_futures:
                from distributed import wait as wait_for

                wait_for(pending)  # type: ignore[no-untyped-call]
            else:
                self.client.cancel(pending)  # type: ignore[no-untyped-call]
        except Exception:  # a client already closing keeps nothing to cancel
            pass


def _cluster_error(error: BaseException) -> ClusterError:
    from distributed import KilledWorker

    wrapped: ClusterError
    if isinstance(error, KilledWorker):
        wrapped = WorkersDied(f"the workers running one task all died: {error}")
        wrapped.__cause__ = error
        return wrapped
    if isinstance(error, ImportError):
        message = f"a task failed on a worker ({error}); is ravick installed there?"
    else:
        message = f"a task failed on a worker: {error!r}"
    wrapped = ClusterError(message)
    wrapped.__cause__ = error
    return wrapped
