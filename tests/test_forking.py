"""Parts of one input's Python work in forked children: the results in
order, and a child that fails in any way has its part done here."""

from __future__ import annotations

import os
import signal
import threading

import pytest

from ravick.forking import in_forks

HERE = os.getpid()


def _in_child() -> bool:
    return os.getpid() != HERE


def _dies(how: str) -> None:
    if how == "killed":
        os.kill(os.getpid(), signal.SIGKILL)
    elif how == "exits":
        os._exit(3)
    elif how == "raises":
        raise ValueError("in the child")


@pytest.mark.parametrize("parts", [1, 2, 4])
def test_parts_come_back_in_order_from_children(parts: int) -> None:
    got = in_forks(lambda k: (k, os.getpid(), b"x" * (k << 20)), parts)
    assert [k for k, _, _ in got] == list(range(parts))
    assert [len(blob) for _, _, blob in got] == [k << 20 for k in range(parts)]
    assert got[0][1] == HERE
    assert all(pid != HERE for _, pid, _ in got[1:])


@pytest.mark.parametrize("how", ["killed", "exits", "raises"])
def test_a_failed_child_has_its_part_done_here(how: str) -> None:
    def work(k: int) -> tuple[int, int]:
        if k == 1 and _in_child():
            _dies(how)
        return k, os.getpid()

    assert in_forks(work, 3)[1] == (1, HERE)


def test_what_fails_here_too_is_raised_here() -> None:
    def work(k: int) -> int:
        if k == 1:
            raise ValueError(f"part {k}")
        return k

    with pytest.raises(ValueError, match="part 1"):
        in_forks(work, 2)


def test_no_fork_while_another_thread_runs() -> None:
    stop = threading.Event()
    other = threading.Thread(target=stop.wait)
    other.start()
    try:
        got = in_forks(lambda k: os.getpid(), 3)
    finally:
        stop.set()
        other.join()
    assert got == [HERE] * 3
