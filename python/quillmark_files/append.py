"""Appending a manifest store to an archive file, as a stream.

The result is what ``quillmark.append_manifest`` makes of the uncompressed
archive: every record that is not a manifest record, copied byte for byte in
order, then one new manifest record. The bytes between records (CR and LF
only) are dropped, except inside gzip members that are copied whole.

For gzip input written one member per record (as crawlers write it), each
kept record's member is copied unchanged, compressed bytes and all, straight
from the input file; the new manifest record becomes one new member at the
end. Members are copied unchanged also where they do not line up with
records (a record spread over several members, several records in one); only
where a manifest record to be removed shares members with records to keep
are those records compressed again, one member each.
"""

from __future__ import annotations

import os
import uuid
from collections.abc import Iterator
from typing import Any, NamedTuple

from . import _framer
from .errors import ArchiveError, MalformedArchive
from .gzip_codecs import Codec
from .gzip_codecs import codec as choose_codec
from .output import STANDARD_STREAM, Output, open_output
from .reader import ALL_BODIES, BODY, END, HEADER, MEMBER_END, PASSED, Batch, events
from .source import Input, Source, display_name

_CHUNK = 1 << 20


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
) -> AppendResult:
    """Writes ``source`` with ``manifest`` as its one manifest record.

    ``output`` is a path, "-" for standard output, or None to replace
    ``source`` (a regular file) in place. Either way the output appears only
    complete: on any failure no output is left and ``source`` is untouched.
    ``compress`` chooses gzip output; by default an in-place append keeps the
    input's compression and other outputs are gzip when named ``*.gz``.
    Raises MalformedArchive with quillmark's message (also for an archive with
    no content at all), CompressionError, or OSError.
    """
    record_id = checked_record_id(record_id)
    manifest = bytes(manifest)
    in_place = output is None
    target = display_name(source) if output is None else os.fspath(output)
    with Source(source) as stream:
        if in_place and not stream.regular and stream.name != STANDARD_STREAM:
            raise ValueError(f"{stream.name}: not a regular file, so it cannot be replaced")
        gzipped = stream.is_gzip()
        if compress is None:
            compress = (in_place and gzipped) or (
                target != STANDARD_STREAM and str(target).endswith(".gz")
            )
        codec = choose_codec(inflater) if gzipped or compress else None
        try:
            with open_output(str(target), large=True) as out:
                return _append(
                    stream, out, str(target), manifest, record_id, codec, gzipped, compress
                )
        except ArchiveError as exc:
            exc.path = stream.name
            raise


def _append(
    stream: Source,
    out: Output,
    target: str,
    manifest: bytes,
    record_id: str,
    codec: Codec | None,
    gzipped: bool,
    compress: bool,
) -> AppendResult:
    if gzipped and compress:
        assert codec is not None
        if not stream.regular:
            with _spooled(stream) as spooled:
                tally = _MemberCopier(spooled, out, codec).run()
        else:
            tally = _MemberCopier(stream, out, codec).run()
    elif not gzipped and not compress and stream.regular:
        tally = _copy_ranges(stream, out)
    else:
        sink = _MemberSink(out, codec) if compress else _PlainSink(out)
        evs = events(
            stream,
            codec if gzipped else None,
            header_bytes=True,
            bodies=ALL_BODIES,
            pass_over=True,
        )
        tally = _Tally()
        _copy_records(evs, stream, sink, tally)
        if not gzipped:
            tally.content = stream.position
    if tally.content == 0:
        raise MalformedArchive(_framer.EMPTY_ARCHIVE_MESSAGE, None, gzipped)

    record = _framer.manifest_record(manifest, record_id)
    manifest_offset = tally.uncompressed_out
    member_offset = out.position
    if compress:
        assert codec is not None
        deflater = codec.compressor()
        out.write(deflater.compress(record) + deflater.flush())
    else:
        out.write(record)
    return AppendResult(
        output=target,
        compressed=compress,
        records_kept=tally.kept,
        manifests_removed=tally.removed,
        members_copied=tally.members_copied,
        records_recompressed=tally.recompressed,
        manifest_offset=manifest_offset,
        member_offset=member_offset if compress else None,
        member_length=out.position - member_offset if compress else None,
    )


class _Tally:
    def __init__(self) -> None:
        self.kept = 0
        self.removed = 0
        self.members_copied = 0
        self.recompressed = 0
        self.uncompressed_out = 0  # uncompressed bytes of the output so far
        self.content = 0  # uncompressed bytes of the input


def _copy_ranges(stream: Source, out: Output) -> _Tally:
    """Plain file in, plain file out: each kept record is a range of the input
    file, copied by the kernel; ranges that touch are copied as one."""
    tally = _Tally()
    assert stream.fd is not None
    manifest = False
    for batch in events(stream, None, pass_over=True):
        for event in batch:
            kind = event[0]
            if kind == HEADER:
                manifest = event[4]
            elif kind == END:
                if manifest:
                    tally.removed += 1
                else:
                    out.copy(stream.fd, event[1], event[2])
                    tally.kept += 1
                    tally.uncompressed_out += event[2]
    tally.content = stream.position
    return tally


# --- record by record ---------------------------------------------------------------------


