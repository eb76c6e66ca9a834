"""How an output's bytes reach its file: through the page cache, or past it.

A writer takes, in order, writes of bytes and copies of byte ranges of an
input file; ``finish`` writes whatever it still holds.

An appended crawl archive is gigabytes that nothing reads again soon. Written
through the page cache, every page of it is first allocated and filled, then
written back and dropped, and the kernel's share of that is several times the
copy itself (on a 1.5 GiB file, 0.5 s of processor time for a kernel copy and
the flush to disk, up to 1.9 s where the kernel must first obtain the memory,
against 0.15 s written past the cache). ``DirectWriter`` stages the bytes in
one reused, aligned buffer and writes it with O_DIRECT, so that they go from
that buffer to the disk; ``CachedWriter`` is the plain way, used for small
outputs and wherever the file system refuses O_DIRECT.
"""

from __future__ import annotations

import contextlib
import errno
import mmap
import os

# Written back every so many bytes, so that the final flush does not wait for
# all of them.
_WRITE_BACK_EVERY = 64 << 20
# The staging buffer of a DirectWriter: one write to the disk each time it
# fills. Its size is a multiple of every block size O_DIRECT asks alignment to.
_STAGING = 8 << 20
# Offsets and lengths of O_DIRECT writes are kept multiples of this; a file
# system that wants more refuses the write (EINVAL), and the writer then goes
# through the page cache.
_ALIGNMENT = 4096
_O_DIRECT: int = getattr(os, "O_DIRECT", 0)


def write_all(fd: int, data: bytes | bytearray | memoryview) -> None:
    view = memoryview(data)
    while view:
        view = view[os.write(fd, view) :]


def copy_range(in_fd: int, out_fd: int, offset: int, size: int) -> None:
    """Writes ``size`` bytes at ``offset`` of ``in_fd`` at ``out_fd``'s position,
    copied by the kernel where it can (copy_file_range, sendfile)."""
    end = offset + size
    for kernel_copy in (_copy_file_range, _sendfile):
        try:
            offset = kernel_copy(in_fd, out_fd, offset, end)
        except OSError as exc:
            if exc.errno not in (errno.EXDEV, errno.ENOSYS, errno.EINVAL, errno.EOPNOTSUPP):
                raise
        if offset == end:
            return
    while offset < end:
        data = os.pread(in_fd, min(end - offset, 1 << 20), offset)
        if not data:
            raise _shrunk()
        write_all(out_fd, data)
        offset += len(data)


def _copy_file_range(in_fd: int, out_fd: int, offset: int, end: int) -> int:
    copy = getattr(os, "copy_file_range", None)
    if copy is None:
        raise OSError(errno.ENOSYS, "no copy_file_range")
    while offset < end:
        copied = copy(in_fd, out_fd, end - offset, offset)
        if copied == 0:
            raise _shrunk()
        offset += copied
    return offset


def _sendfile(in_fd: int, out_fd: int, offset: int, end: int) -> int:
    while offset < end:
        sent = os.sendfile(out_fd, in_fd, offset, min(end - offset, 1 << 30))
        if sent == 0:
            raise _shrunk()
        offset += sent
    return offset


def _shrunk() -> OSError:
    return OSError(errno.EIO, "the input file became shorter while it was read")


class CachedWriter:
    """Writes through the page cache. With ``write_back``, every 64 MiB written
    are handed to the kernel's writeback as the writing goes on."""

    def __init__(self, fd: int, write_back: bool) -> None:
        self.fd = fd
        self._write_back = write_back
        self._written = 0
        self._written_back = 0

    def write(self, data: bytes | bytearray | memoryview) -> None:
        write_all(self.fd, data)
        self._wrote(len(data))

    def copy(self, in_fd: int, offset: int, size: int) -> None:
        copy_range(in_fd, self.fd, offset, size)
        self._wrote(size)

    def finish(self) -> None:
        pass

    def close(self) -> None:
        pass

    def _wrote(self, size: int) -> None:
        self._written += size
        if not self._write_back or self._written - self._written_back < _WRITE_BACK_EVERY:
            return
        try:
            # For written pages this starts their writeback without waiting.
            os.posix_fadvise(
                self.fd,
                self._written_back,
                self._written - self._written_back,
                os.POSIX_FADV_DONTNEED,
            )
        except (OSError, AttributeError):
            self._write_back = False
        self._written_back = self._written


