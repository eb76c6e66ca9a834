"""The events of one pass over an archive file.

The core's stream framer (the private extension ``_framer``) frames the
uncompressed bytes and reaches the verdict; this module feeds it, from a plain
file or through the gzip members of a compressed one, and merges what both
report into one stream of event tuples, in file order, handed on in lists
(one per piece read, so that a file of many small records costs few Python
steps per record):

    (HEADER, offset, header_length, body_size, is_manifest, header_bytes, headers)
    (BODY, memoryview of a body piece)
    (PASSED, file_offset, size)    body bytes passed over without being read
    (END, offset, length, separator)
    (MEMBER_END, compressed_start, compressed_end, uncompressed_start,
     uncompressed_end, open_record)    for gzip input; the next member starts
                                       at its end

Offsets are positions in the uncompressed archive; open_record is the offset
of a record that the member's end leaves open, or None. A malformed archive
ends the stream with MalformedArchive, after the events of the records before
it.
"""

from __future__ import annotations

from collections.abc import Callable, Iterator
from typing import Any

from . import _framer
from .errors import MalformedArchive
from .gzip_codecs import Codec
from .members import DATA, MEMBER_END, inflate_members
from .source import Source

HEADER = _framer.HEADER
BODY = _framer.BODY
END = _framer.END
_ERROR = _framer.ERROR
PASSED = 13

NO_BODIES, MANIFEST_BODIES, ALL_BODIES = 0, 1, 2

_PIECE = 1 << 18  # bytes of a plain file read at a time
# Bodies at least this large are passed over, not read, where the file allows.
_PASS_OVER_FROM = 1 << 16

__all__ = ["HEADER", "BODY", "PASSED", "END", "MEMBER_END", "events"]
Batch = list[tuple[Any, ...]]


def events(
    source: Source,
    codec: Codec | None,
    *,
    headers: bool = False,
    header_bytes: bool = False,
    bodies: int = NO_BODIES,
    pass_over: bool = False,
    framer_start: int = 0,
    compressed_range: tuple[int, int] | None = None,
) -> Iterator[Batch]:
    """Lists of events of ``source``: gzip-compressed when ``codec`` is given,
    else plain.

    ``pass_over`` lets a plain regular file pass over large bodies (PASSED
    events stand for them). ``compressed_range`` limits a gzip pass to the
    members in that range of the file, whose content starts at uncompressed
    position ``framer_start``.
    """
    framer = _framer.Framer(framer_start, headers=headers, header_bytes=header_bytes, bodies=bodies)
    compressed = codec is not None
    if not compressed:
        yield from _plain(source, framer, pass_over and source.regular, bodies != NO_BODIES)
    else:
        assert codec is not None
        read: Callable[[int], bytes]
        if compressed_range is None:
            read = source.read
            start, padding = 0, True
        else:
            read = _range_reader(source, *compressed_range)
            start, padding = compressed_range[0], False
        feed = framer.feed
        with_bodies = bodies != NO_BODIES
        for item in inflate_members(read, codec, start, framer_start, padding):
            if item[0] == DATA:
                piece: bytes = item[1]  # type: ignore[assignment]
                found = feed(piece)
                if found:
                    if found[-1][0] == _ERROR:
                        yield from _failed(found, piece, compressed, with_bodies)
                    yield _viewed(found, piece) if with_bodies else found
            else:
                yield [(*item, framer.open_record)]
    found = framer.finish()
    if found:
        if found[-1][0] == _ERROR:
            yield from _failed(found, b"", compressed, False)
        yield found


def _plain(source: Source, framer: Any, pass_over: bool, with_bodies: bool) -> Iterator[Batch]:
    while True:
        piece = source.read(_PIECE)
        if not piece:
            return
        found = framer.feed(piece)
        if found:
            if found[-1][0] == _ERROR:
                yield from _failed(found, piece, False, with_bodies)
            yield _viewed(found, piece) if with_bodies else found
        if pass_over and framer.body_remaining >= _PASS_OVER_FROM:
            at = source.position
            passed = source.pass_over(framer.body_remaining)
            if passed:
                framer.skip(passed)
                yield [(PASSED, at, passed)]


def _viewed(found: Batch, piece: bytes) -> Batch:
    """The framer's events with body pieces as views of ``piece``."""
    view = memoryview(piece)
    return [(BODY, view[e[1] : e[2]]) if e[0] == BODY else e for e in found]


def _failed(found: Batch, piece: bytes, compressed: bool, with_bodies: bool) -> Iterator[Batch]:
    """The events before a failure, then the failure."""
    error = found.pop()
    if found:
        yield _viewed(found, piece) if with_bodies else found
    raise MalformedArchive(error[1], error[2], compressed)


def _range_reader(source: Source, start: int, end: int) -> Callable[[int], bytes]:
    position = start

    def read(size: int) -> bytes:
        nonlocal position
        data = source.read_at(position, min(size, end - position))
        position += len(data)
        return data

    return read
