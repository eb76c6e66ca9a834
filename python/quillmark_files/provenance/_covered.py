"""The covered bytes of an archive (every byte before its manifest record),
read in place from the file and hashed."""

from __future__ import annotations

import hashlib
import io
import os
from dataclasses import dataclass
from typing import Any, BinaryIO, Union

_CHUNK = 4 << 20  # bytes hashed at a time


@dataclass(frozen=True)
class CoveredRange:
    """The covered bytes: ``length`` bytes of the file at ``path`` from ``start``."""

    path: str
    start: int
    length: int


Covered = Union[CoveredRange, bytes, BinaryIO]


class RangeFile(io.RawIOBase):
    """A read-only file over one range of a file: reads go straight to the
    caller's buffer with pread, so the SDK's reads cost no copy."""

    def __init__(self, covered: CoveredRange) -> None:
        super().__init__()
        self._fd = -1  # a failed __init__ leaves nothing for close() to close
        if covered.start < 0 or covered.length < 0:
            raise ValueError(f"no such range: {covered.length} bytes at {covered.start}")
        self._fd = os.open(covered.path, os.O_RDONLY | getattr(os, "O_CLOEXEC", 0))
        size = os.fstat(self._fd).st_size
        if size < covered.start + covered.length:
            os.close(self._fd)
            self._fd = -1
            raise OSError(
                f"{covered.path} has {size} bytes, fewer than the covered range "
                f"({covered.length} bytes at {covered.start})"
            )
        self._start = covered.start
        self._length = covered.length
        self._at = 0

    def readable(self) -> bool:
        return True

    def seekable(self) -> bool:
        return True

    def readinto(self, buffer: Any) -> int:
        wanted = min(len(buffer), self._length - self._at)
        if wanted <= 0:
            return 0
        with memoryview(buffer) as view:
            got = os.preadv(self._fd, [view[:wanted]], self._start + self._at)
        if got == 0:
            raise OSError(f"the file ends {self._length - self._at} bytes before the covered range")
        self._at += got
        return got

    def seek(self, offset: int, whence: int = 0) -> int:
        base = {0: 0, 1: self._at, 2: self._length}[whence]
        if base + offset < 0:
            raise OSError("seek before the start of the covered range")
        self._at = base + offset
        return self._at

    def tell(self) -> int:
        return self._at

    def write(self, _data: Any) -> int:
        raise io.UnsupportedOperation("the covered bytes are read-only")

    def close(self) -> None:
        if self._fd >= 0:
            fd, self._fd = self._fd, -1
            os.close(fd)
        super().close()


def sha256_of(covered: CoveredRange) -> bytes:
    """The SHA-256 of the covered bytes, read a few MiB at a time (hashlib
    lets go of the interpreter lock on each piece)."""
    digest = hashlib.sha256()
    buffer = bytearray(_CHUNK)
    with RangeFile(covered) as source, memoryview(buffer) as view:
        while got := source.readinto(view):
            digest.update(view[:got])
    return digest.digest()
