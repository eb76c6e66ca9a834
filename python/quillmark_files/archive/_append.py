"""Appending a manifest store to an archive file.

The result is what ``quillmark.append_manifest`` makes of the uncompressed
archive: every record that is not a manifest record, copied byte for byte in
order, then one new manifest record. The native pass (FileAppend in the core)
decides what is kept and writes the output as it reads the input: for gzip
input written one member per record (as crawlers write it), each kept
record's member is copied unchanged, compressed bytes and all, straight from
the input file by the kernel, and the new manifest record becomes one new
member at the end. This module opens the files, chooses the output's form and
makes the output appear whole or not at all, and only if the input did not
change while it was read (_identity.py); a file replaced in place is held
locked meanwhile (_lock.py).
"""

from __future__ import annotations

import contextlib
import os
import uuid
from collections.abc import Iterator
from typing import Callable, NamedTuple, Union

from ._identity import WatchedFile
from ._lock import held_for_change
from ._output import Output, open_output
from ._pass import (
    OutputDigests,
    Progress,
    chosen_inflater,
    pass_options,
    raise_failure,
    run_to_end,
)
from ._source import STANDARD_STREAM, Input, Source, display_name

_SPOOL_PIECE = 1 << 20
GZIP_MAGIC = b"\x1f\x8b"


class AppendResult(NamedTuple):
    """What ``append_manifest`` wrote."""

    output: str  # the file written, or "-" for standard output
    compressed: bool  # written as gzip
    records_kept: int
    manifests_removed: int
    members_copied: int  # gzip members copied unchanged from the input
    records_recompressed: int  # kept records whose gzip member had to be made anew
    manifest_offset: int  # where the new manifest record starts, uncompressed
    member_offset: int | None  # where its gzip member starts in the file
    member_length: int | None


class WrittenArchive(NamedTuple):
    """An archive written at a file descriptor (see ``append_into``)."""

    result: AppendResult
    size: int  # bytes written
    # The first byte before the new record where the output differs from the
    # input; None when it begins with all that was kept, where it stood, so
    # that an index of the input still holds.
    moved_from: int | None
    # The CRC-32 and SHA-256 of the bytes written, read back right behind the
    # writer, where they were asked for.
    digests: OutputDigests | None = None


class KeptBytes(NamedTuple):
    """What an append whose manifest is made late has written before its new
    record (or that record's gzip member), for the manifest to sign."""

    sha256: bytes  # of the output's bytes before the new record
    size: int  # how many there are
    old_manifest: bytes | None  # the store of the last manifest record removed
    source: Source  # the input, still open (and locked, in place)


# Makes the manifest store once everything kept is written.
MakeManifest = Callable[[KeptBytes], bytes]
Manifest = Union[bytes, MakeManifest]


def checked_record_id(record_id: str | None) -> str:
    """``record_id``, or a fresh ``urn:uuid:`` when it is None. An id with a
    line break would add header lines of its own, so it is refused."""
    if record_id is None:
        return f"urn:uuid:{uuid.uuid4()}"
    if "\r" in record_id or "\n" in record_id:
        raise ValueError("the record id must not contain a carriage return or a line feed")
    try:
        record_id.encode("utf-8")
    except UnicodeEncodeError:
        raise ValueError("the record id is not valid UTF-8") from None
    return record_id


def append_to_file(
    source: Input,
    manifest: Manifest,
    output: str | os.PathLike[str] | None = None,
    *,
    record_id: str | None = None,
    compress: bool | None = None,
    inflater: str | None = None,
    progress: Progress | None = None,
    threads: int | None = None,
    wait: bool = False,
) -> AppendResult:
    """Writes the archive file ``source`` with ``manifest`` as its one
    manifest record (see ``quillmark_files.append_manifest``). ``manifest``
    may be a MakeManifest, called once everything kept is written."""
    record_id = checked_record_id(record_id)
    if not callable(manifest):
        manifest = bytes(manifest)
    in_place = output is None
    target = display_name(source) if output is None else os.fspath(output)
    with _opened(source, in_place, wait) as (stream, still_at):
        if in_place and stream.name != STANDARD_STREAM and not stream.regular:
            raise ValueError(f"{stream.name}: not a regular file, so it cannot be replaced")
        with stream.unchanged(at_end=False), seekable(stream) as readable:
            if compress is None:
                compress = (in_place and is_gzip(readable)) or (
                    target != STANDARD_STREAM and str(target).endswith(".gz")
                )
            with open_output(str(target), lambda: stream.confirm(still_at)) as out:
                written = append_into(
                    readable,
                    out,
                    manifest,
                    record_id,
                    compress=compress,
                    inflater=inflater,
                    progress=progress,
                    threads=threads,
                    output_name=str(target),
                )
    return written.result


