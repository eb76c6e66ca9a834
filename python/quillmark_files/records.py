"""Listing the records of an archive file, one at a time."""

from __future__ import annotations

from collections.abc import Iterator
from typing import NamedTuple

from .errors import raise_failure
from .inflaters import chosen
from .source import Input, Source, opened
from .steps import Progress, pass_options, steps


class FileRecord(NamedTuple):
    """One record of an archive file.

    ``offset`` and ``length`` are positions in the uncompressed archive, as
    ``quillmark.read_records`` gives them; ``headers`` is the same dict. For a
    gzip file, ``gzip_offset`` is where the record's gzip member starts in the
    file when the record starts one, and ``gzip_length`` the compressed bytes
    up to the next record (or the end) when that starts a member too: the
    range a reader can seek to and inflate alone. ``body`` is the body when
    asked for, else None.
    """

    offset: int
    length: int
    headers: dict[str, str]
    body_size: int
    is_manifest: bool
    gzip_offset: int | None = None
    gzip_length: int | None = None
    body: bytes | None = None


def iter_records(
    source: Input | Source,
    *,
    bodies: bool = False,
    inflater: str | None = None,
    progress: Progress | None = None,
    threads: int | None = None,
) -> Iterator[FileRecord]:
    """The records of an archive file, in order, as it is read.

    Memory stays bounded by one record (and its body only with ``bodies``).
    A malformed archive raises MalformedArchive once the records before the
    failing one have been yielded; a damaged gzip stream raises
    CompressionError. The file is closed when the iterator is exhausted or
    closed. ``progress`` and ``threads`` are as for ``check``.
    """
    library = chosen(inflater)
    options = pass_options(threads)
    with opened(source) as stream:
        scan = stream.scan(
            inflater=library, listing=True, bodies=bodies, record_type=FileRecord, **options
        )
        for batch in steps(scan, progress):
            yield from batch
        if scan.failure is not None:
            raise_failure(scan.failure, stream.name, scan.compressed)
