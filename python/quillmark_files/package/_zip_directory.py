"""Reading the structure of a ZIP file: its end records, its central
directory, and every entry's local header checked against it.

The central directory is the truth about a ZIP file; each local header and
data descriptor must agree with it, or the file is refused. Entries are
neither inflated nor read here: an entry is where its bytes lie.
"""

from __future__ import annotations

import os
import struct
from typing import NamedTuple

from ..errors import PackageError
from ._zip_fields import (
    CENTRAL,
    CENTRAL_SIGNATURE,
    DESCRIPTOR_SIGNATURE,
    ENCRYPTED,
    END,
    END_SIGNATURE,
    HAS_DESCRIPTOR,
    LOCAL,
    LOCAL_SIGNATURE,
    LOCATOR,
    LOCATOR_SIGNATURE,
    MAX_COMMENT,
    SATURATED,
    UTF8_NAME,
    ZIP64_END,
    ZIP64_END_SIGNATURE,
    ExtraField,
    parse_extra,
    zip64_values,
)

_NARROW = struct.Struct("<III")  # CRC-32, compressed size, size
_WIDE = struct.Struct("<IQQ")


class Entry(NamedTuple):
    """One file of the ZIP as its central directory records it, with where
    its local header, data and data descriptor lie."""

    name: str
    raw_name: bytes
    central: bytes  # the central directory record, byte for byte
    flags: int
    method: int
    crc: int
    compressed_size: int
    size: int
    header_offset: int  # the local header
    data_offset: int
    end: int  # just past the data descriptor, or the data where there is none
    local: bytes  # the local header, byte for byte
    central_extra: tuple[ExtraField, ...]


class Directory(NamedTuple):
    """The entries of a ZIP file in central directory order."""

    entries: tuple[Entry, ...]
    comment: bytes  # the end record's comment
    zip64: bool  # the file has ZIP64 end records


# Offsets a file can have: the ZIP's fields may give any 64-bit value, and
# one past these is past the end of every file.
_FILE_OFFSETS = 1 << 63


def _read_exactly(fd: int, size: int, offset: int) -> bytes:
    """Up to ``size`` bytes at ``offset``: fewer where the file ends first."""
    if not 0 <= offset < _FILE_OFFSETS:
        return b""
    parts = []
    while size > 0:
        data = os.pread(fd, size, offset)
        if not data:
            break
        parts.append(data)
        offset += len(data)
        size -= len(data)
    return b"".join(parts)


def read_directory(fd: int) -> Directory:
    """The directory of the ZIP file open as ``fd``; PackageError when it is
    not a ZIP file or its structure does not hold together."""
    size = os.fstat(fd).st_size
    end_at, end_fields, comment = _find_end(fd, size)
    disk, cd_disk, count_here, count, cd_size, cd_offset = end_fields[:6]
    structure_end = end_at  # where the central directory must end
    zip64 = False
    locator_at = end_at - LOCATOR.size
    if locator_at >= 0 and _read_exactly(fd, 4, locator_at) == LOCATOR_SIGNATURE:
        zip64 = True
        _, zip64_disk, zip64_at, disks = LOCATOR.unpack(_read_exactly(fd, LOCATOR.size, locator_at))
        if zip64_disk != 0 or disks > 1:
            raise PackageError("a ZIP file split over several disks is not supported")
        record = _read_exactly(fd, ZIP64_END.size, zip64_at)
        if len(record) < ZIP64_END.size or not record.startswith(ZIP64_END_SIGNATURE):
            raise PackageError("the ZIP64 end of central directory record is missing")
        fields = ZIP64_END.unpack(record)
        disk, cd_disk, count_here, count, cd_size, cd_offset = fields[4:10]
        if zip64_at + 12 + fields[1] != locator_at:
            raise PackageError("the ZIP64 end of central directory record is damaged")
        structure_end = zip64_at
    elif SATURATED in (cd_size, cd_offset) or count == 0xFFFF:
        raise PackageError("the ZIP64 end of central directory locator is missing")
    if disk != 0 or cd_disk != 0 or count_here != count:
        raise PackageError("a ZIP file split over several disks is not supported")
    if cd_offset + cd_size != structure_end:
        raise PackageError(
            "the central directory does not end where the end record says "
            "(truncated, or data before the ZIP)"
        )
    central = _read_exactly(fd, cd_size, cd_offset)
    entries = _entries(fd, central, count, cd_offset)
    return Directory(entries, comment, zip64)


