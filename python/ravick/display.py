"""The progress display on standard error, and Ctrl-C while it shows.

rich keeps state across a render (its buffer depth, its stacks of live
displays and render hooks). A KeyboardInterrupt raised in the middle of
one leaves that state half changed, and the display's stop then fails
and swallows every line printed after it. While the display shows,
Ctrl-C is therefore raised only outside rich's code: one that arrives
inside it is held back until that call returns.
"""

from __future__ import annotations

import os
import signal
import sys
import threading
from collections.abc import Callable, Iterable, Iterator
from contextlib import contextmanager
from types import FrameType
from typing import IO, TYPE_CHECKING, Any, Protocol, TextIO, cast

if TYPE_CHECKING:
    from rich.console import RenderableType
    from rich.progress import Progress, TaskID

_Handler = Callable[[int, FrameType | None], Any]


class Done(Protocol):
    """What the display counts of a finished input (a report, or its
    output)."""

    @property
    def skipped(self) -> str | None: ...
    @property
    def size(self) -> int | None: ...
    @property
    def descriptors(self) -> int: ...


class InterruptShield:
    """Defers Ctrl-C while the main thread runs code it must not leave half
    done; the interrupt is raised when the outermost such section ends.

    Installed only from the main thread, over a handler that is a Python
    function (the default raises KeyboardInterrupt); otherwise it defers
    nothing, since no interrupt is raised in this thread anyway.
    """

    def __init__(self) -> None:
        self._previous: _Handler | None = None
        self._depth = 0
        self._pending = False

    def install(self) -> None:
        """Starts deferring Ctrl-C raised inside :meth:`held` sections."""
        if self._previous is not None:
            return
        if threading.current_thread() is not threading.main_thread():
            return
        previous = signal.getsignal(signal.SIGINT)
        if not callable(previous):
            return
        self._previous = previous
        signal.signal(signal.SIGINT, self._interrupted)

    def remove(self) -> None:
        """Puts the previous handler back."""
        if self._previous is not None:
            signal.signal(signal.SIGINT, self._previous)
            self._previous = None

    def _interrupted(self, signum: int, frame: FrameType | None) -> None:
        if self._depth and self._previous is not None:
            self._pending = True
            return
        self._call_previous(signum, frame)

    def _call_previous(self, signum: int, frame: FrameType | None) -> None:
        previous = self._previous or signal.default_int_handler
        previous(signum, frame)

    @contextmanager
    def held(self) -> Iterator[None]:
        """A section that Ctrl-C does not interrupt; it is raised after."""
        self._depth += 1
        try:
            yield
        finally:
            self._depth -= 1
            if not self._depth and self._pending:
                self._pending = False
                self._call_previous(signal.SIGINT, None)


class _ShieldedStream:
    """A text stream whose writes run inside the shield's sections."""

    def __init__(self, stream: TextIO, shield: InterruptShield) -> None:
        self._stream = stream
        self._shield = shield

    def write(self, text: str) -> int:
        with self._shield.held():
            return self._stream.write(text)

    def flush(self) -> None:
        with self._shield.held():
            self._stream.flush()

    def __getattr__(self, name: str) -> Any:
        return getattr(self._stream, name)


