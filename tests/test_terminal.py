"""The command at a terminal: while the progress display runs on standard
error, standard output still goes where the user sent it, byte for byte;
Ctrl-C with workers busy ends the run with one line."""

import base64
import json
import os
import pty
import re
import signal
import subprocess
import sys
import threading

import pytest
from google.protobuf import descriptor_pb2, timestamp_pb2

import ravick
from test_package_find import embed

DESCRIPTOR = descriptor_pb2.DESCRIPTOR.serialized_pb
TIMESTAMP = timestamp_pb2.DESCRIPTOR.serialized_pb
COMMAND = [sys.executable, "-m", "ravick"]


@pytest.fixture(scope="module")
def many(tmp_path_factory):
    """Enough files for the display to show, each with two descriptors."""
    top = tmp_path_factory.mktemp("many")
    for k in range(210):
        (top / f"f{k:03}").write_bytes(embed(TIMESTAMP, DESCRIPTOR))
    return top


def _drain(fd: int, into: bytearray) -> None:
    while True:
        try:
            chunk = os.read(fd, 65536)
        except OSError:
            return
        if not chunk:
            return
        into += chunk


def run_at_terminal(args, stdout_kind, tmp_path):
    """Runs the command with standard error on a terminal and standard
    output a file or a pipe; returns what reached each."""
    leader, follower = pty.openpty()
    seen = bytearray()
    reader = threading.Thread(target=_drain, args=(leader, seen))
    reader.start()
    target = tmp_path / "stdout"
    try:
        if stdout_kind == "file":
            with target.open("wb") as out:
                subprocess.run(
                    [*COMMAND, *args], stdout=out, stderr=follower, timeout=120
                )
            written = target.read_bytes()
        else:
            proc = subprocess.run(
                [*COMMAND, *args], stdout=subprocess.PIPE, stderr=follower, timeout=120
            )
            written = proc.stdout
    finally:
        os.close(follower)
        reader.join(timeout=30)
        os.close(leader)
    return written, bytes(seen)


def normalized(text: bytes, out_dir: str = "") -> bytes:
    text = re.sub(rb"\d+\.\d+ s\b", b"T s", text)
    text = re.sub(rb'"seconds":[0-9.]+', b'"seconds":T', text)
    return text.replace(out_dir.encode(), b"OUT") if out_dir else text


@pytest.mark.parametrize("stdout_kind", ["file", "pipe"])
@pytest.mark.parametrize(
    "args",
    [
        ["scan"],
        ["scan", "--jsonl"],
        ["scan", "--json"],
        ["extract"],
        ["extract", "--json"],
    ],
)
def test_standard_output_is_untouched_by_the_display(many, tmp_path, args, stdout_kind):
    extract = args[0] == "extract"
    out_a, out_b = str(tmp_path / "a"), str(tmp_path / "b")
    with_display = [*args, *(["-o", out_a] if extract else []), str(many)]
    plain = [*args, *(["-o", out_b] if extract else []), str(many)]
    written, seen = run_at_terminal(with_display, stdout_kind, tmp_path)
    expected = subprocess.run(
        [*COMMAND, *plain], capture_output=True, timeout=120, check=False
    ).stdout
    assert b"descriptors" in seen and b"Traceback" not in seen
    assert normalized(written, out_a) == normalized(expected, out_b)
    # Every descriptor line reached the file, none the terminal.
    if args == ["scan"]:
        assert written.count(b"google/protobuf/timestamp.proto") == 210
        assert b"timestamp.proto" not in seen


# Runs in an interpreter of its own: forking this test process, which has
# threads, could deadlock the child before it runs the command.
DRIVER = """
import base64, json, os, pty, select, sys, time
args, marker = json.loads(sys.argv[1]), sys.argv[2].encode()
pid, leader = pty.fork()
if pid == 0:  # the command, the terminal its controlling one
    os.execv(sys.executable, [sys.executable, "-m", "ravick", *args])
def read(into, wait):
    ready, _, _ = select.select([leader], [], [], wait)
    if not ready:
        return True
    try:
        chunk = os.read(leader, 65536)
    except OSError:
        return False
    into += chunk
    return bool(chunk)
shown, after = bytearray(), bytearray()
deadline = time.monotonic() + 120
while marker not in shown and time.monotonic() < deadline and read(shown, 1):
    pass
os.write(leader, b"\\x03")
while read(after, 60):
    pass
_, status = os.waitpid(pid, 0)
print(json.dumps([base64.b64encode(shown).decode(), base64.b64encode(after).decode(),
                  os.waitstatus_to_exitcode(status)]))
"""


def interrupt_when_busy(args, marker="files"):
    """Runs the command on a terminal, presses Ctrl-C once the display
    shows, and returns what the terminal showed before and after, and the
    exit status."""
    proc = subprocess.run(
        [sys.executable, "-c", DRIVER, json.dumps(args), marker],
        capture_output=True,
        text=True,
        timeout=300,
        check=True,
    )
    shown, after, status = json.loads(proc.stdout)
    return base64.b64decode(shown), base64.b64decode(after), status


@pytest.fixture(scope="module")
def busy(tmp_path_factory):
    """A large sparse file that keeps one worker busy, and small files that
    the other finishes before waiting for more."""
    top = tmp_path_factory.mktemp("busy")
    with (top / "a-large").open("wb") as f:
        f.truncate(1 << 30)
    for k in range(40):
        (top / f"small{k:02}").write_bytes(embed(TIMESTAMP))
    with (top / "z-large").open("wb") as f:
        f.truncate(1 << 30)
    return top


