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
from typing import TYPE_CHECKING, Callable, NamedTuple, Optional

from .._read import check
from ..archive import NONE, Progress, Summary
from ..archive._source import Source
from ..errors import CHANGED_WHILE_READ, ArchiveError, FileChanged
from ..package import Package, warc_path
from ..package._package import warc_source
from ._find import Target, local_path, remote_filesystem
from ._report import Row, field_names

if TYPE_CHECKING:
    from ..provenance import Verification

OUT_OF_MEMORY = "out of memory"
NOT_LOCAL = "not verified: verifying reads a local file"


class Verifying(NamedTuple):
    """Signatures verified as well (``audit --verify``), against these trust
    anchors (PEM text; None: trust is not checked)."""

    trust_anchors: str | None = None


Found = tuple[Summary, Optional["Verification"]]


def audit_file(
    path: str,
    *,
    inflater: str | None = None,
    progress: Progress | None = None,
    threads: int = 1,
    verifying: Verifying | None = None,
) -> Row:
    """The row of the archive file ``path``: a local path, a ``file:`` URI, or
    a URL of any file system that fsspec reaches (when it is installed).
    ``progress`` is called as by ``check`` (and may raise to stop the audit);
    a gzip file is read on ``threads`` threads.

    Raises only for what is no fault of the file: an unknown or missing
    inflater (InflaterUnavailable), and what ``progress`` raises. With
    ``verifying``, the row tells the signature's state too (a local file).
    """
    row = error_row(path, verifying is not None)

    def summary() -> Found:
        local = local_path(path)
        if local is not None:
            row["size"] = os.stat(local).st_size
            if verifying is not None:
                with Source(local) as stream:
                    return _verified(stream, verifying, inflater, progress, threads)
            return check(local, inflater=inflater, progress=progress, threads=threads), None
        filesystem, inner = remote_filesystem(path)
        size = filesystem.size(inner)
        # Large blocks: a remote read costs a round trip; the engine reads in order.
        with filesystem.open(inner, "rb", block_size=8 << 20) as stream:
            found = check(stream, inflater=inflater, progress=progress, threads=1)
        row["size"] = size
        if verifying is not None:
            row["signature_error"] = NOT_LOCAL
        return found, None

    return _filled(row, summary)


def _verified(
    stream: Source,
    verifying: Verifying,
    inflater: str | None,
    progress: Progress | None,
    threads: int,
) -> Found:
    from ..provenance._verify import checked_and_verified

    return checked_and_verified(stream, verifying.trust_anchors, inflater, progress, threads)


def audit_target(
    target: Target,
    *,
    inflater: str | None = None,
    progress: Progress | None = None,
    threads: int = 1,
    function: Callable[..., Row] = audit_file,
    verifying: Verifying | None = None,
) -> Iterator[Row]:
    """The rows of one target as found: its listing error; the row that
    ``function`` (``audit_file``) makes of a file; or for a package (local),
    opened once, a row per WARC inside it (or the one it names), named
    ``PATH#archive/NAME``, each with its size and why it fails (a WARC that
    does not match what the package says of it among them); or one row, of
    the package with its size, with why the package cannot be read. Raises
    as ``audit_file`` does; ``verifying`` as for ``audit_file``."""
    verify = verifying is not None
    row = error_row(target.path, verify)
    if target.error is not None:
        row["error"] = target.error
        yield row
        return
    if not target.package:
        more = {"verifying": verifying} if verify else {}
        yield function(target.path, inflater=inflater, progress=progress, threads=threads, **more)
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
            row = error_row(warc_path(target.package_path, warc.name), verify)
            row["size"] = warc.size
            summary: Callable[[], Found]
            if verifying is not None:
                source = warc_source(package, warc)
                summary = functools.partial(
                    _verified, source, verifying, inflater, progress, threads
                )
            else:

                def summary(name: str = warc.name) -> Found:
                    found = check(
                        package, inflater=inflater, progress=progress, threads=threads, warc=name
                    )
                    return found, None

            yield _filled(row, summary)


def changed_while_read(row: Row) -> bool:
    """Whether the row is of a file that changed while it was audited (a
    crawler's current file, say): no verdict, nor a fault of the file."""
    return bool(row["error"] == CHANGED_WHILE_READ)


def error_row(path: str, verify: bool = False) -> Row:
    row: Row = dict.fromkeys(field_names(verify))
    row["path"] = path
    return row


def _filled(row: Row, summary: Callable[[], Found]) -> Row:
    """``row`` with what ``summary()`` found, or why it failed."""
    from ..provenance._failures import SdkError

    try:
        found, verification = summary()
    except (ArchiveError, OSError, MemoryError) as exc:
        return _failed(row, exc)
    except SdkError as exc:  # the SDK refused to look at the store: an invalid one
        found, verification = None, None
        row.update(signature="invalid", signature_error=str(exc))
    if found is None:
        return row
    if verification is not None:
        _signature(row, verification)
    row["compression"] = found.compression
    row["records"] = found.records
    row["manifest_records"] = found.manifest_records
    row["manifest_size"] = found.manifest_size
    row["manifest_sha256"] = found.manifest_sha256
    return row


def _signature(row: Row, found: Verification) -> None:
    from ..provenance._verify import INVALID, NOT_A_STORE

    row["signature"] = found.signature
    if found.signature in (INVALID, NOT_A_STORE):
        row["signature_error"] = "; ".join(found.reasons)
    row["signer"] = found.signer


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
