"""One pass over a file for what a check needs: the verdict, the number of
records and of manifest records, the manifest store, and the gzip layout."""

from __future__ import annotations

from typing import NamedTuple

from .errors import raise_failure
from .inflaters import chosen
from .source import Input, Source, opened
from .steps import Progress, pass_options, steps

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
        if self.manifest is None:
            return None
        import hashlib  # loaded only where a digest is asked for

        return hashlib.sha256(self.manifest).hexdigest()


def check(
    source: Input | Source,
    *,
    inflater: str | None = None,
    progress: Progress | None = None,
    threads: int | None = None,
) -> Summary:
    """Reads a file as quillmark reads a whole archive, without holding it.

    Returns its Summary, or raises MalformedArchive (quillmark's message) or
    CompressionError; OSError when it cannot be read. ``progress`` is called
    now and then with the bytes read so far and the file's size (None when
    unknown). A gzip file is read on ``threads`` threads (None: one per core);
    the result is the same on any number.
    """
    library = chosen(inflater)
    options = pass_options(threads)
    with opened(source) as stream:
        scan = stream.scan(inflater=library, **options)
        for _ in steps(scan, progress):
            pass
        if scan.failure is not None:
            raise_failure(scan.failure, stream.name, scan.compressed)
        compressed, per_record, records, manifests, manifest = scan.summary()
        if not compressed:
            compression = NONE
        elif per_record:
            compression = GZIP_PER_RECORD
        else:
            compression = GZIP
        return Summary(stream.name, scan.consumed, compression, records, manifests, manifest)


def read_manifest(
    source: Input,
    *,
    inflater: str | None = None,
    progress: Progress | None = None,
    threads: int | None = None,
) -> bytes | None:
    """The manifest store of an archive file (the body of its last manifest
    record), or None when it carries none. The whole file must be well-formed,
    as for ``quillmark.read_manifest``; raises as ``check`` does."""
    return check(source, inflater=inflater, progress=progress, threads=threads).manifest
