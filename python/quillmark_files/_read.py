"""Reading archive files and the WARCs inside WACZ packages alike.

A path that names a package (``*.wacz``, or any file that starts as a ZIP
does), or a Package already open, is read as one: ``warc`` then names the
WARC inside it, and may be left out when the package holds exactly one.
Anything else is an archive file, for the functions of archive/.

A WARC inside a package is checked against what the package says of it by
the same pass that reads it (its size before, its CRC-32 and hash once read
whole): a mismatch raises PackageMismatch, from ``check`` and
``read_manifest`` in place of a result, and from ``iter_records`` after the
last record, as a malformed file raises there.
"""

from __future__ import annotations

from collections.abc import Iterator

from .archive import FileRecord, Input, Progress, Summary
from .archive._reading import check_file, iter_file_records
from .package import Package
from .package._package import opened_warc, wants_package


def check(
    source: Input | Package,
    *,
    inflater: str | None = None,
    progress: Progress | None = None,
    threads: int | None = None,
    warc: str | None = None,
) -> Summary:
    """Reads a file as quillmark reads a whole archive, without holding it.

    Returns its Summary, or raises MalformedArchive (quillmark's message) or
    CompressionError; OSError when it cannot be read. ``progress`` is called
    now and then with the bytes read so far and the file's size (None when
    unknown). A gzip file is read on ``threads`` threads (None: one per
    processor); the result is the same on any number. For the WARC ``warc``
    inside a package, ``path`` is ``package#name`` and ``size`` the WARC's.
    """
    if isinstance(source, Package) or wants_package(source, warc):
        with opened_warc(source, warc) as stream:
            return check_file(stream, inflater=inflater, progress=progress, threads=threads)
    return check_file(source, inflater=inflater, progress=progress, threads=threads)


def read_manifest(
    source: Input | Package,
    *,
    inflater: str | None = None,
    progress: Progress | None = None,
    threads: int | None = None,
    warc: str | None = None,
) -> bytes | None:
    """The manifest store of an archive file (the body of its last manifest
    record), or None when it carries none. The whole file must be well-formed,
    as for ``quillmark.read_manifest``; raises as ``check`` does."""
    return check(source, inflater=inflater, progress=progress, threads=threads, warc=warc).manifest


def iter_records(
    source: Input | Package,
    *,
    bodies: bool = False,
    inflater: str | None = None,
    progress: Progress | None = None,
    threads: int | None = None,
    warc: str | None = None,
) -> Iterator[FileRecord]:
    """The records of an archive file, in order, as it is read.

    Memory stays bounded by one record (and its body only with ``bodies``).
    A malformed archive raises MalformedArchive once the records before the
    failing one have been yielded; a damaged gzip stream raises
    CompressionError. The file is closed when the iterator is exhausted or
    closed. ``progress`` and ``threads`` are as for ``check``; offsets of a
    WARC inside a package are inside the WARC.
    """
    if isinstance(source, Package) or wants_package(source, warc):
        return _package_records(source, bodies, inflater, progress, threads, warc)
    return iter_file_records(
        source, bodies=bodies, inflater=inflater, progress=progress, threads=threads
    )


def _package_records(
    source: Input | Package,
    bodies: bool,
    inflater: str | None,
    progress: Progress | None,
    threads: int | None,
    warc: str | None,
) -> Iterator[FileRecord]:
    with opened_warc(source, warc) as stream:
        yield from iter_file_records(
            stream, bodies=bodies, inflater=inflater, progress=progress, threads=threads
        )
