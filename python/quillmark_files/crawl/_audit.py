"""The rows of a crawl audit: what each archive file is, in fields that read
the same in every report format and on every machine that makes them.

Auditing never raises for a bad file: a file that is malformed, whose gzip
data is damaged, or that cannot be opened or read is a row whose ``error``
says why. A file that changed while it was read (still being written) gets
no verdict: its row's ``error`` is CHANGED_WHILE_READ, a state of its own.
The same functions serve ``quillmark audit`` on one machine and the Spark
job on a cluster, so that both give the same rows.
"""

from __future__ import annotations

import contextlib
import functools
import os
from collections.abc import Iterator
from typing import Callable

from .._read import check
from ..archive import NONE, Progress, Summary
from ..errors import CHANGED_WHILE_READ, ArchiveError, FileChanged
from ..package import Package, warc_path
from ._find import Target, local_path, remote_filesystem
from ._report import FIELD_NAMES, Row

OUT_OF_MEMORY = "out of memory"


def audit_file(
    path: str,
    *,
    inflater: str | None = None,
    progress: Progress | None = None,
    threads: int = 1,
) -> Row:
    """The row of the archive file ``path``: a local path, a ``file:`` URI, or
    a URL of any file system that fsspec reaches (when it is installed).
    ``progress`` is called as by ``check`` (and may raise to stop the audit);
    a gzip file is read on ``threads`` threads.

    Raises only for what is no fault of the file: an unknown or missing
    inflater (InflaterUnavailable), and what ``progress`` raises.
    """
    row = error_row(path)

    def summary() -> Summary:
        local = local_path(path)
        if local is not None:
            row["size"] = os.stat(local).st_size
            return check(local, inflater=inflater, progress=progress, threads=threads)
        filesystem, inner = remote_filesystem(path)
        size = filesystem.size(inner)
        # Large blocks: a remote read costs a round trip; the engine reads in order.
        with filesystem.open(inner, "rb", block_size=8 << 20) as stream:
            found = check(stream, inflater=inflater, progress=progress, threads=1)
        row["size"] = size
        return found

    return _filled(row, summary)


def audit_target(
    target: Target,
    *,
    inflater: str | None = None,
    progress: Progress | None = None,
    threads: int = 1,
    function: Callable[..., Row] = audit_file,
) -> Iterator[Row]:
    """The rows of one target as found: its listing error; the row that
    ``function`` (``audit_file``) makes of a file; or for a package (local),
    opened once, a row per WARC inside it (or the one it names), named
    ``PATH#archive/NAME``, each with its size and why it fails (a WARC that
    does not match what the package says of it among them); or one row, of
    the package with its size, with why the package cannot be read. Raises
    as ``audit_file`` does."""
    row = error_row(target.path)
    if target.error is not None:
        row["error"] = target.error
        yield row
        return
    if not target.package:
        yield function(target.path, inflater=inflater, progress=progress, threads=threads)
        return
    local = local_path(target.package_path) or target.package_path
    try:
        package = Package(local)
    except (ArchiveError, OSError, MemoryError) as exc:
        # The package itself is the row: its text, or its ZIP, is at fault.
        with contextlib.suppress(OSError):
            row["size"] = os.stat(local).st_size
        yield _failed(row, exc)
        return
    with package:
        try:
            warcs = package.warcs if target.warc is None else [package.warc(target.warc)]
        except ArchiveError as exc:  # no such WARC in it
            yield _failed(row, exc)
            return
        for warc in warcs:
            row = error_row(warc_path(target.package_path, warc.name))
            row["size"] = warc.size
            summary = functools.partial(
                check,
                package,
                inflater=inflater,
                progress=progress,
                threads=threads,
                warc=warc.name,
            )
            yield _filled(row, summary)


def changed_while_read(row: Row) -> bool:
    """Whether the row is of a file that changed while it was audited (a
    crawler's current file, say): no verdict, nor a fault of the file."""
    return bool(row["error"] == CHANGED_WHILE_READ)


def error_row(path: str) -> Row:
    row: Row = dict.fromkeys(FIELD_NAMES)
    row["path"] = path
    return row


def _filled(row: Row, summary: Callable[[], Summary]) -> Row:
    """``row`` with what ``summary()`` found, or why it failed."""
    try:
        found = summary()
    except (ArchiveError, OSError, MemoryError) as exc:
        return _failed(row, exc)
    row["compression"] = found.compression
    row["records"] = found.records
    row["manifest_records"] = found.manifest_records
    row["manifest_size"] = found.manifest_size
    row["manifest_sha256"] = found.manifest_sha256
    return row


def _failed(row: Row, exc: ArchiveError | OSError | MemoryError) -> Row:
    if isinstance(exc, FileChanged):
        # Neither a verdict nor a fault of the file: it was still being
        # written (its row's own state, see changed_while_read).
        row["error"] = CHANGED_WHILE_READ
    elif isinstance(exc, ArchiveError):
        # A plain file's layout is known whatever fails; a gzip file's is told
        # only by all of its members.
        malformed_plain = not getattr(exc, "compressed", True)
        row["compression"] = NONE if malformed_plain else None
        row["error"] = exc.located()
    elif isinstance(exc, OSError):
        row["error"] = exc.strerror or str(exc)
    else:
        row["error"] = OUT_OF_MEMORY
    return row
