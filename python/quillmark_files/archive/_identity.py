"""Telling whether a file changed while it was read.

A crawler may still be writing the file a command reads. A regular file's
identity (device, inode, size, and its modification and change times to the
nanosecond) is taken from its open descriptor when it is opened, and
compared when the pass over it ends and again just before an output made
from it is put in place: a verdict, a listing or an output is given only for
a file that stood still meanwhile. Standard input, pipes and stream objects
have no identity and are not watched.
"""

from __future__ import annotations

import contextlib
import os
import stat
from collections.abc import Iterator
from typing import NamedTuple

from ..errors import ArchiveError, FileChanged


class FileIdentity(NamedTuple):
    """Who a regular file is and how it stands."""

    device: int
    inode: int
    size: int
    mtime_ns: int
    ctime_ns: int

    @classmethod
    def of(cls, info: os.stat_result) -> FileIdentity:
        return cls(info.st_dev, info.st_ino, info.st_size, info.st_mtime_ns, info.st_ctime_ns)


class WatchedFile(NamedTuple):
    """A regular file open as ``fd``, named ``name`` in messages, as it stood
    when it was opened (``identity``)."""

    fd: int
    name: str
    identity: FileIdentity

    @classmethod
    def taken(cls, fd: int, name: str, info: os.stat_result | None = None) -> WatchedFile | None:
        """The file open as ``fd`` as it stands now (``info``: its fstat,
        when taken already); None when it is not a regular file."""
        info = os.fstat(fd) if info is None else info
        if not stat.S_ISREG(info.st_mode):
            return None
        return cls(fd, name, FileIdentity.of(info))

    def confirm(self, still_at: str | None = None) -> None:
        """Raises FileChanged when the file no longer stands as it did, or,
        with ``still_at``, when that path no longer names it."""
        now = os.fstat(self.fd)
        if FileIdentity.of(now) != self.identity:
            raise FileChanged(self.name)
        if still_at is not None and not names_file(still_at, now):
            raise FileChanged(self.name)


def names_file(path: str, info: os.stat_result) -> bool:
    """Whether ``path`` names the file whose status is ``info``."""
    try:
        there = os.stat(path)
    except FileNotFoundError:
        return False
    return (there.st_dev, there.st_ino) == (info.st_dev, info.st_ino)


@contextlib.contextmanager
def unchanged(watched: WatchedFile | None, *, at_end: bool = True) -> Iterator[None]:
    """Raises FileChanged in place of a failure the block raised when the file
    changed (a file read while it is written may look truncated or malformed
    where it is not), and with ``at_end`` at the end of the block too. An
    output put in place confirms before that instead (see open_output): by
    the block's end it stands, whatever happens to the input after."""
    if watched is None:
        yield
        return
    try:
        yield
    except FileChanged:
        raise
    except (ArchiveError, OSError):
        watched.confirm()
        raise
    if at_end:
        watched.confirm()
