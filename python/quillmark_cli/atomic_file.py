"""Writing an output file so that readers never see it half written.

A regular file (or a name that does not exist yet) is written to a temporary
file in the same folder, flushed to disk and renamed over the target: after a
failure or an interrupt at any point, the target still holds its old bytes.
Special files (a terminal, /dev/null, a FIFO) cannot be renamed over without
destroying them, so they are written directly.
"""

from __future__ import annotations

import contextlib
import os
import stat
from collections.abc import Iterable


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


def _write_all(fd: int, chunks: Iterable[bytes]) -> None:
    for chunk in chunks:
        view = memoryview(chunk)
        while view:
            written = os.write(fd, view)
            view = view[written:]


def write_file(path: str, chunks: Iterable[bytes]) -> None:
    """Write ``chunks`` to ``path``, replacing a regular file atomically.

    A replaced file keeps its permission bits (and, where allowed, its owner);
    a new file gets the usual mode for new files (0666 less the umask). A
    symbolic link is followed, so the file it points to is replaced and the
    link stays a link.
    """
    target = os.path.realpath(path)
    try:
        old = os.stat(target)
    except FileNotFoundError:
        old = None
    if old is not None and not stat.S_ISREG(old.st_mode):
        if stat.S_ISDIR(old.st_mode):
            raise IsADirectoryError(21, os.strerror(21), path)
        with open(target, "wb") as special:
            _write_all(special.fileno(), chunks)
        return

    import tempfile  # loaded only by the commands that write a file

    directory = os.path.dirname(target) or "."
    fd, temp_path = tempfile.mkstemp(
        prefix="." + os.path.basename(target) + ".", suffix=".tmp", dir=directory
    )
    try:
        try:
            _write_all(fd, chunks)
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
    except BaseException:
        # Also on KeyboardInterrupt: the target is untouched, the temporary goes.
        with contextlib.suppress(OSError):
            os.unlink(temp_path)
        raise
    _fsync_directory(directory)
