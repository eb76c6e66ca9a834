"""Writing an output file so that readers never see it half written.

A regular file (or a name that does not exist yet) is written to a temporary
file in the same folder, flushed to disk and renamed over the target: after a
failure or an interrupt at any point, the target still holds its old bytes
and no temporary file is left. Special files (a terminal, /dev/null, a FIFO)
cannot be renamed over without destroying them, so they are written directly.
Standard output ("-") gets nothing until the whole output is made: it is
written to an unnamed temporary file first.
"""

from __future__ import annotations

import contextlib
import errno
import os
import stat
import sys
from collections.abc import Callable, Iterable, Iterator

from .file_writers import CachedWriter, DirectWriter, copy_range, open_writer
from .write_behind import WriteBehind

STANDARD_STREAM = "-"
# Byte ranges that follow each other in the input are copied in one call, up
# to this size, so that a file of many small members costs few system calls.
_COPY_BATCH = 64 << 20
# Small writes are gathered up to this size before they are written.
_WRITE_BATCH = 1 << 20


class Output:
    """Bytes written in order to one file descriptor, with byte ranges of an
    input file copied in (see file_writers.py for how they reach the file).

    With ``behind``, the writing happens on a thread of its own (see
    write_behind.py). ``flush`` writes everything and waits for it.
    """

    def __init__(self, writer: CachedWriter | DirectWriter, behind: bool = False) -> None:
        self.fd = writer.fd
        self.position = 0  # bytes written so far, those still held included
        self._writer = writer
        self._queued: tuple[int, int, int] | None = None  # a copy: (input fd, offset, size)
        self._held = bytearray()  # small writes not yet written
        self._behind = WriteBehind() if behind else None

    def write(self, data: bytes | memoryview) -> None:
        size = len(data)
        if self._queued is not None:
            self._flush_copy()
        if size < _WRITE_BATCH:
            self._held += data
            if len(self._held) >= _WRITE_BATCH:
                self._flush_held()
        else:
            self._flush_held()
            self._do(lambda: self._writer.write(data))
        self.position += size

    def copy(self, in_fd: int, offset: int, size: int) -> None:
        """Appends ``size`` bytes at ``offset`` of the regular file ``in_fd``."""
        if size <= 0:
            return
        queued = self._queued
        if queued and queued[0] == in_fd and queued[1] + queued[2] == offset:
            self._queued = (in_fd, queued[1], queued[2] + size)
        else:
            self._flush_held()
            self._flush_copy()
            self._queued = (in_fd, offset, size)
        self.position += size
        if self._queued[2] >= _COPY_BATCH:
            self._flush_copy()

    def wrote(self, size: int) -> None:
        """Counts ``size`` bytes that other code wrote at the descriptor's own
        file offset (``fd``), after everything written through this object."""
        self.position += size

    def flush(self) -> None:
        """Writes whatever is still held, queued or staged, and waits until it
        is written."""
        self._flush_held()
        self._flush_copy()
        self._do(self._writer.finish)
        if self._behind is not None:
            self._behind.wait()

    def close(self, failed: bool = False) -> None:
        """Ends the writing thread (at once, dropping what is left, after a
        failure) and lets go of the writer; the file descriptor stays open."""
        if self._behind is not None:
            if failed:
                self._behind.cancel()
            else:
                self._behind.stop()
        self._writer.close()

    def _do(self, job: Callable[[], None]) -> None:
        if self._behind is None:
            job()
        else:
            self._behind.submit(job)

    def _flush_held(self) -> None:
        if self._held:
            held, self._held = self._held, bytearray()
            self._do(lambda: self._writer.write(held))

    def _flush_copy(self) -> None:
        if self._queued is not None:
            in_fd, offset, size = self._queued
            self._queued = None
            self._do(lambda: self._writer.copy(in_fd, offset, size))


def _current_umask() -> int:
    mask = os.umask(0)
    os.umask(mask)
    return mask