class DirectWriter:
    """Writes past the page cache, from one aligned staging buffer.

    Made by ``open``, which sets O_DIRECT on the file descriptor; ``finish``
    writes the last partial block through the cache and clears the flag again.
    Should a write be refused (EINVAL) or come up short, what is left goes
    through a CachedWriter, which then also takes everything after it.
    """

    def __init__(self, fd: int) -> None:
        self.fd = fd
        self._buffer = mmap.mmap(-1, _STAGING)  # page-aligned
        self._view = memoryview(self._buffer)
        self._fill = 0
        self._cached: CachedWriter | None = None

    @classmethod
    def open(cls, fd: int) -> DirectWriter | None:
        """A DirectWriter for ``fd``, or None where O_DIRECT cannot be set or
        the file's position is not aligned."""
        if not _O_DIRECT:
            return None
        try:
            if os.lseek(fd, 0, os.SEEK_CUR) % _ALIGNMENT:
                return None
            _set_direct(fd, True)
        except (OSError, ImportError):
            return None
        return cls(fd)

    def write(self, data: bytes | bytearray | memoryview) -> None:
        view = memoryview(data).cast("B")
        while view and self._cached is None:
            take = min(len(view), _STAGING - self._fill)
            self._view[self._fill : self._fill + take] = view[:take]
            self._fill += take
            view = view[take:]
            if self._fill == _STAGING:
                self._drain()
        if view:
            assert self._cached is not None
            self._cached.write(view)

    def copy(self, in_fd: int, offset: int, size: int) -> None:
        end = offset + size
        while offset < end and self._cached is None:
            want = min(_STAGING - self._fill, end - offset)
            with self._view[self._fill : self._fill + want] as room:
                got = os.preadv(in_fd, [room], offset)
            if got == 0:
                raise _shrunk()
            self._fill += got
            offset += got
            if self._fill == _STAGING:
                self._drain()
        if offset < end:
            assert self._cached is not None
            self._cached.copy(in_fd, offset, end - offset)

    def finish(self) -> None:
        """Writes what is staged: whole blocks past the cache, the rest through it."""
        if self._cached is not None:
            return
        written = self._write_direct(self._fill - self._fill % _ALIGNMENT)
        self._through_cache(written, self._fill)
        self._fill = 0

    def close(self) -> None:
        """Gives back the staging buffer; nothing is written any more."""
        self._view.release()
        # A view of it may outlive a failed write (in its traceback); the
        # buffer then goes with that view.
        with contextlib.suppress(BufferError):
            self._buffer.close()

    def _drain(self) -> None:
        written = self._write_direct(_STAGING)
        if written < _STAGING:
            self._through_cache(written, _STAGING)
        self._fill = 0

    def _through_cache(self, start: int, end: int) -> None:
        """Clears O_DIRECT and writes staged bytes ``start`` to ``end`` through
        a CachedWriter, which takes all writing from then on."""
        _set_direct(self.fd, False)
        self._cached = CachedWriter(self.fd, write_back=True)
        with self._view[start:end] as rest:
            self._cached.write(rest)

    def _write_direct(self, end: int) -> int:
        """Writes the first ``end`` staged bytes (a multiple of the alignment)
        past the cache; returns how many were written, 0 where O_DIRECT was
        refused."""
        if not end:
            return 0
        with self._view[:end] as staged:
            try:
                return os.write(self.fd, staged)
            except OSError as exc:
                if exc.errno != errno.EINVAL:
                    raise
                return 0  # refused before anything was written


def _set_direct(fd: int, on: bool) -> None:
    import fcntl  # POSIX only, like O_DIRECT

    flags = fcntl.fcntl(fd, fcntl.F_GETFL)
    fcntl.fcntl(fd, fcntl.F_SETFL, flags | _O_DIRECT if on else flags & ~_O_DIRECT)


def open_writer(fd: int, large: bool) -> CachedWriter | DirectWriter:
    """The writer for a regular file: past the cache when ``large`` and the file
    system allows it, else through the cache, handed to writeback as it goes."""
    direct = DirectWriter.open(fd) if large else None
    return direct if direct is not None else CachedWriter(fd, write_back=True)
