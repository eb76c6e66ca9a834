"""The rows of a crawl audit: what each archive file is, in fields that read
the same in every report format and on every machine that makes them.

Auditing never raises for a bad file: a file that is malformed, whose gzip
data is damaged, or that cannot be opened or read is a row whose ``error``
says why. The same functions serve ``quillmark audit`` on one machine and
the Spark job on a cluster, so that both give the same rows.
"""

from __future__ import annotations

import functools
import os
from collections.abc import Iterator
from typing import Callable

from .._read import check
from ..archive import NONE, Progress, Summary
from ..errors import ArchiveError
from ..package import Package, warc_path
from ._find import Target, local_path, remote_filesystem
from ._report import FIELD_NAMES, Row

OUT_OF_MEMORY = "out of memory"
_PACKAGE_WARC = "#archive/"  # in a name as rows give them: PACKAGE#archive/NAME


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

    Raises only for what is no fault of the file: an unknown or missing gzip
    library (InflaterUnavailable), and what ``progress`` raises.
    """
    row = error_row(path)

    def summary() -> Summary:
        local = local_path(path)
        in_package = _split_warc_path(local) if local is not None else None
        if in_package is not None:  # named as a row names it: "crawl.wacz#archive/a.warc.gz"
            with Package(in_package[0]) as package:
                warc = package.warc(in_package[1])
                row["size"] = warc.size
                return check(
                    package, inflater=inflater, progress=progress, threads=threads, warc=warc.name
                )
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


def audit_package(
    path: str,
    *,
    inflater: str | None = None,
    progress: Progress | None = None,
    threads: int = 1,
) -> Iterator[Row]:
    """The rows of the WARCs inside the package ``path`` (a local path or
    ``file:`` URI), each named ``path#archive/NAME``, from the package opened
    once; one row with the error when the package cannot be read. Raises as
    ``audit_file`` does."""
    try:
        package = Package(local_path(path) or path)
    except (ArchiveError, OSError, MemoryError) as exc:
        yield _failed(error_row(path), exc)
        return
    with package:
        for warc in package.warcs:
            row = error_row(warc_path(path, warc.name))
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


def audit_target(
    target: Target,
    *,
    inflater: str | None = None,
    progress: Progress | None = None,
    threads: int = 1,
    function: Callable[..., Row] = audit_file,
) -> Iterator[Row]:
    """The rows of one target as found: its listing error, each WARC of a
    package, or the row that ``function`` (``audit_file``) makes of a file."""
    if target.error is not None:
        row = error_row(target.path)
        row["error"] = target.error
        yield row
    elif target.package:
        yield from audit_package(target.path, inflater=inflater, progress=progress, threads=threads)
    else:
        yield function(target.path, inflater=inflater, progress=progress, threads=threads)


def error_row(path: str) -> Row:
    """A row of ``path`` with every other field None."""
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
    """``row`` with why its file failed."""
    if isinstance(exc, ArchiveError):
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


def _split_warc_path(path: str) -> tuple[str, str] | None:
    """``(package, name)`` for a name as rows give a WARC inside a package,
    or None where ``path`` is a file itself."""
    at = path.rfind(_PACKAGE_WARC)
    if at <= 0 or os.path.lexists(path) or not os.path.isfile(path[:at]):
        return None
    return path[:at], path[at + 1 :]
