"""Writing an output file so that readers never see it half written.

A regular file (or a name that does not exist yet) is written to a temporary
file beside it that takes its place only once complete (atomic_file.py):
after a failure or an interrupt at any point, the target still holds its old
bytes and no temporary file is left. Special files (a terminal, /dev/null, a
FIFO) cannot be renamed over without destroying them, so they are written
directly. Standard output ("-") gets nothing until the whole output is made:
it is written to an unnamed temporary file first, then copied out.

Every byte reaches the file at its descriptor's own offset, by write(2) or a
kernel copy, so code that writes at ``Output.fd`` itself, native code
included, can take turns with the Python calls: after ``flush()`` nothing is
held in Python and, for a regular file, the descriptor's offset is
``position``.

A range is copied by the kernel: ``copy_file_range``, which on a file system
with shared extents (XFS, btrfs) links the output to the input's blocks
instead of copying them, wherever the two offsets fall on block boundaries
alike; else ``sendfile`` (older kernels, a copy between file systems, a pipe
or terminal as output); else read and write.
"""

from __future__ import annotations

import contextlib
import errno
import os
import stat
import sys
from collections.abc import Iterable, Iterator
from typing import Callable

from ._atomic_file import AtomicFile
from ._source import STANDARD_STREAM

# Small writes are gathered up to this size, so that a record written in a few
# pieces costs one system call, not one per piece.
_WRITE_BATCH = 1 << 20
# One kernel call copies at most this much, so that a signal (Ctrl-C, the
# command's SIGTERM) is handled between calls even where the bytes are copied.
# A multiple of every block size, so that ranges stay aligned from piece to
# piece.
_COPY_PIECE = 256 << 20
_READ_PIECE = 1 << 20
# What a kernel copy answers where it cannot do this copy at all; the next way
# is tried. An output opened for appending (a shell's >>) is refused with EBADF.
_UNSUPPORTED = (errno.EXDEV, errno.ENOSYS, errno.EINVAL, errno.EOPNOTSUPP, errno.EBADF)


class Output:
    """Bytes written in order to the file descriptor ``fd``, with byte ranges
    of input files copied in.

    ``position`` counts the bytes given to ``write`` and ``copy``; who writes
    at ``fd`` directly calls ``flush`` first and adds what it wrote.
    """

    def __init__(self, fd: int) -> None:
        self.fd = fd
        self.position = 0
        self._held = bytearray()  # small writes not yet written
        # A copy not yet made, (input fd, offset, size): ranges that follow
        # each other in one input are copied in one call. The kernel shares
        # only whole blocks of a range, which members of a few KiB, each
        # starting anywhere in a block, are not; and many small members then
        # cost few system calls.
        self._queued: tuple[int, int, int] | None = None

    def write(self, data: bytes | bytearray | memoryview) -> None:
        size = len(data)
        self._copy_queued()
        if size < _WRITE_BATCH:
            self._held += data
            if len(self._held) >= _WRITE_BATCH:
                self._write_held()
        else:
            self._write_held()
            write_all(self.fd, data)
        self.position += size

    def copy(self, in_fd: int, offset: int, size: int) -> None:
        """Appends ``size`` bytes at ``offset`` of the regular file ``in_fd``."""
        if size <= 0:
            return
        queued = self._queued
        if queued and queued[0] == in_fd and queued[1] + queued[2] == offset:
            self._queued = (in_fd, queued[1], queued[2] + size)
        else:
            self._write_held()
            self._copy_queued()
            self._queued = (in_fd, offset, size)
        self.position += size

    def wrote(self, size: int) -> None:
        """Counts ``size`` bytes that other code wrote at the descriptor's own
        file offset (``fd``), after everything written through this object."""
        self.position += size

    def flush(self) -> None:
        """Writes whatever is held or queued."""
        self._write_held()
        self._copy_queued()

    def _write_held(self) -> None:
        if self._held:
            write_all(self.fd, self._held)
            self._held.clear()

    def _copy_queued(self) -> None:
        if self._queued is not None:
            in_fd, offset, size = self._queued
            self._queued = None
            copy_range(in_fd, self.fd, offset, size)


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
        # Everything in the spool, also what was written at its fd directly.
        copy_range(spool.fileno(), stdout.fileno(), 0, os.fstat(spool.fileno()).st_size)


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


def write_all(fd: int, data: bytes | bytearray | memoryview) -> None:
    view = memoryview(data)
    while view:
        view = view[os.write(fd, view) :]


def copy_range(in_fd: int, out_fd: int, offset: int, size: int) -> None:
    """Writes ``size`` bytes at ``offset`` of the regular file ``in_fd`` at
    ``out_fd``'s offset, which moves past them."""
    end = offset + size
    ways = [_copy_file_range, _sendfile, _read_and_write]
    while offset < end:
        try:
            copied = ways[0](in_fd, out_fd, offset, min(end - offset, _COPY_PIECE))
        except OSError as exc:
            if exc.errno not in _UNSUPPORTED or len(ways) == 1:
                raise
            copied = 0
        if copied:
            offset += copied
        elif len(ways) > 1:
            # Refused, or nothing copied: the input's end, or a file system
            # that copies nothing without saying why. The next way tells.
            ways.pop(0)
        else:
            raise OSError(errno.EIO, "the input file became shorter while it was read")


def _copy_file_range(in_fd: int, out_fd: int, offset: int, size: int) -> int:
    copy = getattr(os, "copy_file_range", None)
    if copy is None:
        raise OSError(errno.ENOSYS, "no copy_file_range")
    copied: int = copy(in_fd, out_fd, size, offset)
    return copied


def _sendfile(in_fd: int, out_fd: int, offset: int, size: int) -> int:
    return os.sendfile(out_fd, in_fd, offset, size)


def _read_and_write(in_fd: int, out_fd: int, offset: int, size: int) -> int:
    data = os.pread(in_fd, min(size, _READ_PIECE), offset)
    write_all(out_fd, data)
    return len(data)
