"""Appending a manifest store to an archive file.

The result is what ``quillmark.append_manifest`` makes of the uncompressed
archive: every record that is not a manifest record, copied byte for byte in
order, then one new manifest record. The native pass (FileAppend in the core)
decides what is kept and writes the output as it reads the input: for gzip
input written one member per record (as crawlers write it), each kept
record's member is copied unchanged, compressed bytes and all, straight from
the input file by the kernel, and the new manifest record becomes one new
member at the end. This module opens the files, chooses the output's form and
makes the output appear whole or not at all.
"""

from __future__ import annotations

import contextlib
import os
from collections.abc import Iterator
from typing import NamedTuple

from .errors import raise_failure
from .inflaters import chosen
from .source import STANDARD_STREAM, Input, Source, display_name
from .steps import Progress, pass_options, steps

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


def checked_record_id(record_id: str | None) -> str:
    """``record_id``, or a fresh ``urn:uuid:`` when it is None. An id with a
    line break would add header lines of its own, so it is refused."""
    if record_id is None:
        import uuid  # loaded only where an id is made (it is slow to load)

        return f"urn:uuid:{uuid.uuid4()}"
    if "\r" in record_id or "\n" in record_id:
        raise ValueError("the record id must not contain a carriage return or a line feed")
    try:
        record_id.encode("utf-8")
    except UnicodeEncodeError:
        raise ValueError("the record id is not valid UTF-8") from None
    return record_id


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
    """
    from .output import open_output  # loaded only where an output is written

    record_id = checked_record_id(record_id)
    manifest = bytes(manifest)
    in_place = output is None
    target = display_name(source) if output is None else os.fspath(output)
    with Source(source) as stream:
        if in_place and stream.name != STANDARD_STREAM and not stream.regular:
            raise ValueError(f"{stream.name}: not a regular file, so it cannot be replaced")
        with _seekable(stream) as readable:
            if compress is None:
                compress = (in_place and is_gzip(readable)) or (
                    target != STANDARD_STREAM and str(target).endswith(".gz")
                )
            with open_output(str(target)) as out:
                out.flush()  # the pass writes at the descriptor's own offset
                result, written, _ = append_into(
                    readable,
                    out.fd,
                    manifest,
                    record_id,
                    compress=compress,
                    inflater=inflater,
                    progress=progress,
                    threads=threads,
                    output_name=str(target),
                )
                out.wrote(written)
    return result


def is_gzip(stream: Source) -> bool:
    """Whether a regular file (or range of one) starts as gzip data does."""
    assert stream.fd is not None
    return os.pread(stream.fd, len(GZIP_MAGIC), stream.start) == GZIP_MAGIC


def append_into(
    stream: Source,
    out_fd: int,
    manifest: bytes,
    record_id: str,
    *,
    compress: bool,
    inflater: str | None,
    progress: Progress | None,
    threads: int | None,
    output_name: str,
) -> tuple[AppendResult, int, int | None]:
    """Writes the archive ``stream`` (a regular file, or a range of one) with
    ``manifest`` as its one manifest record at ``out_fd``'s own file offset;
    returns what was written, its size in bytes, and the first place before
    the new record where it differs from ``stream`` (None: it begins with all
    that was kept, where it stood, so an index of the input still holds).
    ``output_name`` names the output in the result and in errors."""
    scan = stream.scan(
        inflater=chosen(inflater),
        append_to=out_fd,
        manifest=manifest,
        record_id=record_id,
        compress=compress,
        **pass_options(threads),
    )
    for _ in steps(scan, progress):
        pass
    if scan.failure is not None:
        raise_failure(scan.failure, stream.name, scan.compressed, output_name)
    kept, removed, copied, recompressed, offset, member, length, written, moved = scan.appended()
    result = AppendResult(
        output=output_name,
        compressed=compress,
        records_kept=kept,
        manifests_removed=removed,
        members_copied=copied,
        records_recompressed=recompressed,
        manifest_offset=offset,
        member_offset=member,
        member_length=length,
    )
    return result, written, moved


@contextlib.contextmanager
def _seekable(stream: Source) -> Iterator[Source]:
    """``stream`` itself when it is a regular file; else a copy of it in an
    unnamed temporary file, since kept ranges are copied by their place."""
    if stream.regular:
        yield stream
        return
    import tempfile  # loaded only for this rare case

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


__all__ = ["AppendResult", "append_into", "append_manifest", "checked_record_id", "is_gzip"]
