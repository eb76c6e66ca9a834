"""Reading an archive file in one pass: for a check (the verdict, the number
of records and of manifest records, the manifest store, the gzip layout), or
for its records, one at a time. A file that changed while it was read gets
no verdict: FileChanged is raised instead, after the last record of a
listing."""

from __future__ import annotations

from collections.abc import Iterator
from typing import NamedTuple

from ._pass import Progress, Scan, chosen_inflater, pass_options, raise_failure, run_to_end, steps
from ._source import Input, Source, opened

NONE = "none"
GZIP_PER_RECORD = "gzip-per-record"
GZIP = "gzip"


class Summary(NamedTuple):
    """What ``check`` finds in a well-formed archive file."""

    path: str
    size: int  # bytes read from the file (its size on disk for a regular file)
    compression: str  # "none", "gzip-per-record" (one member per record) or "gzip"
    records: int
    manifest_records: int  # more than one: an old one was left behind
    manifest: bytes | None  # the store of the last manifest record

    @property
    def manifest_size(self) -> int | None:
        return None if self.manifest is None else len(self.manifest)

    @property
    def manifest_sha256(self) -> str | None:
        import hashlib  # slow to load: only where a digest is asked for

        return None if self.manifest is None else hashlib.sha256(self.manifest).hexdigest()


def check_file(
    source: Input | Source,
    *,
    inflater: str | None = None,
    progress: Progress | None = None,
    threads: int | None = None,
) -> Summary:
    """Reads a file as quillmark reads a whole archive, without holding it
    (see ``quillmark_files.check``)."""
    chosen = chosen_inflater(inflater)
    options = pass_options(threads)
    with opened(source) as stream, stream.unchanged():
        with stream.checked_scan(inflater=chosen, **options) as scan:
            run_to_end(scan, progress, stream.name)
        return summary_of(scan, stream.name)


def summary_of(scan: Scan, name: str) -> Summary:
    """The Summary of the file ``name`` that ``scan`` read to its end."""
    found = scan.summary()
    if not found.compressed:
        compression = NONE
    elif found.one_record_per_member:
        compression = GZIP_PER_RECORD
    else:
        compression = GZIP
    return Summary(
        name,
        scan.consumed,
        compression,
        found.records,
        found.manifest_records,
        found.manifest,
    )


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
    with (
        opened(source) as stream,
        stream.unchanged(),
        stream.checked_scan(
            inflater=chosen, listing=True, bodies=bodies, record_type=FileRecord, **options
        ) as scan,
    ):
        for batch in steps(scan, progress):
            yield from batch
        if scan.failure is not None:
            raise_failure(scan.failure, stream.name, scan.compressed)