@pytest.mark.parametrize("extra", [[], ["--dask", "local"]], ids=["processes", "dask"])
def test_ctrl_c_with_workers_is_one_line(busy, tmp_path, extra):
    out = tmp_path / "out"
    shown, after, status = interrupt_when_busy(
        ["extract", "-j", "2", *extra, "-o", str(out), str(busy)]
    )
    assert b"files" in shown, shown
    text = re.sub(rb"\x1b\[[0-9;?]*[A-Za-z]", b"", shown + after)
    assert status == 130, text
    assert b"Traceback" not in text and b"Process " not in text, text
    assert text.count(b"ravick: interrupted") == 1
    assert not out.exists() or not [p for p in out.rglob("*") if p.is_file()]


@pytest.mark.parametrize(
    "method, phase",
    [
        ("set_live", "start"),  # the display half started
        ("print", "above"),  # a line printed above the display
        ("clear_live", "stop"),  # the display half stopped
    ],
)
def test_ctrl_c_inside_the_display_leaves_the_terminal_whole(
    monkeypatch, method, phase
):
    """Ctrl-C that lands inside rich's own code is raised after it, so the
    display still stops and later lines reach the terminal."""
    import rich.console

    from ravick.display import TerminalProgress
    from ravick.inputs import FileReport

    armed = []
    original = getattr(rich.console.Console, method)

    def interrupted_inside(self, *args, **kwargs):
        if armed and armed.pop() == phase:
            signal.raise_signal(signal.SIGINT)
        return original(self, *args, **kwargs)

    monkeypatch.setattr(rich.console.Console, method, interrupted_inside)
    leader, follower = pty.openpty()
    seen = bytearray()
    reader = threading.Thread(target=_drain, args=(leader, seen), daemon=True)
    reader.start()
    terminal = open(follower, "w", encoding="utf-8", closefd=False)  # noqa: SIM115
    monkeypatch.setattr(sys, "stderr", terminal)
    progress = TerminalProgress(terminal, min_files=1)
    interrupts = 0
    try:
        for step, call in [
            ("start", lambda: progress.started(10, 100)),
            ("above", lambda: print("a line above", file=sys.stderr)),
            ("advance", lambda: progress.advanced(FileReport("f", 10))),
            ("stop", progress.finished),
        ]:
            armed[:] = [step]
            try:
                call()
            except KeyboardInterrupt:
                interrupts += 1
        restored = sys.stderr is terminal
        handler = signal.getsignal(signal.SIGINT)
        print("after the display", file=terminal, flush=True)
    finally:
        signal.signal(signal.SIGINT, signal.default_int_handler)
        os.close(follower)
        reader.join(timeout=30)
        os.close(leader)
    assert interrupts == 1
    assert restored and handler is signal.default_int_handler
    assert b"a line above" in seen and b"after the display" in seen


def test_the_shield_holds_ctrl_c_only_inside_its_sections():
    from ravick.display import InterruptShield

    shield = InterruptShield()
    shield.install()
    try:
        with pytest.raises(KeyboardInterrupt):  # outside: at once
            signal.raise_signal(signal.SIGINT)
            pytest.fail("not raised at once")
        steps = []
        with pytest.raises(KeyboardInterrupt), shield.held():
            with shield.held():
                signal.raise_signal(signal.SIGINT)
                steps.append("inner")
            steps.append("outer")  # held until the outermost ends
        assert steps == ["inner", "outer"]
        with shield.held():  # nothing pending: nothing raised
            pass
    finally:
        shield.remove()
    assert signal.getsignal(signal.SIGINT) is signal.default_int_handler
    # From another thread, nothing is installed.
    other = InterruptShield()
    worker = threading.Thread(target=other.install)
    worker.start()
    worker.join()
    assert signal.getsignal(signal.SIGINT) is signal.default_int_handler


@pytest.mark.parametrize(
    ("files", "total", "shown"),
    [(2, 99, False), (3, 99, True), (2, 100, True)],  # at either threshold
)
def test_the_display_counts_files_and_finds(files, total, shown):
    from ravick.display import TerminalProgress
    from ravick.inputs import FileReport

    leader, follower = pty.openpty()
    seen = bytearray()
    reader = threading.Thread(target=_drain, args=(leader, seen), daemon=True)
    reader.start()
    terminal = open(follower, "w", encoding="utf-8", closefd=False)  # noqa: SIM115
    progress = TerminalProgress(terminal, min_files=3, min_bytes=100)
    try:
        progress.started(files, total)
        (found,) = ravick.find(TIMESTAMP)
        progress.advanced(FileReport("a", 10, (found, found)))
        progress.advanced(FileReport("b", None, skipped="not a regular file (FIFO)"))
        progress.finished()
    finally:
        os.close(follower)
        reader.join(timeout=30)
        os.close(leader)
    assert (f"1/{files} files, 2 descriptors".encode() in seen) == shown


def test_the_shield_calls_the_handler_it_replaced():
    from ravick.display import InterruptShield

    calls = []
    previous = signal.signal(signal.SIGINT, lambda n, f: calls.append(n))
    shield = InterruptShield()
    try:
        shield.install()
        signal.raise_signal(signal.SIGINT)
        with shield.held():
            signal.raise_signal(signal.SIGINT)
            assert calls == [signal.SIGINT]
        assert calls == [signal.SIGINT, signal.SIGINT]
    finally:
        shield.remove()
        signal.signal(signal.SIGINT, previous)
