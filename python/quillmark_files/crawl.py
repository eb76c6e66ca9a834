"""Auditing a whole crawl: finding its archive files, and auditing them on
worker threads, each file streamed by one thread.

The native pass over a file releases the interpreter lock while it works, so
threads audit files side by side on every core, with no process to start and
nothing to pickle; the main thread only hands out paths and passes rows on,
and a thread's memory stays bounded by one record whatever the size of its
file.
"""

from __future__ import annotations

import glob
import os
import queue
import signal
import stat
import threading
from collections.abc import Iterable, Iterator
from typing import Any, Callable, NamedTuple

from .audit import FIELD_NAMES, Row, audit_file, is_url, local_path, remote_filesystem
from .packages import package_targets
from .wacz import PACKAGE_SUFFIX

ARCHIVE_SUFFIXES = (".warc", ".warc.gz")
FAILED_UNEXPECTEDLY = "the audit of this file failed unexpectedly"
_GLOB_CHARACTERS = frozenset("*?[")
# Paths handed out ahead of the workers, per worker: enough that none waits
# for the main process, few enough that a stop loses little.
_AHEAD_PER_WORKER = 4
_POLL_SECONDS = 0.2  # how soon a stop signal is acted on


class Target(NamedTuple):
    """A file to audit, as found: its size for progress (None when unknown);
    ``error`` when it could not even be listed (an unreadable directory)."""

    path: str
    size: int | None = None
    error: str | None = None


def is_archive_name(name: str) -> bool:
    return name.lower().endswith(ARCHIVE_SUFFIXES)


def find_archives(paths: Iterable[str], *, globs: bool = False) -> Iterator[Target]:
    """The files to audit: each path that is not a directory as it is, and the
    archive files (.warc, .warc.gz) under each directory, walked recursively in
    name order without following links to directories. A local WACZ package
    (.wacz) is one target per WARC inside it. With ``globs``, a path
    holding * ? or [ is a pattern ("**" crossing directories). URLs are listed
    through fsspec."""
    for path in paths:
        if is_url(path) and local_path(path) is None:
            yield from _find_remote(path, globs)
        elif globs and _GLOB_CHARACTERS.intersection(path):
            for found in sorted(glob.glob(path, recursive=True)):
                yield from _find_local(found)
        else:
            yield from _find_local(path)


def _find_local(path: str) -> Iterator[Target]:
    local = local_path(path) or path
    try:
        info = os.stat(local)
    except OSError:
        yield Target(path)  # its row tells why it cannot be read
        return
    if not stat.S_ISDIR(info.st_mode):
        yield from _unpacked(Target(path, info.st_size), by_content=True)
        return
    yield from _walk(path)


def _walk(top: str) -> Iterator[Target]:
    stack = [top]
    while stack:
        directory = stack.pop()
        try:
            with os.scandir(local_path(directory) or directory) as listing:
                entries = sorted(listing, key=lambda entry: entry.name)
        except OSError as exc:
            yield Target(directory, error=exc.strerror or str(exc))
            continue
        below = []
        for entry in entries:
            path = os.path.join(directory, entry.name)
            try:
                if entry.is_dir(follow_symlinks=False):
                    below.append(path)
                    continue
                # A link that leads nowhere is a row that says so; a FIFO or
                # a socket would only block the worker that opened it.
                wanted = is_archive_name(entry.name) or entry.name.lower().endswith(PACKAGE_SUFFIX)
                if not (wanted and (entry.is_file() or entry.is_symlink())):
                    continue
                size: int | None = entry.stat().st_size
            except OSError:
                size = None
            yield from _unpacked(Target(path, size), by_content=False)
        stack.extend(reversed(below))  # popped in name order


def _unpacked(target: Target, by_content: bool) -> Iterator[Target]:
    """A package as the WARCs inside it, one target each; anything else as it
    is. Found in a walk, only a .wacz name makes a package; given by name, so
    does a file that starts as a ZIP."""
    for path, size, error in package_targets(target.path, by_content=by_content):
        yield target if (path, error) == (target.path, None) else Target(path, size, error)


