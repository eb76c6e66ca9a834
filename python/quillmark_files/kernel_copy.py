"""Bytes written, and byte ranges of a file copied, at a descriptor's offset.

A range is copied by the kernel: ``copy_file_range``, which on a file system
with shared extents (XFS, btrfs) links the output to the input's blocks
instead of copying them, wherever the two offsets fall on block boundaries
alike; else ``sendfile`` (older kernels, a copy between file systems, a pipe
or terminal as output); else read and write.
"""

from __future__ import annotations

import errno
import os

# One kernel call copies at most this much, so that a signal (Ctrl-C, the
# command's SIGTERM) is handled between calls even where the bytes are copied.
# A multiple of every block size, so that ranges stay aligned from piece to
# piece.
_PIECE = 256 << 20
_READ = 1 << 20
# What a kernel copy answers where it cannot do this copy at all; the next way
# is tried. An output opened for appending (a shell's >>) is refused with EBADF.
_UNSUPPORTED = (errno.EXDEV, errno.ENOSYS, errno.EINVAL, errno.EOPNOTSUPP, errno.EBADF)


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
            copied = ways[0](in_fd, out_fd, offset, min(end - offset, _PIECE))
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
    data = os.pread(in_fd, min(size, _READ), offset)
    write_all(out_fd, data)
    return len(data)
