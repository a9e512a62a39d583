"""Pure-Python work over the parts of one input, on several cores.

The native passes over a large input run on threads; what comes after them
(the facts of each distinct descriptor) is Python, which one interpreter
runs on one core at a time. A forked child shares the parent's memory as it
stands (the input's mapping, the scan's ranges, the caches), so it can take
a part of that work at the cost of sending back its result.

A fork is only safe while this process runs no other thread; otherwise, or
without ``os.fork``, every part is done here. A child that fails in any way
(killed, out of memory, an exception, a result that does not arrive whole)
has its part done again here, where the same failure is the caller's, as it
would be without forking.
"""

from __future__ import annotations

import os
import pickle
import signal
import threading
from collections.abc import Callable
from contextlib import suppress
from dataclasses import dataclass

_READ = 1 << 20


@dataclass(frozen=True, slots=True)
class _Child:
    pid: int
    pipe: int
    part: int


def in_forks[T](work: Callable[[int], T], parts: int) -> list[T]:
    """``[work(k) for k in range(parts)]``, the parts after the first each
    in a forked child when that is safe."""
    if parts <= 1 or not _may_fork():
        return [work(k) for k in range(parts)]
    children: list[_Child] = []
    try:
        for k in range(1, parts):
            children.append(_forked(work, k))
    except OSError:  # no more processes: the rest is done here
        pass
    started = {child.part for child in children}
    done: dict[int, T] = {}
    try:
        done[0] = work(0)
        while children:
            child = children.pop(0)  # reaped by _result, whatever happens
            done[child.part] = _result(work, child)
    finally:
        for child in children:  # left early: end them, reap them
            _reap(child, kill=True)
    for k in range(1, parts):
        if k not in started:
            done[k] = work(k)
    return [done[k] for k in range(parts)]


def _may_fork() -> bool:
    return hasattr(os, "fork") and threading.active_count() == 1


def _forked[T](work: Callable[[int], T], part: int) -> _Child:
    read, write = os.pipe()
    try:
        pid = os.fork()
    except OSError:
        os.close(read)
        os.close(write)
        raise
    if pid == 0:  # the child: never returns
        os.close(read)
        _run_child(work, part, write)
    os.close(write)
    return _Child(pid, read, part)


def _run_child[T](work: Callable[[int], T], part: int, pipe: int) -> None:
    status = 1
    try:
        payload = pickle.dumps(work(part), pickle.HIGHEST_PROTOCOL)
        with memoryview(payload) as view:
            while view:
                view = view[os.write(pipe, view) :]
        status = 0
    finally:
        # Nothing of the parent's (buffered output, exit handlers, the
        # pool's queues) may run twice.
        os._exit(status)


def _result[T](work: Callable[[int], T], child: _Child) -> T:
    """The child's result, or its part done here if it failed."""
    chunks: list[bytes] = []
    whole = False
    try:
        while chunk := os.read(child.pipe, _READ):
            chunks.append(chunk)
        whole = True
    except OSError:
        pass
    finally:
        status = _reap(child, kill=not whole)
    if status == 0 and whole and chunks:
        try:
            result: T = pickle.loads(b"".join(chunks))
        except Exception:  # a broken result: done here
            pass
        else:
            return result
    return work(child.part)


def _reap(child: _Child, *, kill: bool) -> int:
    """Closes the child's pipe and waits for it; its exit status, or -1."""
    os.close(child.pipe)
    if kill:
        with suppress(OSError):
            os.kill(child.pid, signal.SIGKILL)
    try:
        _, status = os.waitpid(child.pid, 0)
    except ChildProcessError:
        return -1
    return os.waitstatus_to_exitcode(status)