def _find_end(fd: int, size: int) -> tuple[int, tuple[int, ...], bytes]:
    """The end of central directory record: where it starts, its fields
    (disk, central directory disk, entries here, entries, directory size,
    directory offset) and its comment."""
    if size < END.size:
        raise PackageError("not a ZIP file (too short)")
    tail_start = max(0, size - END.size - MAX_COMMENT)
    tail = _read_exactly(fd, size - tail_start, tail_start)
    at = len(tail) - END.size
    while True:
        at = tail.rfind(END_SIGNATURE, 0, at + 4)
        if at < 0:
            truncated = _read_exactly(fd, 4, 0) == LOCAL_SIGNATURE
            raise PackageError(
                "truncated ZIP file: no end of central directory record"
                if truncated
                else "not a ZIP file: no end of central directory record"
            )
        fields = END.unpack_from(tail, at)
        comment_length = fields[7]
        # The record is the last thing in the file: its comment runs to the end.
        if at + END.size + comment_length == len(tail):
            comment = tail[at + END.size :]
            return tail_start + at, fields[1:7], comment
        at -= 1


def _entries(fd: int, central: bytes, count: int, cd_offset: int) -> tuple[Entry, ...]:
    entries: list[Entry] = []
    at = 0
    names: set[bytes] = set()
    for _ in range(count):
        if len(central) - at < CENTRAL.size or central[at : at + 4] != CENTRAL_SIGNATURE:
            raise PackageError(
                f"damaged central directory: no record at byte {cd_offset + at} "
                f"(entry {len(entries) + 1} of {count})"
            )
        fields = CENTRAL.unpack_from(central, at)
        name_length, extra_length, comment_length = fields[10:13]
        record_end = at + CENTRAL.size + name_length + extra_length + comment_length
        if record_end > len(central):
            raise PackageError("damaged central directory: a record runs past its end")
        raw_name = central[at + CENTRAL.size : at + CENTRAL.size + name_length]
        extra_bytes = central[
            at + CENTRAL.size + name_length : at + CENTRAL.size + name_length + extra_length
        ]
        if raw_name in names:
            raise PackageError(f"the ZIP lists {_decode(raw_name, fields[3])} twice")
        names.add(raw_name)
        entries.append(_entry(fd, central[at:record_end], fields, raw_name, extra_bytes))
        at = record_end
    if at != len(central):
        raise PackageError("damaged central directory: it holds more than its entries")
    _check_no_overlap(entries, cd_offset)
    return tuple(entries)


def _decode(raw_name: bytes, flags: int) -> str:
    # Names are UTF-8 when flagged so, else the original IBM PC code page.
    try:
        return raw_name.decode("utf-8" if flags & UTF8_NAME else "cp437")
    except UnicodeDecodeError:
        raise PackageError(f"an entry's name is not valid UTF-8: {raw_name!r}") from None


