"""Walking the gzip members of a file, inflating each.

Crawlers write one gzip member per record, so a member's compressed range is
also the record's, and tools seek to it. The walk reports where each member
starts and ends in the file and in the uncompressed data, and hands on the
uncompressed bytes in pieces of bounded size.
"""

from __future__ import annotations

from collections.abc import Callable, Iterator
from typing import Union

from .errors import CompressionError
from .gzip_codecs import Codec
from .source import GZIP_MAGIC

# Event kinds, apart from the framer's (0 to 3). A member starts where the
# one before it ends (the first where the walk starts), so only ends are told.
DATA = 11  # (DATA, uncompressed bytes)
# (MEMBER_END, compressed_start, compressed_end, uncompressed_start, uncompressed_end)
MEMBER_END = 12

MemberEvent = Union[tuple[int, bytes], tuple[int, int, int, int, int]]

_BLOCK = 1 << 20  # compressed bytes read at a time
# Uncompressed bytes handed on at a time. Each call of a decompressor makes a
# new object of up to this size; at 1 MiB, ISA-L's takes the whole size at
# once and the allocator hands it fresh pages each time, a fifth slower.
_MAX_OUT = 256 << 10
# A decompressor copies what follows the end of its member out of the input it
# was given, so members are fed in slices that start small and double up to a
# size that stays in the processor's caches. A small member then costs a small
# copy, a large one few calls (64 KiB measured best of 16 KiB to 1 MiB, by a
# fifth over 1 MiB, on a crawl of bodies up to 8 MiB).
_FIRST_SLICE = 4096
_MAX_SLICE = 64 << 10


def inflate_members(
    read: Callable[[int], bytes],
    codec: Codec,
    compressed_start: int = 0,
    uncompressed_start: int = 0,
    padding_allowed: bool = True,
) -> Iterator[MemberEvent]:
    """The members of the gzip data that ``read(n)`` returns in order.

    Raises CompressionError for a truncated or corrupt member, or for data
    after a member that is not another member; zero bytes after the last
    member are padding (some writers leave it) when ``padding_allowed``.
    """
    block = read(_BLOCK)
    block_start = compressed_start  # file position of block[0]
    at = 0  # position in block
    produced = uncompressed_start
    error = codec.error
    while True:
        if len(block) - at < len(GZIP_MAGIC):
            block = block[at:] + read(_BLOCK)
            block_start += at
            at = 0
            if not block:
                return
        member_start = block_start + at
        if block[at : at + len(GZIP_MAGIC)] != GZIP_MAGIC:
            if padding_allowed and _rest_is_zero(block, at, read):
                return
            raise CompressionError(
                f"unexpected data after gzip member at byte {member_start}", member_start
            )
        member_produced = produced
        inflater = codec.decompressor()
        size = _FIRST_SLICE
        view = memoryview(block)
        fed: bytes | memoryview = b""
        try:
            while not inflater.eof:
                if inflater.needs_input:
                    if at == len(block):
                        block_start += len(block)
                        block = read(_BLOCK)
                        at = 0
                        view = memoryview(block)
                        if not block:
                            raise CompressionError(
                                f"gzip member at byte {member_start} is truncated", member_start
                            )
                    fed = view[at : at + size]
                    at += len(fed)
                    size = min(2 * size, _MAX_SLICE)
                else:
                    fed = b""
                out = inflater.decompress(fed, _MAX_OUT)
                if out:
                    produced += len(out)
                    yield (DATA, out)
        except error as exc:
            raise CompressionError(
                f"gzip member at byte {member_start} is corrupt ({exc})", member_start
            ) from None
        # What follows the member's end came from the last slice, which lies
        # in the current block: the decompressor asks for more only once it
        # has used all it was given.
        at -= len(inflater.unused_data)
        yield (MEMBER_END, member_start, block_start + at, member_produced, produced)


def _rest_is_zero(block: bytes, at: int, read: Callable[[int], bytes]) -> bool:
    rest = memoryview(block)[at:]
    while rest:
        if rest.tobytes().lstrip(b"\0"):
            return False
        rest = memoryview(read(_BLOCK))
    return True
