"""WACZ packages: a ZIP whose WARC files stand stored (not deflated) under
``archive/`` (or a folder below it), described by ``datapackage.json`` (the
name, size and hash of every file) and ``datapackage-digest.json`` (the hash
of ``datapackage.json``, and maybe a signature over it).

A WARC inside a package is a byte range of the package file: its records are
read, and its CDXJ index lines point, by offsets inside that range. The
native pass reads it there and copies its kept members from there, nothing
staged (``warc_source``).

A package is checked as a package: ``datapackage.json`` against its hash in
``datapackage-digest.json`` when it is opened, and each WARC, by the pass that
reads it, against its CRC-32 in the ZIP directory and its size and hash in
``datapackage.json`` (_verify.py). What does not match raises PackageMismatch.
"""

from __future__ import annotations

import contextlib
import os
import re
import stat
import zlib
from collections.abc import Iterator
from typing import NamedTuple

from ..archive import STANDARD_STREAM, Input
from ..archive._identity import WatchedFile, unchanged
from ..archive._source import Source, display_name
from ..errors import PackageError, PackageMismatch
from ._datapackage import DATAPACKAGE, DIGEST, DataPackage, Digest
from ._verify import WarcCheck
from ._zip_directory import Directory, Entry, read_directory
from ._zip_fields import DEFLATED, ENCRYPTED, LOCAL_SIGNATURE, STORED

PACKAGE_SUFFIX = ".wacz"
_WARC_NAME = re.compile(r"archive/(?:[^/]+/)*[^/]+\.warc(\.gz)?", re.IGNORECASE)
# A datapackage.json larger than this is not read: with its deflated bytes
# and the inflater's buffer, a command then stays within 64 MiB of memory.
_JSON_LIMIT = 16 << 20


class WarcEntry(NamedTuple):
    """A WARC inside a package: its name, and where its bytes lie in the
    package file."""

    name: str
    offset: int
    size: int


def warc_path(package: str, warc: str) -> str:
    """How messages and audit rows name a WARC inside a package:
    ``crawl.wacz#archive/a.warc.gz``."""
    return f"{package}#{warc}"


def is_package(source: Input) -> bool:
    """Whether ``source`` names a WACZ package: a path (not "-") ending in
    ``.wacz``, or a file that starts as a ZIP does. Streams are never packages:
    a package is read by position."""
    if not isinstance(source, (str, bytes, os.PathLike)):
        return False
    path = os.fsdecode(os.fspath(source))
    if path == STANDARD_STREAM:
        return False
    if path.lower().endswith(PACKAGE_SUFFIX):
        return True
    try:
        # Only a regular file is looked into: opening a FIFO would block.
        if not stat.S_ISREG(os.stat(path).st_mode):
            return False
        with open(path, "rb") as stream:
            return stream.read(len(LOCAL_SIGNATURE)) == LOCAL_SIGNATURE
    except OSError:
        return False  # reading it as a WARC reports why


def wants_package(source: Input, warc: str | None) -> bool:
    """Whether ``source`` names a package; a WARC named inside anything else
    is refused."""
    if is_package(source):
        return True
    if warc is not None:
        raise PackageError(
            f"not a WACZ package, so it holds no WARC named {warc}", display_name(source)
        )
    return False


def package_path(source: Input) -> str:
    assert isinstance(source, (str, bytes, os.PathLike))
    return os.fsdecode(os.fspath(source))


class Package:
    """An open package: its ZIP directory, checked, its WARCs, and its two
    JSON files parsed. Raises PackageError (naming the package) when any of
    them does not hold together, or OSError. With ``fd``, the package is
    read from that open descriptor, which stays the caller's to close.

    ``watched`` is the package file as it stood when opened: what is read of
    its WARCs stands only if it did not change (archive/_identity.py)."""

    def __init__(self, path: str, *, fd: int | None = None) -> None:
        self.name = path
        self._owns_fd = fd is None
        self.fd = os.open(path, os.O_RDONLY | os.O_CLOEXEC) if fd is None else fd
        try:
            self.watched = WatchedFile.taken(self.fd, path)
            with unchanged(self.watched, at_end=False):  # a package still being written
                self.directory: Directory = read_directory(self.fd)
                self.entries = {entry.name: entry for entry in self.directory.entries}
                self.warcs = self._find_warcs()
                # Every WARC must be listed, with its hash and size.
                text = self._read_json(DATAPACKAGE)
                self.datapackage = DataPackage(text, [warc.name for warc in self.warcs])
                self.digest = Digest(self._read_json(DIGEST)) if DIGEST in self.entries else None
                if self.digest is not None and not self.digest.check(text):
                    raise PackageMismatch(
                        f"{DATAPACKAGE} does not match its {self.digest.algorithm} in {DIGEST}",
                        self.name,
                        "hash",
                    )
        except PackageError as exc:
            self.close()
            exc.path = self.name
            raise
        except BaseException:
            self.close()
            raise

    @property
    def signed(self) -> bool:
        """Whether ``datapackage-digest.json`` carries a signature."""
        return self.digest is not None and self.digest.signed

    def close(self) -> None:
        if self.fd >= 0:
            if self._owns_fd:
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
            if entry.size != entry.compressed_size:
                raise PackageError(
                    f"{entry.name} is stored, yet the ZIP directory gives it two sizes "
                    f"({entry.compressed_size} and {entry.size} bytes)"
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

    def check_of(self, warc: WarcEntry) -> WarcCheck:
        """The checks of ``warc`` against what the package says of it."""
        return WarcCheck(
            warc_path(self.name, warc.name),
            self.fd,
            warc.offset,
            warc.size,
            self.entries[warc.name].crc,
            self.datapackage.listed[warc.name],
        )

    def _read_json(self, name: str) -> bytes:
        entry = self.entries.get(name)
        if entry is None:
            raise PackageError(f"no {name} in the package")
        return read_small_entry(self.fd, entry)


def list_warcs(package: str | os.PathLike[str]) -> list[WarcEntry]:
    """The WARCs inside a package: name, offset in the package, size."""
    with Package(os.fspath(package)) as opened:
        return list(opened.warcs)


@contextlib.contextmanager
def opened_warc(source: Input | Package, warc: str | None) -> Iterator[Source]:
    """The WARC ``warc`` inside a package (a path, or a Package open already)
    as an archive to read."""
    if isinstance(source, Package):
        yield warc_source(source, source.warc(warc))
        return
    with Package(package_path(source)) as package:
        yield warc_source(package, package.warc(warc))


def warc_source(package: Package, warc: WarcEntry) -> Source:
    """The WARC as an archive to read, named ``package#name``, checked
    against what the package says of it by the pass that reads it."""
    name = warc_path(package.name, warc.name)
    return Source.of_file_descriptor(
        package.fd,
        name,
        warc.offset,
        warc.size,
        owned=False,
        watched=package.watched,
        range_check=package.check_of(warc),
    )


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
