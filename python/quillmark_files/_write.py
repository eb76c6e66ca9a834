"""Appending a manifest store to an archive file, or to a WARC inside a WACZ
package (see _read.py for how a package is told)."""

from __future__ import annotations

import os

from . import package
from .archive import AppendResult, Input, Progress
from .archive._append import append_to_file
from .package._package import package_path, wants_package


def append_manifest(
    source: Input,
    manifest: bytes,
    output: str | os.PathLike[str] | None = None,
    *,
    record_id: str | None = None,
    compress: bool | None = None,
    inflater: str | None = None,
    progress: Progress | None = None,
    threads: int | None = None,
    warc: str | None = None,
    drop_signature: bool = False,
    wait: bool = False,
) -> AppendResult:
    """Writes ``source`` with ``manifest`` as its one manifest record.

    ``output`` is a path, "-" for standard output, or None to replace
    ``source`` (a regular file) in place. Either way the output appears only
    complete: on any failure no output is left and ``source`` is untouched.
    ``compress`` chooses gzip output; by default an in-place append keeps the
    input's compression and other outputs are gzip when named ``*.gz``.
    Raises MalformedArchive with quillmark's message (also for an archive with
    no content at all), CompressionError, or OSError. ``progress`` and
    ``threads`` are as for ``check`` (a gzip input written as gzip is read on
    ``threads``; other appends on one).

    Replaced in place, ``source`` is held under an exclusive lock (flock)
    from before it is read until after it is replaced, so that changes in
    place are made one at a time: while another process holds that lock,
    FileBusy is raised, or with ``wait`` the call waits for it. A file that
    changed while it was read (as one a crawler is still writing) raises
    FileChanged, and no output is put in place.

    For a package, this is the append to its WARC ``warc`` that
    ``append_to_package`` makes, whose AppendResult it returns (``output``
    naming ``package#warc``).
    """
    if not wants_package(source, warc):
        return append_to_file(
            source,
            manifest,
            output,
            record_id=record_id,
            compress=compress,
            inflater=inflater,
            progress=progress,
            threads=threads,
            wait=wait,
        )
    if compress is not None:
        raise ValueError("compress does not apply to a package: its WARC keeps its compression")
    return package.append_to_package(
        package_path(source),
        manifest,
        output,
        record_id=record_id,
        inflater=inflater,
        progress=progress,
        threads=threads,
        warc=warc,
        drop_signature=drop_signature,
        wait=wait,
    ).archive
