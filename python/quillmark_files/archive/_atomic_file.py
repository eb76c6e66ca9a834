"""A new file that takes the place of its target whole, or not at all.

The bytes go to a temporary file in the target's folder: on the same file
system, so that it can be renamed there and so that a copy of an input in
that file system can share its blocks. On Linux the temporary file is opened
with O_TMPFILE: it has no name until it is complete, so a process killed at
any moment leaves nothing behind, and at the end it is linked into place
through /proc/self/fd. Where the file system refuses O_TMPFILE (or /proc is
missing), a hidden named file ``.NAME.XXXXXXXX.tmp`` is used instead, which
only a killed process leaves behind.

``commit`` gives the file the permission bits and owner of the file it
replaces (0666 less the umask for a new one), flushes it to disk, calls back
to confirm that what it was made from still stands (the input unchanged),
puts it in place with one rename (or one link, where the target does not
exist yet) and flushes the folder.

The umask is read from /proc/self/status, never set: setting it to read it
would, for that moment, give the files other threads create a wider mode.
"""

from __future__ import annotations

import contextlib
import errno
import os
import stat
from typing import Callable

_PROC_FD = "/proc/self/fd"
# What open() answers where the file system or kernel has no O_TMPFILE (a
# kernel that predates it opens the folder itself, refused as EISDIR).
_NO_UNNAMED = (errno.EOPNOTSUPP, errno.EISDIR, errno.EINVAL, errno.ENOSYS)


class AtomicFile:
    """A temporary file beside ``target`` (a resolved path, not a link), open
    for reading and writing as ``fd``."""

    def __init__(self, target: str) -> None:
        self.target = target
        self._base = os.path.basename(target)
        self.fd = -1
        self._name: str | None = None  # the file's name in the folder, if it has one
        # The folder, held open: the file is linked, renamed and removed
        # relative to it, and it is flushed after the rename.
        self._folder = os.open(os.path.dirname(target) or ".", _FOLDER_FLAGS)
        try:
            self.fd = self._create()
        except BaseException:
            os.close(self._folder)
            raise

    def commit(
        self, replaced: os.stat_result | None, confirm: Callable[[], None] | None = None
    ) -> None:
        """Puts the file in place of the target, whose status before the
        writing began was ``replaced`` (None: there was none). ``confirm``,
        called last before the file is put in place, raises to keep it out."""
        fd = self.fd
        if replaced is not None:
            # Only a privileged user may hand a file to someone else.
            with contextlib.suppress(OSError):
                os.fchown(fd, replaced.st_uid, replaced.st_gid)
            # After the owner: changing the owner clears set-id bits.
            os.fchmod(fd, stat.S_IMODE(replaced.st_mode))
        else:
            os.fchmod(fd, 0o666 & ~_current_umask())
        os.fsync(fd)
        if confirm is not None:
            confirm()
        if self._name is None:
            self._link_into_place()
        else:
            self._rename_into_place()
        self._close()
        _fsync_folder(self._folder)
        os.close(self._folder)
        self._folder = -1

    def discard(self) -> None:
        """Removes the file (after a failure, an interrupt); never raises."""
        self._close()
        if self._name is not None:
            with contextlib.suppress(OSError):
                os.unlink(self._name, dir_fd=self._folder)
            self._name = None
        if self._folder >= 0:
            with contextlib.suppress(OSError):
                os.close(self._folder)
            self._folder = -1

    def _create(self) -> int:
        if _can_link_unnamed():
            flags = os.O_TMPFILE | os.O_RDWR | os.O_CLOEXEC
            try:
                return os.open(".", flags, 0o600, dir_fd=self._folder)
            except OSError as exc:
                if exc.errno not in _NO_UNNAMED:
                    raise
        import tempfile  # slow to load: only where it is needed

        folder = os.path.dirname(self.target) or "."
        fd, path = tempfile.mkstemp(prefix=f".{self._base}.", suffix=".tmp", dir=folder)
        self._name = os.path.basename(path)
        return fd

    def _link_into_place(self) -> None:
        # The source is a link to the open file: linkat must follow it, which
        # os.link asks for only when given a folder descriptor.
        source = f"{_PROC_FD}/{self.fd}"
        try:
            # A new name: one link puts the complete file there.
            os.link(source, self._base, dst_dir_fd=self._folder, follow_symlinks=True)
            return
        except FileExistsError:
            pass
        # An existing target is replaced by a rename, which takes a name: the
        # file has a hidden one between the link and the rename (the one
        # moment in which a killed process leaves it behind).
        while self._name is None:
            name = f".{self._base}.{os.urandom(4).hex()}.tmp"
            with contextlib.suppress(FileExistsError):
                os.link(source, name, dst_dir_fd=self._folder, follow_symlinks=True)
                self._name = name
        self._rename_into_place()

    def _rename_into_place(self) -> None:
        assert self._name is not None
        os.replace(self._name, self._base, src_dir_fd=self._folder, dst_dir_fd=self._folder)
        self._name = None

    def _close(self) -> None:
        if self.fd >= 0:
            fd, self.fd = self.fd, -1
            with contextlib.suppress(OSError):
                os.close(fd)


# A folder is opened only to work in it (O_PATH needs no read permission on
# it, as creating a file there needs none).
_FOLDER_FLAGS = getattr(os, "O_PATH", os.O_RDONLY) | os.O_CLOEXEC


def _can_link_unnamed() -> bool:
    return (
        hasattr(os, "O_TMPFILE")
        and os.link in os.supports_dir_fd
        and os.link in os.supports_follow_symlinks
        and os.path.isdir(_PROC_FD)
    )


_STATUS = "/proc/self/status"


def _current_umask() -> int:
    """The process's umask, from its status; only where the kernel does not
    give it there (before Linux 4.7, or no /proc) is it set and set back."""
    with contextlib.suppress(OSError, ValueError, IndexError), open(_STATUS, "rb") as status:
        for line in status:
            if line.startswith(b"Umask:"):
                return int(line.split()[1], 8)
    mask = os.umask(0)
    os.umask(mask)
    return mask


def _fsync_folder(folder: int) -> None:
    """Flushes the folder's entries to disk, where the file system allows."""
    try:
        fd = os.open(".", os.O_RDONLY | os.O_CLOEXEC, dir_fd=folder)
    except OSError:
        return  # an unreadable folder, or one that cannot be opened; the rename stands
    try:
        os.fsync(fd)
    except OSError:
        pass  # fsync on a folder is refused by some file systems; nothing to undo
    finally:
        os.close(fd)