def _entry(
    fd: int, central: bytes, fields: tuple[int, ...], raw_name: bytes, extra_bytes: bytes
) -> Entry:
    flags, method = fields[3], fields[4]
    crc, compressed_size, size = fields[7], fields[8], fields[9]
    disk, header_offset = fields[13], fields[16]
    name = _decode(raw_name, flags)
    try:
        extra = parse_extra(extra_bytes)
        size, compressed_size, header_offset, disk = zip64_values(
            extra, size, compressed_size, header_offset, disk
        )
    except ValueError as exc:
        raise PackageError(f"{name}: {exc} in the central directory") from None
    if disk != 0:
        raise PackageError("a ZIP file split over several disks is not supported")
    local = _read_exactly(fd, LOCAL.size, header_offset)
    if len(local) < LOCAL.size or not local.startswith(LOCAL_SIGNATURE):
        raise PackageError(f"{name}: no local header where the central directory puts it")
    local_fields = LOCAL.unpack(local)
    local_name_length, local_extra_length = local_fields[9], local_fields[10]
    data_offset = header_offset + LOCAL.size + local_name_length + local_extra_length
    header = _read_exactly(fd, data_offset - header_offset, header_offset)
    if len(header) < data_offset - header_offset:
        raise PackageError(f"{name}: truncated ZIP file: the local header is cut off")
    local_name = header[LOCAL.size : LOCAL.size + local_name_length]
    if local_name != raw_name:
        raise PackageError(f"{name}: the local header names another file ({local_name!r})")
    if local_fields[3] != method:
        raise PackageError(f"{name}: the local header and the central directory disagree")
    if (local_fields[2] ^ flags) & (HAS_DESCRIPTOR | ENCRYPTED):
        raise PackageError(f"{name}: the local header and the central directory disagree")
    try:
        local_extra = parse_extra(header[LOCAL.size + local_name_length :])
    except ValueError as exc:
        raise PackageError(f"{name}: {exc} in the local header") from None
    zip64_in_local = any(field_id == 1 for field_id, _ in local_extra)
    end = data_offset + compressed_size
    if flags & HAS_DESCRIPTOR:
        end = _check_descriptor(fd, name, end, crc, compressed_size, size, zip64_in_local)
    else:
        local_size, local_compressed = local_fields[8], local_fields[7]
        try:
            local_size, local_compressed, _, _ = zip64_values(
                local_extra, local_size, local_compressed, 0, 0
            )
        except ValueError as exc:
            raise PackageError(f"{name}: {exc} in the local header") from None
        if (local_fields[6], local_compressed, local_size) != (crc, compressed_size, size):
            raise PackageError(
                f"{name}: the local header's CRC or sizes disagree with the central directory"
            )
    return Entry(
        name=name,
        raw_name=raw_name,
        central=central,
        flags=flags,
        method=method,
        crc=crc,
        compressed_size=compressed_size,
        size=size,
        header_offset=header_offset,
        data_offset=data_offset,
        end=end,
        local=header,
        central_extra=tuple(parse_extra(extra_bytes)),
    )


def _check_descriptor(
    fd: int, name: str, at: int, crc: int, compressed_size: int, size: int, wide: bool
) -> int:
    """Checks the data descriptor after an entry's data; returns where it ends.
    Its signature is optional, and its sizes are 8 bytes wide for a ZIP64
    entry (some writers make them so only past 4 GiB: both are tried)."""
    found = _read_exactly(fd, 28, at)
    start = 4 if found.startswith(DESCRIPTOR_SIGNATURE) else 0
    for layout in (_WIDE, _NARROW) if wide else (_NARROW, _WIDE):
        if len(found) >= start + layout.size and layout.unpack_from(found, start) == (
            crc,
            compressed_size,
            size,
        ):
            return at + start + layout.size
    if len(found) < start + _NARROW.size:
        raise PackageError(f"{name}: truncated ZIP file: the data descriptor is cut off")
    raise PackageError(f"{name}: the data descriptor disagrees with the central directory")


def _check_no_overlap(entries: list[Entry], cd_offset: int) -> None:
    previous_end, previous = 0, ""
    for entry in sorted(entries, key=lambda e: e.header_offset):
        if entry.header_offset < previous_end:
            raise PackageError(f"{entry.name} overlaps {previous} in the ZIP")
        previous_end, previous = entry.end, entry.name
    if previous_end > cd_offset:
        raise PackageError(
            f"{previous}: truncated ZIP file, or a wrong central directory: "
            "its data runs into the central directory"
        )
