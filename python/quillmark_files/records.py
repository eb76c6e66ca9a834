"""Listing the records of an archive file, one at a time."""

from __future__ import annotations

from collections.abc import Iterator
from typing import Any, NamedTuple

from .errors import ArchiveError
from .gzip_codecs import Codec
from .gzip_codecs import codec as choose_codec
from .reader import (
    ALL_BODIES,
    BODY,
    END,
    HEADER,
    MEMBER_END,
    NO_BODIES,
    PASSED,
    events,
)
from .source import Input, Source


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
    source: Input, *, bodies: bool = False, inflater: str | None = None
) -> Iterator[FileRecord]:
    """The records of an archive file, in order, as it is read.

    Memory stays bounded by one record (and its body only with ``bodies``).
    A malformed archive raises MalformedArchive once the records before the
    failing one have been yielded; a damaged gzip stream raises
    CompressionError. The file is closed when the iterator is exhausted or
    closed.
    """
    with Source(source) as stream:
        codec = choose_codec(inflater) if stream.is_gzip() else None
        try:
            yield from _records(stream, codec, bodies)
        except ArchiveError as exc:
            exc.path = stream.name
            raise


def _records(stream: Source, codec: Codec | None, bodies: bool) -> Iterator[FileRecord]:
    listing = _Listing(codec is not None, bodies, stream)
    try:
        for batch in events(
            stream, codec, headers=True, bodies=listing.choice, pass_over=not bodies
        ):
            for event in batch:
                record = listing.take(event)
                if record is not None:
                    yield record
    except ValueError:
        if listing.done is not None:  # complete before the failure: listed without gzip_length
            yield listing.done
        raise
    last = listing.last()
    if last is not None:
        yield last


class _Listing:
    """Turns events into records. For a gzip file a record is held until the
    next one starts, which tells whether its compressed range can be given."""

    def __init__(self, gzipped: bool, bodies: bool, stream: Source) -> None:
        self.gzipped = gzipped
        self.bodies = bodies
        self.choice = ALL_BODIES if bodies else NO_BODIES
        self.stream = stream
        # Uncompressed to compressed position, where members start (or end).
        self.member_at: dict[int, int] = {0: 0} if gzipped else {}
        self.end_pair: tuple[int, int] | None = None  # (uncompressed, compressed) end so far
        self.head: tuple[Any, ...] | None = None  # the HEADER event of the record being read
        self.parts: list[bytes] = []
        self.done: FileRecord | None = None  # complete, awaiting the next start

    def _with_length(self, record: FileRecord, following: int | None) -> FileRecord:
        if record.gzip_offset is None or following is None:
            return record
        stop = self.member_at.get(following)
        if stop is None and self.end_pair is not None and self.end_pair[0] == following:
            stop = self.end_pair[1]
        return record if stop is None else record._replace(gzip_length=stop - record.gzip_offset)

    def take(self, event: tuple[Any, ...]) -> FileRecord | None:
        kind = event[0]
        if kind == HEADER:
            self.head = event
            if self.done is not None:
                record = self._with_length(self.done, event[1])
                self.done = None
                self.member_at = {u: c for u, c in self.member_at.items() if u >= event[1]}
                return record
        elif kind == BODY:
            self.parts.append(bytes(event[1]))
        elif kind == PASSED:
            if self.bodies:
                self.parts.append(self.stream.read_at(event[1], event[2]))
        elif kind == END:
            head = self.head
            assert head is not None
            record = FileRecord(
                offset=head[1],
                length=event[2],
                headers=head[6],
                body_size=head[3],
                is_manifest=head[4],
                gzip_offset=self.member_at.get(head[1]) if self.gzipped else None,
                body=b"".join(self.parts) if self.bodies else None,
            )
            self.parts = []
            if not self.gzipped:
                return record
            self.done = record
        elif kind == MEMBER_END:
            self.member_at.setdefault(event[4], event[2])
            self.end_pair = (event[4], event[2])
        return None

    def last(self) -> FileRecord | None:
        if self.done is None:
            return None
        return self._with_length(self.done, self.end_pair[0] if self.end_pair else None)
