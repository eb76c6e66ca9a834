"""WACZ packages: a ZIP whose WARC files stand stored (not deflated) under
``archive/``, described by ``datapackage.json`` (the name, size and hash of
every file) and ``datapackage-digest.json`` (the hash of ``datapackage.json``,
and maybe a signature over it).

A WARC inside a package is a byte range of the package file: its records are
read, and its CDXJ index lines point, by offsets inside that range.
"""

from __future__ import annotations

import os
import re
import zlib

from .datapackage import DataPackage, Digest
from .errors import PackageError
from .package_names import PACKAGE_SUFFIX, WarcEntry, is_package, member_path
from .zip_directory import Directory, Entry, read_directory
from .zip_fields import DEFLATED, ENCRYPTED, STORED

DATAPACKAGE = "datapackage.json"
DIGEST = "datapackage-digest.json"
_WARC_NAME = re.compile(r"archive/[^/]+\.warc(\.gz)?", re.IGNORECASE)
_JSON_LIMIT = 64 << 20  # a datapackage.json larger than this is not read


class Package:
    """An open package: its ZIP directory, checked, and its WARCs."""

    def __init__(self, path: str) -> None:
        self.name = path
        self.fd = os.open(path, os.O_RDONLY | getattr(os, "O_CLOEXEC", 0))
        try:
            self.directory: Directory = read_directory(self.fd)
            self.entries = {entry.name: entry for entry in self.directory.entries}
            self.warcs = self._find_warcs()
            self.datapackage = DataPackage(self._read_json(DATAPACKAGE))
            self.digest = Digest(self._read_json(DIGEST)) if DIGEST in self.entries else None
            for warc in self.warcs:
                self.datapackage.resource(warc.name)  # every WARC must be listed
        except PackageError as exc:
            self.close()
            exc.path = self.name
            raise
        except BaseException:
            self.close()
            raise

    def close(self) -> None:
        if self.fd >= 0:
            os.close(self.fd)
            self.fd = -1

    def __enter__(self) -> Package:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def _find_warcs(self) -> list[WarcEntry]:
        warcs = []
        for entry in self.directory.entries:
            if not _WARC_NAME.fullmatch(entry.name):
                continue
            if entry.method != STORED or entry.flags & ENCRYPTED:
                how = "encrypted" if entry.flags & ENCRYPTED else _method_name(entry.method)
                raise PackageError(
                    f"{entry.name} is {how}; a WARC in a package must be stored, "
                    "so that its records can be read by byte range"
                )
            warcs.append(WarcEntry(entry.name, entry.data_offset, entry.compressed_size))
        if not warcs:
            raise PackageError("no WARC file under archive/ in the package")
        return warcs

    def warc(self, name: str | None) -> WarcEntry:
        """The WARC named ``name`` (its path in the package, or its file name
        alone where that is unique); with None, the only one."""
        if name is None:
            if len(self.warcs) == 1:
                return self.warcs[0]
            names = ", ".join(warc.name for warc in self.warcs)
            raise PackageError(
                f"the package holds {len(self.warcs)} WARCs; name one with --warc "
                f"(warc= in Python): {names}",
                self.name,
            )
        found = [w for w in self.warcs if name in (w.name, w.name.rpartition("/")[2])]
        if len(found) == 1:
            return found[0]
        names = ", ".join(warc.name for warc in self.warcs)
        raise PackageError(f"no WARC named {name} in the package; it holds: {names}", self.name)

    def entry(self, name: str) -> Entry | None:
        return self.entries.get(name)

    def _read_json(self, name: str) -> bytes:
        entry = self.entries.get(name)
        if entry is None:
            raise PackageError(f"no {name} in the package")
        return read_small_entry(self.fd, entry)


def read_small_entry(fd: int, entry: Entry) -> bytes:
    """The content of a small stored or deflated entry, its CRC-32 checked."""
    if entry.flags & ENCRYPTED or entry.method not in (STORED, DEFLATED):
        raise PackageError(f"{entry.name} is {_method_name(entry.method)}, which is not read here")
    if entry.size > _JSON_LIMIT or entry.compressed_size > _JSON_LIMIT:
        raise PackageError(f"{entry.name} is too large ({entry.size} bytes)")
    data = os.pread(fd, entry.compressed_size, entry.data_offset)
    if len(data) < entry.compressed_size:
        raise PackageError(f"{entry.name}: truncated ZIP file")
    if entry.method == DEFLATED:
        try:
            inflater = zlib.decompressobj(-15)
            data = inflater.decompress(data, entry.size + 1)
            if not inflater.eof:
                raise zlib.error("incomplete deflate data")
        except zlib.error:
            raise PackageError(f"{entry.name}: its deflated data is damaged") from None
    if len(data) != entry.size or zlib.crc32(data) != entry.crc:
        raise PackageError(f"{entry.name}: its data does not match its CRC-32")
    return data


def _method_name(method: int) -> str:
    names = {STORED: "stored", DEFLATED: "deflated", 12: "compressed with bzip2", 14: "LZMA"}
    return names.get(method, f"compressed with method {method}")


__all__ = ["PACKAGE_SUFFIX", "Package", "WarcEntry", "is_package", "member_path"]