@contextlib.contextmanager
def _opened(source: Input, in_place: bool, wait: bool) -> Iterator[tuple[Source, str | None]]:
    """The archive to read, and for a file replaced in place the path that
    must still name it when the new one is put there: such a file is held
    locked from before it is read until after it is replaced (_lock.py)."""
    named = isinstance(source, (str, bytes, os.PathLike))
    if not (in_place and named) or display_name(source) == STANDARD_STREAM:
        with Source(source) as stream:
            yield stream, None
        return
    assert isinstance(source, (str, bytes, os.PathLike))
    path, name = os.fsdecode(os.fspath(source)), display_name(source)
    with held_for_change(path, name, wait=wait) as fd:
        watched = WatchedFile.taken(fd, name)
        yield Source.of_file_descriptor(fd, name, owned=False, watched=watched), path


def is_gzip(stream: Source) -> bool:
    """Whether a regular file (or range of one) starts as gzip data does."""
    assert stream.fd is not None
    return os.pread(stream.fd, len(GZIP_MAGIC), stream.start) == GZIP_MAGIC


def append_into(
    stream: Source,
    out: Output,
    manifest: Manifest,
    record_id: str,
    *,
    compress: bool,
    inflater: str | None,
    progress: Progress | None,
    threads: int | None,
    output_name: str,
    digest_output: bool = False,
) -> WrittenArchive:
    """Writes the archive ``stream`` (a regular file, or a range of one) with
    ``manifest`` as its one manifest record through ``out``.
    ``output_name`` names the output in the result and in errors. With
    ``digest_output`` (``out.fd`` then open for reading too), the result has
    the digests of what was written. A MakeManifest ``manifest`` is called
    with the KeptBytes once everything kept is written (the output digested
    on the way, so ``out.fd`` is then open for reading too)."""
    deferred = callable(manifest)
    with stream.checked_scan(
        inflater=chosen_inflater(inflater),
        append_to=out,
        manifest=None if callable(manifest) else manifest,
        record_id=record_id,
        compress=compress,
        output_digests=digest_output or deferred,
        old_manifest=deferred,
        **pass_options(threads),
    ) as scan:
        run_to_end(scan, progress, stream.name, output_name)
        if callable(manifest):
            kept = scan.output_digests().covered
            store = manifest(
                KeptBytes(
                    kept.sha256,
                    kept.end,
                    scan.appended().old_manifest,
                    stream,
                )
            )
            scan.finish(bytes(store))
            if scan.failure is not None:
                raise_failure(scan.failure, stream.name, scan.compressed, output_name)
    counts = scan.appended()
    result = AppendResult(
        output=output_name,
        compressed=compress,
        records_kept=counts.records_kept,
        manifests_removed=counts.manifests_removed,
        members_copied=counts.members_copied,
        records_recompressed=counts.records_recompressed,
        manifest_offset=counts.manifest_offset,
        member_offset=counts.member_offset,
        member_length=counts.member_length,
    )
    digests = scan.output_digests() if digest_output or deferred else None
    return WrittenArchive(result, counts.written, counts.moved_from, digests)


@contextlib.contextmanager
def seekable(stream: Source) -> Iterator[Source]:
    """``stream`` itself when it is a regular file; else a copy of it in an
    unnamed temporary file, since kept ranges are copied by their place."""
    if stream.regular:
        yield stream
        return
    import tempfile  # slow to load: only where it is needed

    with tempfile.TemporaryFile() as spool:
        while True:
            if stream.fd is not None:
                data = os.read(stream.fd, _SPOOL_PIECE)
            else:
                assert stream.stream is not None
                data = stream.stream.read(_SPOOL_PIECE) or b""
            if not data:
                break
            spool.write(data)
        spool.flush()
        with Source.of_file_descriptor(os.dup(spool.fileno()), stream.name) as copy:
            yield copy
