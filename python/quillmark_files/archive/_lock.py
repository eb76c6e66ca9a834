"""Holding a file that is replaced in place, so that changes to it are made
one at a time.

A change in place reads the file and renames a new one over it. Two at once
would each put their own in place, and the last rename would drop the
other's change; a writer appending to the file meanwhile would go on writing
into the file the rename replaced. So a change holds an exclusive advisory
lock (flock) on the file from before it reads it until after the rename: a
second change, or a writer that takes the same lock (as a crawler may), is
refused with FileBusy or, asked to wait, waits. A lock got on a file that was
replaced meanwhile guards nothing: the wait starts over on the file the path
names now.
"""

from __future__ import annotations

import contextlib
import errno
import fcntl
import os
from collections.abc import Iterator

from ..errors import FileBusy
from ._identity import names_file


@contextlib.contextmanager
def held_for_change(path: str, name: str, *, wait: bool) -> Iterator[int]:
    """A descriptor of the file ``path`` names, open for reading and locked
    until the block ends. Raises FileBusy (naming the file ``name``) while
    another process holds the lock, unless ``wait``: then it waits, as long
    as it takes, until Ctrl-C or another signal ends the wait."""
    while True:
        fd = _open_locked(path, name, wait)
        try:
            held = names_file(path, os.fstat(fd))
        except BaseException:
            os.close(fd)
            raise
        if held:
            break
        os.close(fd)  # replaced meanwhile: the new file is the one to change
    try:
        yield fd
    finally:
        os.close(fd)  # which releases the lock


def _open_locked(path: str, name: str, wait: bool) -> int:
    for flags in (os.O_RDONLY, os.O_RDWR):
        fd = os.open(path, flags | os.O_CLOEXEC)
        try:
            _lock(fd, name, wait)
        except OSError as exc:
            os.close(fd)
            # NFS locks a file exclusively only where it is open for writing.
            if exc.errno == errno.EBADF and flags == os.O_RDONLY:
                continue
            exc.filename = exc.filename or name
            raise
        except BaseException:
            os.close(fd)
            raise
        return fd
    raise AssertionError("unreachable")


def _lock(fd: int, name: str, wait: bool) -> None:
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        if not wait:
            raise FileBusy(name) from None
        fcntl.flock(fd, fcntl.LOCK_EX)
