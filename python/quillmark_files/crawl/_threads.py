"""Auditing a whole crawl on worker threads.

``jobs`` is how many files are audited at once, one worker thread each, and
the number of threads the audit runs on in all: a file's pass gets a share of
them as its ``threads`` (see _ThreadBudget). The native pass releases the
interpreter lock while it works, so the workers use every core with no
process to start and nothing to pickle; the main thread only hands out
targets and passes rows on, and a worker's memory stays bounded by one
record whatever the size of its file.
"""

from __future__ import annotations

import queue
import signal
import threading
import time
from collections.abc import Iterable, Iterator
from typing import Any, Callable, Union

from ._audit import Verifying, audit_file, audit_target, error_row
from ._find import Target
from ._report import Row

FAILED_UNEXPECTEDLY = "the audit of this file failed unexpectedly"
# Targets handed out ahead of the workers, per worker: enough that none waits
# for the main thread, few enough that a stop loses little.
_AHEAD_PER_WORKER = 4
_POLL_SECONDS = 0.2  # how soon a stop signal is acted on
_END_SECONDS = 10.0  # how long stopped workers are waited for

# What a worker passes back: a row; its target once all its rows are; None at its end.
_Report = Union[Row, Target, None]


def audit_all(
    targets: Iterable[Target],
    on_row: Callable[[Row], None],
    *,
    jobs: int,
    inflater: str | None = None,
    function: Callable[..., Row] = audit_file,
    on_done: Callable[[Target], None] | None = None,
    verifying: Verifying | None = None,
) -> int | None:
    """Audits every target on ``jobs`` threads, calling ``on_row`` on this
    thread with each row as it is done (in the order they finish), and
    ``on_done`` with each target once all of its rows were passed on.
    With ``verifying``, rows tell the state of each archive's signature.
    ``function(path, inflater=..., progress=..., threads=...)`` makes the row
    of a file; a package gives a row per WARC inside it. Files are audited
    side by side, and a file gets more threads than one when fewer files than
    ``jobs`` are left or it is much larger than the rest.

    Returns None when every target was audited, or the number of the signal
    (SIGINT for Ctrl-C, SIGTERM, SIGHUP) that stopped the run: the files being
    audited then are left off, and every row finished before has been passed
    on. A file whose audit fails unexpectedly gets a row saying so; the others
    go on.
    """
    jobs = max(1, jobs)
    todo: queue.Queue[Target | None] = queue.Queue()
    done: queue.Queue[_Report] = queue.Queue()
    budget = _ThreadBudget(jobs)

    def passed_on(report: _Report) -> None:
        if isinstance(report, Target):
            if on_done is not None:
                on_done(report)
        elif report is not None:
            on_row(report)

    with _StopSignals() as stop:
        # Daemon threads: one blocked in an open that never returns (a FIFO
        # with no writer) must not keep the process alive after a stop.
        workers = [
            threading.Thread(
                target=_worker,
                args=(todo, done, function, inflater, stop.event, budget, verifying),
                name=f"quillmark-audit-{n}",
                daemon=True,
            )
            for n in range(jobs)
        ]
        for worker in workers:
            worker.start()
        try:
            running = len(workers)
            waiting: Iterator[Target] | None = iter(targets)
            handed_out = 0  # targets given to the workers and not done
            while running and stop.signum is None:
                while waiting is not None and handed_out < jobs * _AHEAD_PER_WORKER:
                    target = next(waiting, None)
                    if target is None:
                        waiting = None
                        for _ in workers:
                            todo.put(None)
                    elif target.error is not None:
                        for row in audit_target(target, verifying=verifying):
                            on_row(row)
                        passed_on(target)
                    else:
                        budget.handed_out(target)
                        todo.put(target)
                        handed_out += 1
                try:
                    report = done.get(timeout=_POLL_SECONDS)
                except queue.Empty:
                    continue
                if report is None:
                    running -= 1
                elif isinstance(report, Target):
                    handed_out -= 1
                passed_on(report)
        except BaseException:
            # A row that cannot be passed on (a closed pipe) or an interrupt:
            # the workers' passes end at their next step, and end before the
            # interpreter does, which a thread still in a pass must not see.
            stop.event.set()
            for _ in workers:
                todo.put(None)
            _let_end(workers)
            raise
        if stop.signum is not None:
            # Rows finished before the stop are kept; the rest is left off.
            while True:
                try:
                    passed_on(done.get_nowait())
                except queue.Empty:
                    break
    return stop.signum


