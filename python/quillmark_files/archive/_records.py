"""Listing the records of an archive file, one at a time."""

from __future__ import annotations

from collections.abc import Iterator
from typing import NamedTuple

from ._inflater import chosen_inflater
from ._pass import Progress, pass_options, raise_failure, steps
from ._source import Input, Source, opened


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


def iter_file_records(
    source: Input | Source,
    *,
    bodies: bool = False,
    inflater: str | None = None,
    progress: Progress | None = None,
    threads: int | None = None,
) -> Iterator[FileRecord]:
    """The records of an archive file, in order, as it is read (see
    ``quillmark_files.iter_records``)."""
    chosen = chosen_inflater(inflater)
    options = pass_options(threads)
    with opened(source) as stream:
        scan = stream.scan(
            inflater=chosen, listing=True, bodies=bodies, record_type=FileRecord, **options
        )
        for batch in steps(scan, progress):
            yield from batch
        if scan.failure is not None:
            raise_failure(scan.failure, stream.name, scan.compressed)
