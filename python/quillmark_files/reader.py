"""The events of one pass over an archive file.

The core's stream framer (the private extension ``_framer``) frames the
uncompressed bytes and reaches the verdict; this module feeds it, from a plain
file or through the gzip members of a compressed one, and merges what both
report into one stream of event tuples, in file order:

    (HEADER, offset, header_length, body_size, is_manifest, header_bytes, headers)
    (BODY, memoryview of a body piece)
    (PASSED, file_offset, size)    body bytes passed over without being read
    (END, offset, length, separator)
    (MEMBER_START, ...), (MEMBER_END, ..., open_record)   for gzip input, see members.py

Offsets are positions in the uncompressed archive. A malformed archive ends
the stream with MalformedArchive, after the events of the records before it.
"""

from __future__ import annotations

from collections.abc import Iterator
from typing import Any

from . import _framer
from .errors import MalformedArchive
from .gzip_codecs import Codec
from .members import DATA, MEMBER_END, MEMBER_START, inflate_members
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

__all__ = ["HEADER", "BODY", "PASSED", "END", "MEMBER_START", "MEMBER_END", "events"]


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
) -> Iterator[tuple[Any, ...]]:
    """Events of ``source``: gzip-compressed when ``codec`` is given, else plain.

    ``pass_over`` lets a plain regular file pass over large bodies (PASSED
    events stand for them). ``compressed_range`` limits a gzip pass to the
    members in that range of the file, whose content starts at uncompressed
    position ``framer_start``.
    """
    framer = _framer.Framer(framer_start, headers=headers, header_bytes=header_bytes, bodies=bodies)
    compressed = codec is not None
    if not compressed:
        yield from _plain(source, framer, pass_over and source.regular)
    else:
        if compressed_range is None:
            read = source.read
            start, padding = 0, True
        else:
            read = _range_reader(source, *compressed_range)
            start, padding = compressed_range[0], False
        for item in inflate_members(read, codec, start, framer_start, padding):
            kind = item[0]
            if kind == DATA:
                piece = item[1]
                yield from _framed(framer.feed(piece), piece, compressed)
            elif kind == MEMBER_END:
                yield (*item, framer.open_record)
            else:
                yield item
    yield from _framed(framer.finish(), b"", compressed)


def _plain(source: Source, framer: Any, pass_over: bool) -> Iterator[tuple[Any, ...]]:
    while True:
        piece = source.read(_PIECE)
        if not piece:
            return
        yield from _framed(framer.feed(piece), piece, False)
        if pass_over and framer.body_remaining >= _PASS_OVER_FROM:
            at = source.position
            passed = source.pass_over(framer.body_remaining)
            if passed:
                framer.skip(passed)
                yield (PASSED, at, passed)


def _framed(
    found: list[tuple[Any, ...]], piece: bytes, compressed: bool
) -> Iterator[tuple[Any, ...]]:
    for event in found:
        kind = event[0]
        if kind == BODY:
            yield (BODY, memoryview(piece)[event[1] : event[2]])
        elif kind == _ERROR:
            raise MalformedArchive(event[1], event[2], compressed)
        else:
            yield event


def _range_reader(source: Source, start: int, end: int):
    position = start

    def read(size: int) -> bytes:
        nonlocal position
        data = source.read_at(position, min(size, end - position))
        position += len(data)
        return data

    return read
