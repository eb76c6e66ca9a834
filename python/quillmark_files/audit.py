"""One row of a crawl audit: what one archive file is, in fields that read the
same in every report format and on every machine that makes them.

``audit_file`` never raises for a bad file: a file that is malformed, whose
gzip data is damaged, or that cannot be opened or read is a row whose
``error`` says why. The same function serves ``quillmark audit`` on one
machine and the Spark job on a cluster, so that both give the same rows.
"""

from __future__ import annotations

import os
from typing import Any

from .errors import ArchiveError
from .packages import check, member_size, split_member
from .steps import Progress
from .summary import NONE

# The fields of a row, in this order, with their types (None is always allowed
# but for "path").
FIELDS = (
    ("path", str),  # the file as given or found; "package#archive/name" for a WARC in a package
    ("size", int),  # bytes on disk; None when the file cannot be looked at
    ("compression", str),  # "none", "gzip-per-record", "gzip"; None when unknown
    ("records", int),  # None when the file failed
    ("error", str),  # None when the file is well-formed
    ("manifest_records", int),  # None when the file failed
    ("manifest_size", int),  # None when there is no manifest store
    ("manifest_sha256", str),  # hex; None when there is no manifest store
)
FIELD_NAMES = tuple(name for name, _ in FIELDS)

Row = dict[str, Any]

_LOCAL_SCHEMES = ("file://", "file:")
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

    Raises only for what is no fault of the file: an unknown or missing gzip
    library (InflaterUnavailable), and what ``progress`` raises.
    """
    row: Row = dict.fromkeys(FIELD_NAMES)
    row["path"] = path
    try:
        local = local_path(path)
        member = split_member(local) if local is not None else None
        if member is not None:  # a WARC inside a package: "crawl.wacz#archive/a.warc.gz"
            row["size"] = member_size(*member)
            summary = check(
                member[0], inflater=inflater, progress=progress, threads=threads, warc=member[1]
            )
        elif local is not None:
            row["size"] = os.stat(local).st_size
            summary = check(local, inflater=inflater, progress=progress, threads=threads)
        else:
            summary, row["size"] = _check_remote(path, inflater, progress)
    except ArchiveError as exc:
        # A plain file's layout is known whatever fails; a gzip file's is told
        # only by all of its members.
        malformed_plain = not getattr(exc, "compressed", True)
        row["compression"] = NONE if malformed_plain else None
        row["error"] = exc.located()
    except OSError as exc:
        row["error"] = exc.strerror or str(exc)
    except MemoryError:
        row["error"] = OUT_OF_MEMORY
    else:
        row["compression"] = summary.compression
        row["records"] = summary.records
        row["manifest_records"] = summary.manifest_records
        row["manifest_size"] = summary.manifest_size
        row["manifest_sha256"] = summary.manifest_sha256
    return row


def failed(row: Row) -> bool:
    return row["error"] is not None


def local_path(path: str) -> str | None:
    """The local path that ``path`` names, or None for a URL of another file system."""
    for scheme in _LOCAL_SCHEMES:
        if path.startswith(scheme):
            rest = path[len(scheme) :]
            # file:///a, file://localhost/a (RFC 8089) and Hadoop's file:/a
            if rest.startswith("localhost/"):
                rest = rest[len("localhost") :]
            return rest if rest.startswith("/") else None
    return None if is_url(path) else path


def is_url(path: str) -> bool:
    scheme, sep, _ = path.partition("://")
    return bool(sep) and scheme.replace("+", "").replace("-", "").replace(".", "").isalnum()


class MissingFsspec(OSError):
    """A URL was given but fsspec, which opens it, is not installed."""


def remote_filesystem(url: str) -> tuple[Any, str]:
    """fsspec's file system for ``url`` and the path within it."""
    try:
        import fsspec  # type: ignore[import-not-found,unused-ignore]
    except ImportError:
        raise MissingFsspec(0, "fsspec is not installed, so URLs cannot be opened") from None
    try:
        found: tuple[Any, str] = fsspec.core.url_to_fs(url)
        return found
    except (ImportError, ValueError) as exc:  # an unknown scheme, a backend not installed
        raise OSError(0, str(exc)) from None


def _check_remote(url: str, inflater: str | None, progress: Progress | None) -> Any:
    filesystem, inner = remote_filesystem(url)
    size = filesystem.size(inner)
    # Large blocks: a remote read costs a round trip; the engine reads in order.
    with filesystem.open(inner, "rb", block_size=8 << 20) as stream:
        summary = check(stream, inflater=inflater, progress=progress, threads=1)
    return summary, size