def _find_remote(url: str, globs: bool) -> Iterator[Target]:
    try:
        filesystem, inner = remote_filesystem(url)
        if globs and _GLOB_CHARACTERS.intersection(inner):
            found = filesystem.glob(inner, detail=True)
        elif filesystem.isdir(inner):
            found = filesystem.find(inner, detail=True)
            found = {name: info for name, info in found.items() if is_archive_name(name)}
        else:
            yield Target(url)
            return
    except OSError as exc:
        yield Target(url, error=exc.strerror or str(exc))
        return
    for name in sorted(found):
        info = found[name]
        if info.get("type") == "directory":
            yield from _find_remote(filesystem.unstrip_protocol(name), False)
        else:
            yield Target(filesystem.unstrip_protocol(name), info.get("size"))


def listing_row(target: Target) -> Row:
    """The row of a target that could not be listed."""
    row = dict.fromkeys(FIELD_NAMES)
    row["path"] = target.path
    row["error"] = target.error
    return row


# --- the workers ---------------------------------------------------------------


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


class _Cores:
    """The cores of an audit, shared between the files: each file is read on
    as many threads as its share of the bytes still to audit gives it. While
    many files wait that is one each, files audited side by side; a file much
    larger than the rest, or one of the last few, gets more. Files start in
    the order they were handed out, each once the cores it takes are free."""

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
        """Waits for this file's turn and cores; returns how many it takes."""
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


def _worker(
    todo: queue.Queue[Target | None],
    done: queue.Queue[Row | None],
    function: Callable[..., Row],
    inflater: str | None,
    stopped: threading.Event,
    cores: _Cores,
) -> None:
    def check_stop(_done: int, _total: int | None) -> None:
        if stopped.is_set():
            raise _Stopped

    while True:
        target = todo.get()
        if target is None or stopped.is_set():
            break
        threads = cores.take(target, stopped)
        if stopped.is_set():
            cores.give_back(target, threads)
            break
        try:
            row = function(target.path, inflater=inflater, progress=check_stop, threads=threads)
        except _Stopped:
            break
        except Exception as exc:  # a fault of this tool: the file's row says so
            row = listing_row(Target(target.path, error=f"{FAILED_UNEXPECTEDLY}: {exc!r}"))
        finally:
            cores.give_back(target, threads)
        done.put(row)
    done.put(None)  # this worker is done


def audit_all(
    targets: Iterable[Target],
    on_row: Callable[[Row], None],
    *,
    jobs: int,
    inflater: str | None = None,
    function: Callable[..., Row] = audit_file,
) -> int | None:
    """Audits every target with ``jobs`` cores, calling ``on_row`` on this
    thread with each row as its file is done (in the order they finish).
    ``function(path, inflater=..., progress=..., threads=...)`` makes a row;
    files are audited side by side, and a file gets more threads than one when
    fewer files than cores are left or it is much larger than the rest (see
    _Cores).

    Returns None when every file was audited, or the number of the signal
    (SIGINT for Ctrl-C, SIGTERM, SIGHUP) that stopped the run: the files being
    audited then are left off, and every row finished before has been passed
    on. A file whose audit fails unexpectedly gets a row saying so; the others
    go on.
    """
    jobs = max(1, jobs)
    todo: queue.Queue[Target | None] = queue.Queue()
    done: queue.Queue[Row | None] = queue.Queue()
    cores = _Cores(jobs)
    with _StopSignals() as stop:
        # Daemon threads: one blocked in an open that never returns (a FIFO
        # with no writer) must not keep the process alive after a stop.
        workers = [
            threading.Thread(
                target=_worker,
                args=(todo, done, function, inflater, stop.event, cores),
                name=f"quillmark-audit-{n}",
                daemon=True,
            )
            for n in range(jobs)
        ]
        for worker in workers:
            worker.start()
        running = len(workers)
        waiting: Iterator[Target] | None = iter(targets)
        handed_out = 0  # targets given to the workers whose rows have not come
        while running and stop.signum is None:
            while waiting is not None and handed_out < jobs * _AHEAD_PER_WORKER:
                target = next(waiting, None)
                if target is None:
                    waiting = None
                    for _ in workers:
                        todo.put(None)
                elif target.error is not None:
                    on_row(listing_row(target))
                else:
                    cores.handed_out(target)
                    todo.put(target)
                    handed_out += 1
            try:
                row = done.get(timeout=_POLL_SECONDS)
            except queue.Empty:
                continue
            if row is None:
                running -= 1
            else:
                handed_out -= 1
                on_row(row)
        if stop.signum is not None:
            # Rows finished before the stop are kept; the rest is left off.
            while True:
                try:
                    row = done.get_nowait()
                except queue.Empty:
                    break
                if row is not None:
                    on_row(row)
    return stop.signum
