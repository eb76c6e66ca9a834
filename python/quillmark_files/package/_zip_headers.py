"""The headers of a ZIP file being written: an entry's local header and
central directory record made from those it had, and the end records.

A rewritten entry keeps everything of its old headers (name, times,
attributes, comment, extra fields) but its method, CRC-32, sizes and offset;
ZIP64 fields are added where a value no longer fits 32 bits.
"""

from __future__ import annotations

from ._zip_directory import Entry
from ._zip_fields import (
    CENTRAL,
    CENTRAL_OFFSET_AT,
    CENTRAL_SIGNATURE,
    END,
    END_SIGNATURE,
    HAS_DESCRIPTOR,
    LOCAL,
    LOCAL_SIGNATURE,
    LOCATOR,
    LOCATOR_SIGNATURE,
    SATURATED,
    SATURATED_COUNT,
    ZIP64_END,
    ZIP64_END_SIGNATURE,
    ZIP64_VERSION,
    fits,
    join_extra,
    parse_extra,
    without_zip64,
    zip64_field,
)

_DEFLATE_VERSION = 20


def local_header(
    entry: Entry, *, method: int, crc: int, size: int, compressed_size: int, zip64: bool
) -> bytes:
    """The local header of ``entry`` rewritten. With ``zip64`` its sizes stand in
    a ZIP64 field (both, as a local header must give them), and the header
    then has the same length whatever the sizes turn out to be."""
    fields = LOCAL.unpack_from(entry.local)
    name_end = LOCAL.size + fields[9]
    extra = without_zip64(parse_extra(entry.local[name_end:]))
    version = max(fields[1], _DEFLATE_VERSION if method else 0)
    if zip64:
        extra = [zip64_field(size, compressed_size), *extra]
        version = max(version, ZIP64_VERSION)
        size_field = compressed_field = SATURATED
    else:
        size_field, compressed_field = size, compressed_size
    extra_bytes = join_extra(extra)
    return (
        LOCAL.pack(
            LOCAL_SIGNATURE,
            version,
            fields[2] & ~HAS_DESCRIPTOR,
            method,
            fields[4],
            fields[5],
            crc,
            compressed_field,
            size_field,
            fields[9],
            len(extra_bytes),
        )
        + entry.raw_name
        + extra_bytes
    )


def central_record(
    entry: Entry,
    *,
    method: int,
    crc: int,
    size: int,
    compressed_size: int,
    offset: int,
    flags_cleared: int = HAS_DESCRIPTOR,
) -> bytes:
    """The central directory record of ``entry`` rewritten (without its data
    descriptor flag, unless ``flags_cleared`` says otherwise)."""
    fields = CENTRAL.unpack_from(entry.central)
    name_length, extra_length = fields[10], fields[11]
    comment = entry.central[CENTRAL.size + name_length + extra_length :]
    # A value goes to the ZIP64 field when it does not fit, or when the old
    # record already had it there (kept as it was written).
    big_sizes = not (fits(size) and fits(compressed_size)) or SATURATED in fields[8:10]
    big_offset = not fits(offset) or fields[16] == SATURATED
    values = [size, compressed_size] if big_sizes else []
    if big_offset:
        values.append(offset)
    extra = without_zip64(entry.central_extra)
    version = max(fields[2], _DEFLATE_VERSION if method else 0)
    if values:
        extra = [zip64_field(*values), *extra]
        version = max(version, ZIP64_VERSION)
    extra_bytes = join_extra(extra)
    return (
        CENTRAL.pack(
            CENTRAL_SIGNATURE,
            fields[1],
            version,
            fields[3] & ~flags_cleared,
            method,
            fields[5],
            fields[6],
            crc,
            SATURATED if big_sizes else compressed_size,
            SATURATED if big_sizes else size,
            name_length,
            len(extra_bytes),
            len(comment),
            fields[13] if fields[13] != SATURATED_COUNT else 0,
            fields[14],
            fields[15],
            SATURATED if big_offset else offset,
        )
        + entry.raw_name
        + extra_bytes
        + comment
    )


def relocated_central(entry: Entry, offset: int) -> bytes:
    """The central directory record of an entry copied unchanged to ``offset``:
    the old record with only its offset changed, byte for byte where the
    offset fits where it stood."""
    old_fields = CENTRAL.unpack_from(entry.central)
    if fits(offset) and old_fields[16] != SATURATED:
        record = bytearray(entry.central)
        record[CENTRAL_OFFSET_AT : CENTRAL_OFFSET_AT + 4] = offset.to_bytes(4, "little")
        return bytes(record)
    return central_record(
        entry,
        method=entry.method,
        crc=entry.crc,
        size=entry.size,
        compressed_size=entry.compressed_size,
        offset=offset,
        flags_cleared=0,
    )


def end_records(
    count: int, directory_offset: int, directory_size: int, comment: bytes, zip64: bool
) -> bytes:
    """The end of central directory record, after the ZIP64 end record and
    its locator where ``zip64`` asks for them or a value does not fit."""
    zip64 = zip64 or count >= SATURATED_COUNT or not fits(directory_offset + directory_size)
    parts = []
    if zip64:
        zip64_at = directory_offset + directory_size
        parts.append(
            ZIP64_END.pack(
                ZIP64_END_SIGNATURE,
                ZIP64_END.size - 12,
                ZIP64_VERSION,
                ZIP64_VERSION,
                0,
                0,
                count,
                count,
                directory_size,
                directory_offset,
            )
        )
        parts.append(LOCATOR.pack(LOCATOR_SIGNATURE, 0, zip64_at, 1))
    parts.append(
        END.pack(
            END_SIGNATURE,
            0,
            0,
            min(count, SATURATED_COUNT),
            min(count, SATURATED_COUNT),
            min(directory_size, SATURATED),
            min(directory_offset, SATURATED),
            len(comment),
        )
        + comment
    )
    return b"".join(parts)
