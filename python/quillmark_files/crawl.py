"""Auditing a whole crawl: finding its archive files, and auditing them in a
pool of worker processes, each file streamed by one worker.

The main process only hands out paths and receives rows, a few hundred bytes
each, so it never becomes the bottleneck, and a worker's memory stays bounded
by one record whatever the size of its file.
"""

from __future__ import annotations

import contextlib
import glob
import multiprocessing
import os
import signal
import stat
import threading
from collections.abc import Iterable, Iterator
from concurrent.futures import FIRST_COMPLETED, Future, ProcessPoolExecutor, wait
from concurrent.futures.process import BrokenProcessPool
from dataclasses import dataclass
from typing import Any, Callable

from .audit import FIELD_NAMES, Row, audit_file, is_url, local_path, remote_filesystem
from .packages import package_targets
from .wacz import PACKAGE_SUFFIX

ARCHIVE_SUFFIXES = (".warc", ".warc.gz")
WORKER_DIED = "the worker process auditing this file ended unexpectedly"
_GLOB_CHARACTERS = frozenset("*?[")
# Paths handed out ahead of the workers, per worker: enough that none waits
# for the main process, few enough that a stop loses little.
_AHEAD_PER_WORKER = 4
_POLL_SECONDS = 0.2  # how soon a stop signal is acted on


@dataclass(frozen=True)
class Target:
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


# --- the pool ------------------------------------------------------------------


def _start_worker() -> None:
    # Ctrl-C reaches every process of the terminal's group; the main process
    # alone decides what it means, and stops the workers itself.
    signal.signal(signal.SIGINT, signal.SIG_IGN)


class _Pool:
    """A process pool that can be stopped at once, running or not."""

    def __init__(self, jobs: int, function: Callable[..., Row], inflater: str | None):
        # Spawned workers: a fork would copy the main process's threads' locks.
        self._executor = ProcessPoolExecutor(
            jobs, multiprocessing.get_context("spawn"), initializer=_start_worker
        )
        self._function = function
        self._inflater = inflater

    def submit(self, path: str) -> Future[Row]:
        return self._executor.submit(self._function, path, inflater=self._inflater)

    def stop(self) -> None:
        # Terminated, not waited for: a worker may be an hour into a large file.
        for process in list(getattr(self._executor, "_processes", {}).values()):
            with contextlib.suppress(OSError, AttributeError):
                process.terminate()
        self._executor.shutdown(wait=True, cancel_futures=True)


class _StopSignals:
    """Ctrl-C (and SIGTERM, SIGHUP) while auditing: the first asks for a stop
    that keeps every finished row; a second Ctrl-C interrupts at once."""

    _SIGNALS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)

    def __init__(self) -> None:
        self.signum: int | None = None
        self._old: dict[int, Any] = {}

    def _handle(self, signum: int, frame: object) -> None:
        if self.signum is not None and signum == signal.SIGINT:
            raise KeyboardInterrupt
        self.signum = self.signum or signum

    def __enter__(self) -> _StopSignals:
        if threading.current_thread() is threading.main_thread():
            for signum in self._SIGNALS:
                self._old[signum] = signal.signal(signum, self._handle)
        return self

    def __exit__(self, *exc_info: object) -> None:
        for signum, handler in self._old.items():
            signal.signal(signum, handler)


def audit_all(
    targets: Iterable[Target],
    on_row: Callable[[Row], None],
    *,
    jobs: int,
    inflater: str | None = None,
    function: Callable[..., Row] = audit_file,
) -> int | None:
    """Audits every target in a pool of ``jobs`` worker processes, calling
    ``on_row`` in this process with each row as its file is done (in the order
    they finish).

    Returns None when every file was audited, or the number of the signal
    (SIGINT for Ctrl-C, SIGTERM, SIGHUP) that stopped the run: the workers are
    stopped then, and every row finished before has been passed on. A file
    whose worker dies (killed, out of memory) gets a row saying so; the others
    go on.
    """
    ahead = max(1, jobs) * _AHEAD_PER_WORKER
    waiting = iter(targets)
    running: dict[Future[Row], Target] = {}
    with _StopSignals() as stop:
        pool = _Pool(jobs, function, inflater)
        try:
            while stop.signum is None:
                for target in waiting:
                    if target.error is not None:
                        on_row(listing_row(target))
                        continue
                    running[pool.submit(target.path)] = target
                    if len(running) >= ahead:
                        break
                if not running:
                    break
                done, _ = wait(running, timeout=_POLL_SECONDS, return_when=FIRST_COMPLETED)
                if _take_rows(done, running, on_row):
                    continue
                # A worker died: which file killed it cannot be told, so every
                # file that was running is audited again, each alone.
                suspects = list(running.values())
                running.clear()
                pool.stop()
                for target in suspects:
                    row = _audit_alone(target, function, inflater, stop)
                    if row is None:
                        break
                    on_row(row)
                pool = _Pool(jobs, function, inflater)
            if stop.signum is not None:
                _take_rows([f for f in running if f.done()], running, on_row)
        finally:
            pool.stop()
    return stop.signum


def _take_rows(
    done: Iterable[Future[Row]], running: dict[Future[Row], Target], on_row: Callable[[Row], object]
) -> bool:
    """Passes on the rows of finished futures; False when the pool broke."""
    intact = True
    for future in done:
        try:
            row = future.result()
        except BrokenProcessPool:
            intact = False
            continue
        del running[future]
        on_row(row)
    return intact


def _audit_alone(
    target: Target, function: Callable[..., Row], inflater: str | None, stop: _StopSignals
) -> Row | None:
    """The row of one file audited in a pool of its own; None on a stop."""
    pool = _Pool(1, function, inflater)
    try:
        future = pool.submit(target.path)
        while stop.signum is None:
            done, _ = wait([future], timeout=_POLL_SECONDS)
            if not done:
                continue
            try:
                return future.result()
            except BrokenProcessPool:
                row = listing_row(Target(target.path, error=WORKER_DIED))
                with contextlib.suppress(OSError):
                    row["size"] = os.stat(local_path(target.path) or target.path).st_size
                return row
        return None
    finally:
        pool.stop()