class _PlainSink:
    """Kept records written as they are."""

    def __init__(self, out: Output) -> None:
        self.out = out

    def begin(self) -> None:
        pass

    def write(self, data: Any) -> None:
        self.out.write(data)

    def copy(self, stream: Source, offset: int, size: int) -> None:
        assert stream.fd is not None
        self.out.copy(stream.fd, offset, size)

    def end(self) -> None:
        pass


class _MemberSink:
    """Kept records written as one gzip member each."""

    def __init__(self, out: Output, codec: Codec | None) -> None:
        assert codec is not None
        self.out = out
        self.codec = codec
        self.deflater: Any = None

    def begin(self) -> None:
        self.deflater = self.codec.compressor()

    def write(self, data: Any) -> None:
        packed = self.deflater.compress(data)
        if packed:
            self.out.write(packed)

    def copy(self, stream: Source, offset: int, size: int) -> None:
        for at in range(offset, offset + size, _CHUNK):
            self.write(stream.read_at(at, min(_CHUNK, offset + size - at)))

    def end(self) -> None:
        self.out.write(self.deflater.flush())
        self.deflater = None


def _copy_records(
    evs: Iterator[Batch], stream: Source, sink: _PlainSink | _MemberSink, tally: _Tally
) -> None:
    """Writes the kept records of an event stream (made with header bytes and
    all bodies) to ``sink``; manifest records and the bytes between records
    are left out."""
    keep = False
    for batch in evs:
        for event in batch:
            kind = event[0]
            if kind == HEADER:
                keep = not event[4]
                if keep:
                    sink.begin()
                    sink.write(event[5])
            elif kind == BODY:
                if keep:
                    sink.write(event[1])
            elif kind == PASSED:
                if keep:
                    sink.copy(stream, event[1], event[2])
            elif kind == END:
                if keep:
                    sink.write(event[3])
                    sink.end()
                    tally.kept += 1
                    tally.uncompressed_out += event[2]
                else:
                    tally.removed += 1
            elif kind == MEMBER_END:
                tally.content = event[4]


# --- member by member ---------------------------------------------------------------------


class _Group:
    """Members joined by records that span them; the first is clean at its start."""

    __slots__ = ("c_start", "u_start", "c_end", "u_end", "members", "records", "manifests")

    def __init__(self, c_start: int, u_start: int) -> None:
        self.c_start = c_start
        self.u_start = u_start
        self.c_end = c_start
        self.u_end = u_start
        self.members = 0
        self.records = 0
        self.manifests = 0


class _MemberCopier:
    """Gzip in, gzip out: members copied whole wherever they line up with records."""

    def __init__(self, stream: Source, out: Output, codec: Codec) -> None:
        self.stream = stream
        self.out = out
        self.codec = codec
        self.tally = _Tally()

    def run(self) -> _Tally:
        group = _Group(0, 0)
        awaited: tuple[int, int] | None = None  # (open record, member end) to be settled
        manifest = False
        for batch in events(self.stream, self.codec):
            for event in batch:
                kind = event[0]
                if kind == HEADER:
                    group.records += 1
                    manifest = event[4]
                    if manifest:
                        group.manifests += 1
                elif kind == END:
                    if awaited is not None and awaited[0] == event[1]:
                        # The record's separator was decided by what followed
                        # the member: if it ends inside, the member ended clean.
                        if event[1] + event[2] <= awaited[1]:
                            self._close(group)
                            group = _Group(group.c_end, group.u_end)
                        awaited = None
                elif kind == MEMBER_END:
                    group.c_end, group.u_end = event[2], event[4]
                    group.members += 1
                    self.tally.content = event[4]
                    if event[5] is None:
                        self._close(group)
                        group = _Group(group.c_end, group.u_end)
                    else:
                        awaited = (event[5], event[4])
        if group.members:
            self._close(group)
        return self.tally

    def _close(self, group: _Group) -> None:
        tally = self.tally
        if group.manifests == 0:
            # Nothing to remove: the members stay as they are, also where a
            # record spans several of them or one holds several records.
            assert self.stream.fd is not None
            self.out.copy(self.stream.fd, group.c_start, group.c_end - group.c_start)
            tally.members_copied += group.members
            tally.kept += group.records
            tally.uncompressed_out += group.u_end - group.u_start  # bytes between records too
        elif group.records == group.manifests:
            tally.removed += group.manifests  # nothing kept: the members go
        else:
            # Read the group again and give each kept record a member of its own.
            before = tally.kept
            evs = events(
                self.stream,
                self.codec,
                header_bytes=True,
                bodies=ALL_BODIES,
                framer_start=group.u_start,
                compressed_range=(group.c_start, group.c_end),
            )
            _copy_records(evs, self.stream, _MemberSink(self.out, self.codec), tally)
            tally.recompressed += tally.kept - before


class _spooled:
    """Standard input copied to an unnamed temporary file, for a pass that
    copies byte ranges of the input and may read some of them twice."""

    def __init__(self, stream: Source) -> None:
        self.stream = stream

    def __enter__(self) -> Source:
        import tempfile  # loaded only for this rare case

        self.file = tempfile.TemporaryFile()
        while True:
            data = self.stream.read(_CHUNK)
            if not data:
                break
            self.file.write(data)
        self.file.flush()
        return Source.of_file_descriptor(os.dup(self.file.fileno()), self.stream.name)

    def __exit__(self, *exc_info: object) -> None:
        self.file.close()


__all__ = ["AppendResult", "append_manifest", "checked_record_id"]