def _fsync_directory(directory: str) -> None:
    try:
        fd = os.open(directory, os.O_RDONLY | getattr(os, "O_DIRECTORY", 0))
    except OSError:
        return  # some file systems do not let a directory be opened; the rename stands
    try:
        os.fsync(fd)
    except OSError:
        pass  # fsync on a directory is refused by some file systems; nothing to undo
    finally:
        os.close(fd)


@contextlib.contextmanager
def open_output(path: str, *, large: bool = False) -> Iterator[Output]:
    """An Output for ``path`` ("-": standard output) that replaces the target
    only when the block ends without an exception.

    ``large`` says the output may be gigabytes that nothing reads back soon
    (an archive): a regular file is then written past the page cache where
    its file system allows.

    A replaced file keeps its permission bits (and, where allowed, its owner);
    a new file gets the usual mode for new files (0666 less the umask). A
    symbolic link is followed, so the file it points to is replaced and the
    link stays a link. A failure to write (a full disk, a file too large) is
    raised as an OSError that names ``path``.
    """
    try:
        with _opened(path, large) as output:
            yield output
    except OSError as exc:
        if exc.errno and exc.filename is None:
            raise OSError(exc.errno, exc.strerror, path) from None
        raise


@contextlib.contextmanager
def _opened(path: str, large: bool) -> Iterator[Output]:
    if path == STANDARD_STREAM:
        import tempfile  # loaded only where an output is written

        # The spool is read back at once, so it is written through the cache.
        with (
            tempfile.TemporaryFile() as spool,
            _writing(CachedWriter(spool.fileno(), write_back=False)) as output,
        ):
            yield output
            output.flush()
            sys.stdout.flush()
            stdout = sys.stdout.buffer
            stdout.flush()
            copy_range(spool.fileno(), stdout.fileno(), 0, output.position)
        return

    target = os.path.realpath(path)
    try:
        old = os.stat(target)
    except FileNotFoundError:
        old = None
    if old is not None and not stat.S_ISREG(old.st_mode):
        if stat.S_ISDIR(old.st_mode):
            raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), path)
        with (
            open(target, "wb", buffering=0) as special,
            _writing(CachedWriter(special.fileno(), write_back=False)) as output,
        ):
            yield output
            output.flush()
        return

    import tempfile  # loaded only where an output is written

    directory = os.path.dirname(target) or "."
    try:
        fd, temp_path = tempfile.mkstemp(
            prefix="." + os.path.basename(target) + ".", suffix=".tmp", dir=directory
        )
    except OSError as exc:
        # Named after the output the user gave, not the temporary name.
        raise OSError(exc.errno, exc.strerror, path) from None
    try:
        try:
            with _writing(open_writer(fd, large)) as output:
                yield output
                output.flush()
            if old is not None:
                # Only a privileged user may hand a file to someone else.
                with contextlib.suppress(OSError):
                    os.fchown(fd, old.st_uid, old.st_gid)
                # After the owner: changing the owner clears set-id bits.
                os.fchmod(fd, stat.S_IMODE(old.st_mode))
            else:
                os.fchmod(fd, 0o666 & ~_current_umask())
            os.fsync(fd)
        finally:
            os.close(fd)
        os.replace(temp_path, target)
    except BaseException as exc:
        # Also on KeyboardInterrupt: the target is untouched, the temporary goes.
        with contextlib.suppress(OSError):
            os.unlink(temp_path)
        if isinstance(exc, OSError) and exc.filename == temp_path and exc.errno:
            raise OSError(exc.errno, exc.strerror, path) from None
        raise
    _fsync_directory(directory)


@contextlib.contextmanager
def _writing(writer: CachedWriter | DirectWriter) -> Iterator[Output]:
    """An Output writing behind the caller; its thread ends with the block."""
    output = Output(writer, behind=True)
    try:
        yield output
    except BaseException:
        output.close(failed=True)
        raise
    output.close()


def write_file(path: str, chunks: Iterable[bytes]) -> None:
    """Writes ``chunks`` to ``path`` as open_output does."""
    with open_output(path) as output:
        for chunk in chunks:
            output.write(chunk)
