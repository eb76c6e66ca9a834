"""The byte layouts of a ZIP file's records, and its extra fields.

Every record is little-endian. A size or an offset that does not fit its
32-bit field (a 16-bit one for a disk number or an entry count) is written as
all ones there, and the true value stands in the ZIP64 extra field (id 1) or
in the ZIP64 end record.
"""

from __future__ import annotations

import struct
from typing import NamedTuple

LOCAL_SIGNATURE = b"PK\x03\x04"
CENTRAL_SIGNATURE = b"PK\x01\x02"
END_SIGNATURE = b"PK\x05\x06"
ZIP64_END_SIGNATURE = b"PK\x06\x06"
LOCATOR_SIGNATURE = b"PK\x06\x07"
DESCRIPTOR_SIGNATURE = b"PK\x07\x08"

# signature, version needed, flags, method, time, date, CRC-32,
# compressed size, size, name length, extra length
LOCAL = struct.Struct("<4sHHHHHIIIHH")
# signature, version made by, version needed, flags, method, time, date,
# CRC-32, compressed size, size, name length, extra length, comment length,
# disk, internal attributes, external attributes, local header offset
CENTRAL = struct.Struct("<4sHHHHHHIIIHHHHHII")
# signature, disk, directory's disk, entries here, entries, directory size,
# directory offset, comment length
END = struct.Struct("<4sHHHHIIH")
# signature, disk of the ZIP64 end record, its offset, number of disks
LOCATOR = struct.Struct("<4sIQI")
# signature, size of the rest, version made by, version needed, disk,
# directory's disk, entries here, entries, directory size, directory offset
ZIP64_END = struct.Struct("<4sQHHIIQQQQ")

SATURATED = 0xFFFFFFFF  # "see the ZIP64 field"
SATURATED_COUNT = 0xFFFF
MAX_COMMENT = 0xFFFF
ZIP64_VERSION = 45  # version needed to extract an entry with ZIP64 fields
STORED, DEFLATED = 0, 8
ENCRYPTED = 1 << 0
HAS_DESCRIPTOR = 1 << 3
UTF8_NAME = 1 << 11
ZIP64_ID = 1

CENTRAL_OFFSET_AT = 42  # where a central directory record gives its local header's offset

ExtraField = tuple[int, bytes]  # (header id, data)


def parse_extra(data: bytes) -> list[ExtraField]:
    """The fields of an extra block. Fewer than four bytes at its end are
    padding that some writers leave, kept as a field of id -1."""
    fields: list[ExtraField] = []
    at = 0
    while len(data) - at >= 4:
        field_id, size = struct.unpack_from("<HH", data, at)
        if at + 4 + size > len(data):
            raise ValueError("a damaged extra field")
        fields.append((field_id, data[at + 4 : at + 4 + size]))
        at += 4 + size
    if at < len(data):
        fields.append((-1, data[at:]))
    return fields


def join_extra(fields: list[ExtraField] | tuple[ExtraField, ...]) -> bytes:
    return b"".join(
        data if field_id < 0 else struct.pack("<HH", field_id, len(data)) + data
        for field_id, data in fields
    )


class Zip64Values(NamedTuple):
    """What a record's fields hold once its ZIP64 extra field is read."""

    size: int
    compressed_size: int
    offset: int
    disk: int


def zip64_values(
    fields: list[ExtraField] | tuple[ExtraField, ...],
    size: int,
    compressed_size: int,
    offset: int,
    disk: int,
) -> Zip64Values:
    """The true size, compressed size, offset and disk: each field that is
    saturated is read, in that order, from the ZIP64 extra field."""
    data = next((data for field_id, data in fields if field_id == ZIP64_ID), None)
    wanted = [size == SATURATED, compressed_size == SATURATED, offset == SATURATED]
    if data is None:
        if any(wanted):
            raise ValueError("a saturated size or offset without a ZIP64 field")
        return Zip64Values(size, compressed_size, offset, disk)
    values = [size, compressed_size, offset]
    at = 0
    for index, saturated in enumerate(wanted):
        if saturated:
            if at + 8 > len(data):
                raise ValueError("a ZIP64 field too short for its values")
            (values[index],) = struct.unpack_from("<Q", data, at)
            at += 8
    if disk == SATURATED_COUNT:
        if at + 4 > len(data):
            raise ValueError("a ZIP64 field too short for its values")
        (disk,) = struct.unpack_from("<I", data, at)
    return Zip64Values(values[0], values[1], values[2], disk)


def zip64_field(*values: int) -> ExtraField:
    """A ZIP64 extra field holding ``values`` (8 bytes each)."""
    return (ZIP64_ID, b"".join(struct.pack("<Q", value) for value in values))


def without_zip64(fields: list[ExtraField] | tuple[ExtraField, ...]) -> list[ExtraField]:
    return [field for field in fields if field[0] != ZIP64_ID]


def fits(value: int) -> bool:
    """Whether ``value`` fits a 32-bit field (all ones means "see ZIP64")."""
    return value < SATURATED
