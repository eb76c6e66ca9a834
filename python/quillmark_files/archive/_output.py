"""Writing an output file so that readers never see it half written.

A regular file (or a name that does not exist yet) is written to a temporary
file beside it that takes its place only once complete (atomic_file.py):
after a failure or an interrupt at any point, the target still holds its old
bytes and no temporary file is left. Special files (a terminal, /dev/null, a
FIFO) cannot be renamed over without destroying them, so they are written
directly. Standard output ("-") gets nothing until the whole output is made:
it is written to an unnamed temporary file first, then copied out.

The bytes are written by the native writer (``_native.Output``): small
writes gathered, ranges of input files copied by the kernel
(``copy_file_range``, which on XFS or btrfs shares the input's blocks where
it can; else ``sendfile``; else read and write). An append writes through
the same object, so its ``position`` counts every byte.
"""

from __future__ import annotations

import contextlib
import errno
import os
import stat
import sys
from collections.abc import Iterable, Iterator
from typing import Callable

from .. import _native
from ._atomic_file import AtomicFile
from ._source import STANDARD_STREAM

Output = _native.Output


@contextlib.contextmanager
def open_output(path: str, confirm: Callable[[], None] | None = None) -> Iterator[Output]:
    """An Output for ``path`` ("-": standard output) that replaces the target
    only when the block ends without an exception and then ``confirm()``
    raises none: it is called last before the output is put in place (or
    copied to standard output), to check that the input still stands as it
    was read.

    A replaced file keeps its permission bits (and, where allowed, its owner);
    a new file gets the usual mode for new files (0666 less the umask). A
    symbolic link is followed, so the file it points to is replaced and the
    link stays a link. A failure to write (a full disk, a file too large) is
    raised as an OSError that names ``path``.
    """
    try:
        if path == STANDARD_STREAM:
            opened = _to_standard_output(confirm)
        else:
            opened = _to_file(path, confirm)
        with opened as output:
            yield output
    except OSError as exc:
        if exc.errno and exc.filename is None:
            raise _naming(exc, path) from None
        raise


def _naming(exc: OSError, path: str) -> OSError:
    """``exc`` told of ``path``, the output the user gave (not a temporary
    name, not the file a link points to)."""
    return OSError(exc.errno, exc.strerror, path) if exc.errno else exc


@contextlib.contextmanager
def _to_standard_output(confirm: Callable[[], None] | None) -> Iterator[Output]:
    import tempfile  # slow to load: only where it is needed

    with tempfile.TemporaryFile() as spool:
        output = Output(spool.fileno())
        yield output
        output.flush()
        if confirm is not None:
            confirm()
        sys.stdout.flush()
        stdout = sys.stdout.buffer
        stdout.flush()
        copied = Output(stdout.fileno())
        copied.copy(spool.fileno(), 0, output.position)
        copied.flush()


@contextlib.contextmanager
def _to_file(path: str, confirm: Callable[[], None] | None) -> Iterator[Output]:
    target = os.path.realpath(path)
    try:
        old = os.stat(target)
    except FileNotFoundError:
        old = None
    if old is not None and not stat.S_ISREG(old.st_mode):
        if stat.S_ISDIR(old.st_mode):
            raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), path)
        with open(target, "wb", buffering=0) as special:
            output = Output(special.fileno())
            yield output
            output.flush()
            if confirm is not None:
                confirm()  # too late to hold anything back, but not reported written
        return

    try:
        file = AtomicFile(target)
    except OSError as exc:
        raise _naming(exc, path) from None
    try:
        output = Output(file.fd)
        yield output
        output.flush()
        try:
            file.commit(old, confirm)
        except OSError as exc:
            raise _naming(exc, path) from None
    except BaseException:
        # Also on KeyboardInterrupt: the target is untouched, the temporary goes.
        file.discard()
        raise


def write_file(path: str, chunks: Iterable[bytes]) -> None:
    """Writes ``chunks`` to ``path`` as open_output does."""
    with open_output(path) as output:
        for chunk in chunks:
            output.write(chunk)


def is_special(path: str) -> bool:
    """Whether ``path`` names a file that is not a regular one (a terminal,
    /dev/null, a FIFO): an output that is read back as it is written cannot
    go there. Standard output ("-") is spooled to a regular file first."""
    if path == STANDARD_STREAM:
        return False
    try:
        return not stat.S_ISREG(os.stat(os.path.realpath(path)).st_mode)
    except FileNotFoundError:
        return False
