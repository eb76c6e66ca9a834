"""Gzip handling: crawlers write one gzip member per WARC record.

Reading accepts any number of members (a single-member file included); writing
puts each record into a member of its own, so that tools can seek to a record.
"""

from __future__ import annotations

import zlib
from collections.abc import Iterable, Iterator

GZIP_MAGIC = b"\x1f\x8b"
# Decompression is fed in slices of this size so that the copy that zlib makes
# of the unused input at the end of each member stays small: otherwise many
# small members would make the walk quadratic.
_FEED_SIZE = 1 << 16
_GZIP_WBITS = 16 + zlib.MAX_WBITS


def is_gzip(data: bytes) -> bool:
    return data[:2] == GZIP_MAGIC


def decompress_members(data: bytes, members: list[tuple[int, int]] | None = None) -> bytes:
    """The concatenated contents of every gzip member in ``data``.

    When ``members`` is given, it receives one (compressed offset, uncompressed
    offset) pair for the start of each member, then one pair for the end.
    Raises ValueError with a short reason for corrupt or truncated input, or
    for trailing bytes that are not another member (zero padding is allowed).
    """
    view = memoryview(data)
    parts = []
    produced = 0
    pos = 0
    total = len(data)
    while pos < total:
        if view[pos : pos + 2] != GZIP_MAGIC:
            if not any(view[pos:]):
                break  # zero padding after the last member, as some writers leave
            raise ValueError(f"unexpected data after gzip member at byte {pos}")
        member_start = pos
        if members is not None:
            members.append((member_start, produced))
        inflater = zlib.decompressobj(_GZIP_WBITS)
        while not inflater.eof:
            if pos >= total:
                raise ValueError(f"gzip member at byte {member_start} is truncated")
            fed = view[pos : pos + _FEED_SIZE]
            try:
                parts.append(inflater.decompress(fed))
            except zlib.error as exc:
                raise ValueError(f"gzip member at byte {member_start} is corrupt ({exc})") from None
            produced += len(parts[-1])
            pos += len(fed) - len(inflater.unused_data)
        parts.append(inflater.flush())
        produced += len(parts[-1])
    if members is not None:
        members.append((pos, produced))
    return b"".join(parts)


def compress_members(data: bytes, cut_points: Iterable[int], level: int = 6) -> Iterator[bytes]:
    """Compressed ``data``, one gzip member per range between cut points.

    ``cut_points`` are ascending positions inside ``data``; position 0 and the
    end are implied. Every byte of ``data`` lands in exactly one member, so the
    members decompress back to ``data`` exactly.
    """
    view = memoryview(data)
    start = 0
    for cut in [*cut_points, len(data)]:
        if cut <= start:
            continue
        deflater = zlib.compressobj(level, zlib.DEFLATED, _GZIP_WBITS)
        yield deflater.compress(view[start:cut]) + deflater.flush()
        start = cut
