"""A WARC inside a package, handed to the functions that read and append to
archive files. This module is the one place that does so.

Reading gets a read-only stream over the WARC's byte range of the package
(positioned reads, nothing copied). Appending copies byte ranges of its input
by file descriptor, so it gets the WARC as a file of its own: a temporary
copy in the output's folder, made by copy_file_range (shared extents where
the file system can: XFS, btrfs), and writes the new WARC to another
temporary file there, which is then copied into the package the same way.
"""

from __future__ import annotations

import contextlib
import io
import os
import tempfile
from collections.abc import Iterator
from typing import BinaryIO, Callable, cast

from .append import AppendResult, append_manifest
from .file_writers import copy_range
from .source import GZIP_MAGIC
from .wacz import Package, WarcEntry, member_path


class _Range(io.RawIOBase):
    """Bytes ``start`` to ``start + size`` of the file ``fd``, read by position."""

    def __init__(self, fd: int, start: int, size: int, name: str) -> None:
        super().__init__()
        self._fd = fd
        self._start = start
        self._size = size
        self._position = 0
        self.name = name

    def readable(self) -> bool:
        return True

    def seekable(self) -> bool:
        return True

    def tell(self) -> int:
        return self._position

    def seek(self, offset: int, whence: int = os.SEEK_SET) -> int:
        base = {os.SEEK_SET: 0, os.SEEK_CUR: self._position, os.SEEK_END: self._size}[whence]
        if base + offset < 0:
            raise ValueError("negative seek position")
        self._position = base + offset
        return self._position

    def readinto(self, buffer: bytearray | memoryview) -> int:  # type: ignore[override]
        want = min(len(buffer), self._size - self._position)
        if want <= 0:
            return 0
        with memoryview(buffer) as view:
            got = os.preadv(self._fd, [view[:want]], self._start + self._position)
        self._position += got
        return got


@contextlib.contextmanager
def warc_stream(package: Package, warc: WarcEntry) -> Iterator[BinaryIO]:
    """A read-only binary stream of the WARC, named ``package#name``."""
    stream = _Range(package.fd, warc.offset, warc.size, member_path(package.name, warc.name))
    try:
        yield cast(BinaryIO, stream)
    finally:
        stream.close()


def is_gzip(package: Package, warc: WarcEntry) -> bool:
    return os.pread(package.fd, len(GZIP_MAGIC), warc.offset) == GZIP_MAGIC


def warc_appender(
    package: Package,
    warc: WarcEntry,
    manifest: bytes,
    directory: str,
    *,
    record_id: str | None,
    inflater: str | None,
    results: list[AppendResult],
) -> Callable[[int], int]:
    """The callback that writes the WARC with ``manifest`` appended at the
    current position of a file descriptor and returns its size, as
    ``append_manifest`` makes it of the WARC as a file (its compression kept);
    what that reports goes to ``results``. Temporary files stand in
    ``directory`` only while it runs."""

    def write(out_fd: int) -> int:
        with (
            _temporary(directory, ".in") as (staged_fd, staged),
            _temporary(directory, ".out") as (_, written),
        ):
            copy_range(package.fd, staged_fd, warc.offset, warc.size)
            result = append_manifest(
                staged,
                manifest,
                written,
                record_id=record_id,
                compress=is_gzip(package, warc),
                inflater=inflater,
            )
            with open(written, "rb") as new:
                size = os.fstat(new.fileno()).st_size
                copy_range(new.fileno(), out_fd, 0, size)
        results.append(result._replace(output=member_path(package.name, warc.name)))
        return size

    return write


@contextlib.contextmanager
def _temporary(directory: str, suffix: str) -> Iterator[tuple[int, str]]:
    fd, path = tempfile.mkstemp(prefix=".quillmark-warc.", suffix=suffix + ".tmp", dir=directory)
    try:
        yield fd, path
    finally:
        os.close(fd)
        with contextlib.suppress(OSError):
            os.unlink(path)
