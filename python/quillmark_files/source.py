"""An archive to read: a file by name, standard input, or a binary stream.

A regular file is read with positioned reads, which lets the reader pass over
bodies it does not need without reading them, and lets the appender copy
byte ranges of it straight into the output. Anything else (a pipe, a
terminal, a stream object) is read once, in order.
"""

from __future__ import annotations

import errno
import os
import stat
import sys
from typing import BinaryIO, Union

GZIP_MAGIC = b"\x1f\x8b"
STANDARD_STREAM = "-"  # names standard input where a file is read

PathLike = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]
Input = Union[PathLike, BinaryIO]


def display_name(source: object) -> str:
    """How messages name an input: its path as given, or the stream's name."""
    if isinstance(source, (str, bytes, os.PathLike)):
        name = os.fspath(source)
        return os.fsdecode(name) if isinstance(name, bytes) else name
    return str(getattr(source, "name", "<stream>"))


class Source:
    """Sequential reads of an archive, plus positioned reads of a regular file.

    ``position`` counts the bytes read (or passed over) from the start.
    """

    def __init__(self, source: Input) -> None:
        self.name = display_name(source)
        self._owned_fd: int | None = None
        self._stream: BinaryIO | None = None
        self.fd: int | None = None
        if isinstance(source, (str, bytes, os.PathLike)) and os.fspath(source) not in ("-", b"-"):
            self.fd = self._owned_fd = os.open(source, os.O_RDONLY | getattr(os, "O_CLOEXEC", 0))
        elif isinstance(source, (str, bytes, os.PathLike)):
            self._stream = sys.stdin.buffer
            self.name = STANDARD_STREAM
        else:
            self._stream = source
        self._start()

    @classmethod
    def of_file_descriptor(cls, fd: int, name: str) -> Source:
        """A Source that owns and reads the open file descriptor ``fd``."""
        source = cls.__new__(cls)
        source.name = name
        source.fd = source._owned_fd = fd
        source._stream = None
        source._start()
        return source

    def _start(self) -> None:
        try:
            self._inspect()
        except BaseException:
            self.close()
            raise
        self.position = 0
        self._peeked = b""

    def _inspect(self) -> None:
        fd = self.fd
        if fd is None and self._stream is not None:
            try:
                fd = self._stream.fileno()
            except (AttributeError, OSError, ValueError):
                fd = None
        info = os.fstat(fd) if fd is not None else None
        if info is not None and stat.S_ISDIR(info.st_mode):
            raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), self.name)
        # Only a file opened here is read by position; a stream object keeps
        # its own position, which positioned reads would not move.
        self.regular = self.fd is not None and info is not None and stat.S_ISREG(info.st_mode)
        self.size = info.st_size if self.regular and info is not None else None
        if self.regular and self.fd is not None and hasattr(os, "posix_fadvise"):
            os.posix_fadvise(self.fd, 0, 0, os.POSIX_FADV_SEQUENTIAL)

    def close(self) -> None:
        if self._owned_fd is not None:
            os.close(self._owned_fd)
            self._owned_fd = None

    def __enter__(self) -> Source:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def _raw_read(self, size: int) -> bytes:
        try:
            return self._read_next(size)
        except OSError as exc:
            if exc.filename is None:  # name the input, not whatever is written
                exc.filename = self.name
            raise

    def _read_next(self, size: int) -> bytes:
        if self.regular:
            assert self.fd is not None
            return os.pread(self.fd, size, self.position)
        if self.fd is not None:
            return os.read(self.fd, size)
        assert self._stream is not None
        return self._stream.read(size) or b""

    def is_gzip(self) -> bool:
        """Whether the data starts with the gzip magic number, read ahead."""
        if self.regular:
            assert self.fd is not None
            return os.pread(self.fd, len(GZIP_MAGIC), 0) == GZIP_MAGIC
        while len(self._peeked) < len(GZIP_MAGIC):
            more = self._raw_read(len(GZIP_MAGIC) - len(self._peeked))
            if not more:
                break
            self._peeked += more
        return self._peeked[: len(GZIP_MAGIC)] == GZIP_MAGIC

    def read(self, size: int) -> bytes:
        """Up to ``size`` next bytes; empty at the end."""
        if self._peeked:  # never for a regular file, which is read by position
            data, self._peeked = self._peeked[:size], self._peeked[size:]
            if len(data) < size:
                data += self._raw_read(size - len(data))
        else:
            data = self._raw_read(size)
        self.position += len(data)
        return data

    def pass_over(self, size: int) -> int:
        """Moves past up to ``size`` bytes without reading them (a regular file
        only; it does not move past its end). Returns how many."""
        assert self.regular and self.size is not None
        size = max(0, min(size, self.size - self.position))
        self.position += size
        return size

    def read_at(self, offset: int, size: int) -> bytes:
        """``size`` bytes at ``offset`` of a regular file, fewer only at its end."""
        assert self.fd is not None
        parts = []
        while size > 0:
            try:
                data = os.pread(self.fd, min(size, 1 << 24), offset)
            except OSError as exc:
                exc.filename = exc.filename or self.name
                raise
            if not data:
                break
            parts.append(data)
            offset += len(data)
            size -= len(data)
        return b"".join(parts)