class TerminalProgress:
    """A progress display on standard error: bytes and files, finds, rate.

    It shows only when the run is large enough to need one (``min_bytes``
    or ``min_files``) and standard error is a terminal.
    """

    def __init__(
        self,
        stream: IO[str] | None = None,
        *,
        min_bytes: int = 256 << 20,
        min_files: int = 200,
    ) -> None:
        self._stream = stream or sys.stderr
        self._min_bytes = min_bytes
        self._min_files = min_files
        self._bar: Progress | None = None
        self._task: TaskID | None = None
        self._files = 0
        self._found = 0
        self._total_files = 0
        self._done = 0
        self._live: Callable[[], int] | None = None
        self._shield = InterruptShield()

    @staticmethod
    def wanted(stream: IO[str] | None = None) -> bool:
        """True when the stream (standard error by default) is a terminal."""
        s = stream or sys.stderr
        return s.isatty()

    def started(self, files: int, total_bytes: int) -> None:
        """Opens the display for a run of ``files`` files."""
        if files < self._min_files and total_bytes < self._min_bytes:
            return
        self._shield.install()
        with self._shield.held():
            self._start(files, total_bytes)

    @property
    def showing(self) -> bool:
        """True while the display is up."""
        return self._bar is not None

    def watch(self, live: Callable[[], int]) -> None:
        """Shows, besides the files done, the bytes that ``live`` says the
        scans in flight have done."""
        self._live = live

    def _sync(self, bar: Progress) -> None:
        if self._task is not None and self._live is not None:
            bar.update(self._task, completed=self._completed())

    def _completed(self) -> int:
        live = self._live
        try:
            return self._done + (live() if live is not None else 0)
        except (ValueError, OSError):  # the run has ended
            return self._done

    def _start(self, files: int, total_bytes: int) -> None:
        # rich costs tens of milliseconds to import: only when it shows.
        from rich.console import Console
        from rich.progress import (
            BarColumn,
            DownloadColumn,
            TextColumn,
            TimeRemainingColumn,
            TransferSpeedColumn,
        )

        redirect_stdout = _same_terminal(sys.stdout, self._stream)
        redirect_stderr = _same_terminal(sys.stderr, self._stream)
        bar = _live_bar_class()(
            TextColumn("{task.description}"),
            BarColumn(),
            DownloadColumn(),
            TransferSpeedColumn(),
            TimeRemainingColumn(),
            console=Console(file=self._stream),
            transient=True,
            # Standard output goes where the user sent it, untouched; only
            # when it is the display's own terminal are lines printed above.
            redirect_stdout=redirect_stdout,
            redirect_stderr=redirect_stderr,
            sync=self._sync,
        )
        self._task = bar.add_task(self._label(files), total=total_bytes)
        self._total_files = files
        bar.start()
        self._bar = bar
        # Lines printed above the display go through rich too; stopping the
        # display puts the streams it replaced back.
        if redirect_stdout:
            sys.stdout = cast(TextIO, _ShieldedStream(sys.stdout, self._shield))
        if redirect_stderr:
            sys.stderr = cast(TextIO, _ShieldedStream(sys.stderr, self._shield))

    def _label(self, files: int) -> str:
        return f"{self._files}/{files} files, {self._found} descriptors"

    def advanced(self, report: Done) -> None:
        """Counts one finished input."""
        if self._bar is None or self._task is None or report.skipped is not None:
            return
        self._files += 1
        self._found += report.descriptors
        self._done += report.size or 0
        with self._shield.held():
            self._bar.update(
                self._task,
                completed=self._completed(),
                description=self._label(self._total_files),
            )

    def finished(self) -> None:
        """Closes the display."""
        try:
            with self._shield.held():
                if self._bar is not None:
                    self._bar.stop()
                    self._bar = None
        finally:
            self._shield.remove()


def _live_bar_class() -> Callable[..., Progress]:
    from rich.progress import Progress

    class LiveBar(Progress):
        """A bar that takes in the bytes done within files at each refresh."""

        def __init__(
            self, *columns: Any, sync: Callable[[Progress], None], **options: Any
        ) -> None:
            self._sync = sync  # rich renders once while it starts
            super().__init__(*columns, **options)

        def get_renderables(self) -> Iterable[RenderableType]:
            self._sync(self)
            yield from super().get_renderables()

    return LiveBar


def _same_terminal(stream: IO[str], display: IO[str]) -> bool:
    """True when ``stream`` writes to the terminal the display is on."""
    try:
        if not (stream.isatty() and display.isatty()):
            return False
        return os.fstat(stream.fileno()).st_rdev == os.fstat(display.fileno()).st_rdev
    except (OSError, ValueError, AttributeError):
        return False
