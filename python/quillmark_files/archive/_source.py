"""An archive to read: a file by name, standard input, or a binary stream.

The native pass reads a file descriptor itself: a regular file with large
positioned reads (so that bodies it does not need are passed over unread,
and kept ranges can be copied by the kernel), a pipe or a terminal in order.
A stream object is read through its ``read`` method. A regular file opened
by name is watched: what is made of it stands only if it did not change
while it was read (_identity.py).
"""

from __future__ import annotations

import contextlib
import errno
import os
import stat
import sys
from collections.abc import Iterator
from typing import Any, BinaryIO, Protocol, Union

from ._identity import WatchedFile, unchanged
from ._pass import InputDigests, Scan

STANDARD_STREAM = "-"  # standard input to read, standard output to write

Input = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]", BinaryIO]


def display_name(source: object) -> str:
    """How messages name an input: its path as given, or the stream's name."""
    if isinstance(source, (str, bytes, os.PathLike)):
        name = os.fspath(source)
        return os.fsdecode(name) if isinstance(name, bytes) else name
    return str(getattr(source, "name", "<stream>"))


class RangeCheck(Protocol):
    """What a byte range must be found to be once a pass has read it all (a
    WARC stored in a package: its CRC-32, size and hash as the package gives
    them). ``start`` raises for what is wrong before it is read, and starts
    any reading of its own; ``digests`` are the pass's input digests it
    wants; ``finish`` raises for what the pass's digests show; ``stop`` ends
    its own reading, whatever happened."""

    def start(self) -> None: ...
    def digests(self) -> dict[str, bool]: ...
    def finish(self, digests: InputDigests) -> None: ...
    def stop(self) -> None: ...


class Source:
    """An open archive. ``fd`` is None for a stream object (``stream``). The
    archive is the file from ``start`` to ``end`` (None: its end)."""

    def __init__(self, source: Input) -> None:
        self.name = display_name(source)
        self._owned_fd: int | None = None
        self.stream: BinaryIO | None = None
        self.fd: int | None = None
        self.start = 0
        self.end: int | None = None
        # The file as it stood when opened: a regular file opened by name.
        self.watched: WatchedFile | None = None
        self.range_check: RangeCheck | None = None
        if isinstance(source, (str, bytes, os.PathLike)):
            if os.fspath(source) in (STANDARD_STREAM, STANDARD_STREAM.encode()):
                self.fd = sys.stdin.fileno()
                self.name = STANDARD_STREAM
            else:
                self.fd = self._owned_fd = os.open(source, os.O_RDONLY | os.O_CLOEXEC)
                info = os.fstat(self.fd)
                if stat.S_ISDIR(info.st_mode):
                    self.close()
                    raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), self.name)
                self.watched = WatchedFile.taken(self.fd, self.name, info)
        else:
            self.stream = source

    @classmethod
    def of_file_descriptor(
        cls,
        fd: int,
        name: str,
        start: int = 0,
        size: int = -1,
        *,
        owned: bool = True,
        watched: WatchedFile | None = None,
        range_check: RangeCheck | None = None,
    ) -> Source:
        """A Source that reads the open file descriptor ``fd`` (closing it
        when ``owned``), or the ``size`` bytes at ``start`` of it (a WARC
        stored in a package). ``watched`` is the file as it stood when it was
        opened (a package's, for a WARC inside it), or None when it is not
        watched; ``range_check`` what the range must be found to be (see
        ``checked_scan``)."""
        source = cls.__new__(cls)
        source.name, source.fd, source.stream = name, fd, None
        source._owned_fd = fd if owned else None
        source.start, source.end = start, (None if size < 0 else start + size)
        source.watched = watched
        source.range_check = range_check
        return source

    @property
    def regular(self) -> bool:
        """Whether it is a regular file read by position."""
        return self.fd is not None and stat.S_ISREG(os.fstat(self.fd).st_mode)

    def scan(self, **options: Any) -> Scan:
        """A native pass over the archive (see _native.pyi for ``options``)."""
        try:
            if self.fd is None:
                return Scan(self.stream, **options)
            return Scan(self.fd, start=self.start, end=self.end, **options)
        except OSError as exc:
            if exc.filename is None:  # name the input
                exc.filename = self.name
            raise

    @contextlib.contextmanager
    def checked_scan(self, **options: Any) -> Iterator[Scan]:
        """A pass over the archive (as ``scan``) that, where the archive has a
        ``range_check``, also makes the digests it wants, and raises as it
        does when the block has run the pass to its end without a failure."""
        check = self.range_check
        if check is None:
            yield self.scan(**options)
            return
        check.start()
        try:
            scan = self.scan(**options, **check.digests())
            yield scan
            if scan.done and scan.failure is None:
                check.finish(scan.input_digests())
        finally:
            check.stop()

    def confirm(self, still_at: str | None = None) -> None:
        """Raises FileChanged when the file changed since it was opened (see
        WatchedFile.confirm); nothing for what is not watched."""
        if self.watched is not None:
            self.watched.confirm(still_at)

    def unchanged(self, *, at_end: bool = True) -> contextlib.AbstractContextManager[None]:
        """A block that raises FileChanged when the file changed (see
        _identity.unchanged)."""
        return unchanged(self.watched, at_end=at_end)

    def close(self) -> None:
        if self._owned_fd is not None:
            os.close(self._owned_fd)
            self._owned_fd = None

    def __enter__(self) -> Source:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()


def opened(source: Input | Source) -> contextlib.AbstractContextManager[Source]:
    """``source`` opened (and closed when done), or the Source itself."""
    return contextlib.nullcontext(source) if isinstance(source, Source) else Source(source)
