"""One pass over an archive file for what a check needs: the verdict, the
number of records and of manifest records, the manifest store, and the gzip
layout."""

from __future__ import annotations

from typing import NamedTuple

from ._inflater import chosen_inflater
from ._pass import Progress, pass_options, run_to_end
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
    with opened(source) as stream:
        scan = stream.scan(inflater=chosen, **options)
        run_to_end(scan, progress, stream.name)
        compressed, per_record, records, manifests, manifest = scan.summary()
        if not compressed:
            compression = NONE
        elif per_record:
            compression = GZIP_PER_RECORD
        else:
            compression = GZIP
        return Summary(stream.name, scan.consumed, compression, records, manifests, manifest)