def _worker(
    todo: queue.Queue[Target | None],
    done: queue.Queue[_Report],
    function: Callable[..., Row],
    inflater: str | None,
    stopped: threading.Event,
    budget: _ThreadBudget,
    verifying: Verifying | None,
) -> None:
    def check_stop(_done: int, _total: int | None) -> None:
        if stopped.is_set():
            raise _Stopped

    while True:
        target = todo.get()
        if target is None or stopped.is_set():
            break
        threads = budget.take(target, stopped)
        if stopped.is_set():
            budget.give_back(target, threads)
            break
        try:
            rows = audit_target(
                target,
                inflater=inflater,
                progress=check_stop,
                threads=threads,
                function=function,
                verifying=verifying,
            )
            for row in rows:
                done.put(row)
        except _Stopped:
            break
        except Exception as exc:  # a fault of this tool: the file's row says so
            row = error_row(target.path, verifying is not None)
            row["error"] = f"{FAILED_UNEXPECTEDLY}: {exc!r}"
            done.put(row)
        finally:
            budget.give_back(target, threads)
        done.put(target)
    done.put(None)  # this worker is done


def _let_end(workers: list[threading.Thread]) -> None:
    """Waits a little for stopped workers (one blocked in an open that never
    returns, on a FIFO, is left behind)."""
    deadline = time.monotonic() + _END_SECONDS
    for worker in workers:
        worker.join(max(0.0, deadline - time.monotonic()))


class _Stopped(Exception):
    """Raised in a worker's pass when the run is stopped."""


class _StopSignals:
    """Ctrl-C (and SIGTERM, SIGHUP) while auditing: the first asks for a stop
    that keeps every finished row; a second Ctrl-C interrupts at once."""

    _SIGNALS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)

    def __init__(self) -> None:
        self.signum: int | None = None
        self.event = threading.Event()
        self._old: dict[int, Any] = {}

    def _handle(self, signum: int, frame: object) -> None:
        if self.signum is not None and signum == signal.SIGINT:
            raise KeyboardInterrupt
        self.signum = self.signum or signum
        self.event.set()

    def __enter__(self) -> _StopSignals:
        if threading.current_thread() is threading.main_thread():
            for signum in self._SIGNALS:
                self._old[signum] = signal.signal(signum, self._handle)
        return self

    def __exit__(self, *exc_info: object) -> None:
        for signum, handler in self._old.items():
            signal.signal(signum, handler)


class _ThreadBudget:
    """The ``jobs`` threads of an audit, shared between the files: each file
    is read on as many threads as its share of the bytes still to audit gives
    it. While many files wait that is one each, files audited side by side; a
    file much larger than the rest, or one of the last few, gets more. Files
    start in the order they were handed out, each once the threads it takes
    are free."""

    def __init__(self, jobs: int) -> None:
        self.jobs = jobs
        self._free = jobs
        self._pending = 0  # bytes of the files handed out and not done
        self._turns: list[int] = []  # the tickets of the files waiting to start
        self._ticket = 0
        self._changed = threading.Condition()

    def handed_out(self, target: Target) -> None:
        with self._changed:
            self._pending += target.size or 0

    def take(self, target: Target, stopped: threading.Event) -> int:
        """Waits for this file's turn and threads; returns how many it takes."""
        with self._changed:
            share = 1
            if target.size and self._pending:
                share = round(self.jobs * target.size / self._pending)
            wanted = max(1, min(self.jobs, share))
            ticket = self._ticket = self._ticket + 1
            self._turns.append(ticket)
            while not stopped.is_set() and (self._turns[0] != ticket or self._free < wanted):
                self._changed.wait(_POLL_SECONDS)
            self._turns.remove(ticket)
            self._free -= wanted
            self._changed.notify_all()
            return wanted

    def give_back(self, target: Target, threads: int) -> None:
        with self._changed:
            self._free += threads
            self._pending -= target.size or 0
            self._changed.notify_all()
