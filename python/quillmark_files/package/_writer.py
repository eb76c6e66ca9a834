"""Writing a package anew with one WARC replaced.

Every other entry is copied byte for byte (local header, data, data
descriptor) with its compression method, by the output's range copy, so that
file systems that can share extents do. The new WARC is written stored by a
callback, straight into the output at the entry's data offset; its CRC-32 (for
the ZIP headers) and SHA-256 (for datapackage.json) come from the append
itself, whose digest thread reads the written bytes back right behind the
writer, from the page cache, while the pass goes on: they cost little more
time than the writing itself. A package that hashes with another algorithm
than SHA-256 has its WARC read back once more, after the append, by hashlib.
``datapackage.json`` gets the WARC's new hash and size, and
``datapackage-digest.json`` the new hash of ``datapackage.json``; these two
are written after all other entries, as packagers put them, whatever their
place before.

The WARC's local header is written before its data with a placeholder CRC-32
and sizes, and patched in place (pwrite) once they are known, rather than
followed by a data descriptor: readers that stream a ZIP without its central
directory cannot find where a stored entry with a data descriptor ends, and
a local header that carries its sizes is what every reader expects of a
stored entry. Where the WARC may reach 4 GiB, the header is written with a
ZIP64 field from the start, so that it never needs to grow.
"""

from __future__ import annotations

import hashlib
import os
import zlib
from typing import Callable, NamedTuple

from ..archive._append import WrittenArchive
from ..archive._output import Output
from ..errors import PackageError
from ._datapackage import DATAPACKAGE, DIGEST
from ._package import Package, WarcEntry
from ._zip_directory import Entry
from ._zip_fields import DEFLATED, STORED, fits
from ._zip_headers import central_record, end_records, local_header, relocated_central

_DIGEST_PIECE = 4 << 20  # bytes read back at a time, for another hash than SHA-256
_SHA256 = "sha256"
# Room left below 4 GiB when deciding whether the WARC's local header needs a
# ZIP64 field: the new WARC is the old one, give or take its manifest records
# and records compressed again.
_ZIP64_MARGIN = 64 << 20


# Writes the WARC at the descriptor's position.
WriteWarc = Callable[[Output], WrittenArchive]


class WrittenPackage(NamedTuple):
    """The new WARC as written into the package: where it lies, its hash as
    read back, and what its append reported."""

    warc_offset: int
    warc_size: int
    warc_hash: str  # "<algorithm>:<hex>", as datapackage.json now says
    warc: WrittenArchive


def write_package(
    package: Package,
    warc: WarcEntry,
    out: Output,
    write_warc: WriteWarc,
    *,
    size_hint: int,
    drop_signature: bool,
) -> WrittenPackage:
    """Writes ``package`` to ``out`` with the WARC ``warc`` made by ``write_warc``.
    ``size_hint`` is about how large the new WARC will be. A signed package
    keeps its signature, which the change breaks, unless ``drop_signature``:
    the caller refuses it first (see ``Package.signed``)."""
    datapackage = package.entries.get(DATAPACKAGE)
    assert datapackage is not None  # an open Package has one
    digest_entry = package.entries.get(DIGEST)
    digest = package.digest
    rewritten = {DATAPACKAGE, DIGEST}
    records: dict[str, bytes] = {}  # central directory records by entry name
    written: WrittenPackage | None = None
    for entry in package.directory.entries:
        if entry.name == warc.name:
            header_offset = out.position
            written, crc = _write_warc(package, warc, entry, out, write_warc, size_hint)
            records[entry.name] = central_record(
                entry,
                method=STORED,
                crc=crc,
                size=written.warc_size,
                compressed_size=written.warc_size,
                offset=header_offset,
            )
        elif entry.name not in rewritten:
            records[entry.name] = relocated_central(entry, out.position)
            out.copy(package.fd, entry.header_offset, entry.end - entry.header_offset)
    assert written is not None
    package_text = package.datapackage.updated(
        warc.name, written.warc_hash.partition(":")[2], written.warc_size
    )
    records[DATAPACKAGE] = _write_small(out, datapackage, package_text)
    if digest is not None and digest_entry is not None:
        digest_text = digest.updated(package_text, drop_signature)
        records[DIGEST] = _write_small(out, digest_entry, digest_text)
    directory_offset = out.position
    for entry in package.directory.entries:
        out.write(records[entry.name])
    directory_size = out.position - directory_offset
    out.write(
        end_records(
            len(records),
            directory_offset,
            directory_size,
            package.directory.comment,
            package.directory.zip64,
        )
    )
    out.flush()
    return written


def _write_warc(
    package: Package,
    warc: WarcEntry,
    entry: Entry,
    out: Output,
    write_warc: WriteWarc,
    size_hint: int,
) -> tuple[WrittenPackage, int]:
    """Writes the WARC's entry; returns what was written and its CRC-32."""
    zip64 = not fits(size_hint + _ZIP64_MARGIN)
    header = local_header(entry, method=STORED, crc=0, size=0, compressed_size=0, zip64=zip64)
    header_offset = out.position
    out.write(header)
    out.flush()
    start = out.position
    if os.lseek(out.fd, 0, os.SEEK_CUR) != start:
        raise OSError("the output's file position is not where its bytes end")
    algorithm = package.datapackage.listed[warc.name].algorithm  # known to hashlib
    hasher = None if algorithm == _SHA256 else hashlib.new(algorithm)
    written = write_warc(out)
    out.flush()
    size = written.size
    digests = written.digests
    assert digests is not None and digests.crc32 is not None and digests.sha256 is not None
    if os.lseek(out.fd, 0, os.SEEK_CUR) != start + size:
        raise OSError("the new WARC does not end where its writer says")
    crc = digests.crc32
    hexdigest = digests.sha256.hex() if hasher is None else _read_back(out.fd, start, size, hasher)
    if not zip64 and not fits(size):
        raise PackageError(
            f"{warc.name} grew past 4 GiB beyond its expected size; its local header has "
            "no room for ZIP64 sizes"
        )
    patched = local_header(
        entry, method=STORED, crc=crc, size=size, compressed_size=size, zip64=zip64
    )
    assert len(patched) == len(header)
    os.pwrite(out.fd, patched, header_offset)
    return WrittenPackage(start, size, f"{algorithm}:{hexdigest}", written), crc


def _write_small(out: Output, entry: Entry, data: bytes) -> bytes:
    """Writes a small entry anew (deflated, unless it was stored); returns its
    central directory record."""
    method = STORED if entry.method == STORED else DEFLATED
    if method == DEFLATED:
        deflater = zlib.compressobj(6, zlib.DEFLATED, -15)
        packed = deflater.compress(data) + deflater.flush()
    else:
        packed = data
    crc = zlib.crc32(data)
    offset = out.position
    out.write(
        local_header(
            entry, method=method, crc=crc, size=len(data), compressed_size=len(packed), zip64=False
        )
    )
    out.write(packed)
    return central_record(
        entry, method=method, crc=crc, size=len(data), compressed_size=len(packed), offset=offset
    )


def _read_back(fd: int, start: int, size: int, hasher: hashlib._Hash) -> str:
    """The hex digest of the ``size`` bytes at ``start`` of ``fd``."""
    done = 0
    while done < size:
        piece = os.pread(fd, min(_DIGEST_PIECE, size - done), start + done)
        if not piece:
            raise OSError("the new WARC became shorter while it was read back")
        hasher.update(piece)
        done += len(piece)
    return hasher.hexdigest()
