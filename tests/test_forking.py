"""Parts of one input's Python work in forked children: the results in
order, and a child that fails in any way has its part done here.

Each case runs in a new interpreter: a fork is only made while no other
thread runs, and the test process may hold threads of earlier tests."""

from __future__ import annotations

import json
import os
import subprocess
import sys
import threading

import pytest

from ravick.forking import in_forks

SCENARIO = """
import json, os, signal, sys
from ravick.forking import in_forks

here = os.getpid()
how, parts = sys.argv[1], int(sys.argv[2])

def work(k):
    if k == 1 and os.getpid() != here:
        if how == "killed":
            os.kill(os.getpid(), signal.SIGKILL)
        elif how == "exits":
            os._exit(3)
        elif how == "raises":
            raise ValueError("in the child")
    return [k, os.getpid() == here, len(b"x" * (k << 20))]

try:
    print(json.dumps(in_forks(work, parts)))
except ValueError as e:
    print(json.dumps(str(e)))
"""


def _run(how: str, parts: int) -> object:
    out = subprocess.run(
        [sys.executable, "-c", SCENARIO, how, str(parts)],
        capture_output=True,
        text=True,
        check=True,
        timeout=120,
    )
    return json.loads(out.stdout)


@pytest.mark.parametrize("parts", [1, 2, 4])
def test_parts_come_back_in_order_from_children(parts: int) -> None:
    # [part, done here, bytes sent back]
    assert _run("works", parts) == [[k, k == 0, k << 20] for k in range(parts)]


@pytest.mark.parametrize("how", ["killed", "exits", "raises"])
def test_a_failed_child_has_its_part_done_here(how: str) -> None:
    assert _run(how, 3) == [[0, True, 0], [1, True, 1 << 20], [2, False, 2 << 20]]


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
    assert got == [os.getpid()] * 3
