"""The public functions, for archive files and for WACZ packages alike.

A path that names a package (``*.wacz``, or any file that starts as a ZIP
does) is opened as one; ``warc`` then names the WARC inside it, and may be
left out when the package holds exactly one. Anything else goes to the
functions for archive files unchanged.
"""

from __future__ import annotations

import os
import stat
import tempfile
from collections.abc import Iterator
from typing import NamedTuple

from . import append as _append
from . import records as _records
from . import summary as _summary
from .append import AppendResult
from .errors import PackageError
from .output import STANDARD_STREAM, open_output
from .package_writer import signature_error, write_package
from .records import FileRecord
from .source import Input, display_name
from .summary import Summary
from .wacz import PACKAGE_SUFFIX, Package, WarcEntry, is_package, member_path
from .warc_range import warc_appender, warc_stream

# Room for the new manifest record and its gzip member, over the manifest store.
_RECORD_ROOM = 1 << 20


class PackageAppendResult(NamedTuple):
    """What ``append_manifest`` wrote into a package."""

    output: str  # the package written, or "-" for standard output
    warc: str  # the WARC's name inside it
    archive: AppendResult  # what was written into the WARC; offsets are inside the WARC
    warc_offset: int  # where the WARC's bytes start in the package
    warc_size: int
    warc_hash: str  # as datapackage.json now gives it: "sha256:<hex>"
    signature_dropped: bool
    # Where kept records moved (an old manifest record stood before them): the
    # first byte of the new WARC that differs from the old one. Index lines
    # whose range reaches it are stale. None when every kept record stays.
    moved_from: int | None


def list_warcs(package: str | os.PathLike[str]) -> list[WarcEntry]:
    """The WARCs inside a package: name, offset in the package, size."""
    with Package(os.fspath(package)) as opened:
        return list(opened.warcs)


def check(source: Input, *, inflater: str | None = None, warc: str | None = None) -> Summary:
    """``summary.check`` for an archive file, or for the WARC ``warc`` inside a
    package; its ``path`` is then ``package#name`` and its ``size`` the WARC's."""
    if not _is_package(source, warc):
        return _summary.check(source, inflater=inflater)
    with Package(_path(source)) as package, warc_stream(package, package.warc(warc)) as stream:
        return _summary.check(stream, inflater=inflater)


def read_manifest(
    source: Input, *, inflater: str | None = None, warc: str | None = None
) -> bytes | None:
    """The manifest store of an archive file, or of a WARC inside a package."""
    return check(source, inflater=inflater, warc=warc).manifest


def iter_records(
    source: Input, *, bodies: bool = False, inflater: str | None = None, warc: str | None = None
) -> Iterator[FileRecord]:
    """``records.iter_records`` for an archive file or a WARC inside a package
    (offsets inside the WARC)."""
    if not _is_package(source, warc):
        return _records.iter_records(source, bodies=bodies, inflater=inflater)
    return _package_records(_path(source), bodies, inflater, warc)


def _package_records(
    path: str, bodies: bool, inflater: str | None, warc: str | None
) -> Iterator[FileRecord]:
    with Package(path) as package, warc_stream(package, package.warc(warc)) as stream:
        yield from _records.iter_records(stream, bodies=bodies, inflater=inflater)


def append_manifest(
    source: Input,
    manifest: bytes,
    output: str | os.PathLike[str] | None = None,
    *,
    record_id: str | None = None,
    compress: bool | None = None,
    inflater: str | None = None,
    warc: str | None = None,
    drop_signature: bool = False,
) -> AppendResult | PackageAppendResult:
    """``append.append_manifest`` for an archive file; for a package, writes the
    package anew with ``manifest`` appended to its WARC ``warc`` (its
    compression kept) and returns a PackageAppendResult.

    A package whose ``datapackage-digest.json`` is signed is refused with
    PackageError unless ``drop_signature``, which writes it without the
    signature. Raises as the append to a file does; nothing is left behind on
    any failure, and a package replaced in place stays untouched.
    """
    if not _is_package(source, warc):
        return _append.append_manifest(
            source, manifest, output, record_id=record_id, compress=compress, inflater=inflater
        )
    if compress is not None:
        raise ValueError("compress does not apply to a package: its WARC keeps its compression")
    record_id = _append.checked_record_id(record_id)
    path = _path(source)
    target = path if output is None else os.fspath(output)
    with Package(path) as package:
        chosen = package.warc(warc)
        signed = package.digest is not None and package.digest.signed
        if signed and not drop_signature:
            raise _located(signature_error(), path)
        folder = _folder_of(target)
        results: list[AppendResult] = []
        write_warc = warc_appender(
            package,
            chosen,
            bytes(manifest),
            folder,
            record_id=record_id,
            inflater=inflater,
            results=results,
        )
        try:
            with open_output(target) as out:
                written = write_package(
                    package,
                    chosen,
                    out,
                    write_warc,
                    size_hint=chosen.size + len(manifest) + _RECORD_ROOM,
                    drop_signature=drop_signature,
                )
        except PackageError as exc:
            exc.path = exc.path or path
            raise
    result = results[0]._replace(output=member_path(target, chosen.name))
    kept_end = result.member_offset if result.member_offset is not None else result.manifest_offset
    moved = written.first_change
    return PackageAppendResult(
        output=target,
        warc=chosen.name,
        archive=result,
        warc_offset=written.warc_offset,
        warc_size=written.warc_size,
        warc_hash=written.warc_hash,
        signature_dropped=signed,
        moved_from=moved if moved is not None and moved < kept_end else None,
    )


def _is_package(source: Input, warc: str | None) -> bool:
    if is_package(source):
        return True
    if warc is not None:
        raise PackageError(
            f"not a WACZ package, so it holds no WARC named {warc}", display_name(source)
        )
    return False


def _path(source: Input) -> str:
    assert isinstance(source, (str, bytes, os.PathLike))
    return os.fsdecode(os.fspath(source))


def _located(error: PackageError, path: str) -> PackageError:
    error.path = path
    return error


def _folder_of(target: str) -> str:
    """Where the temporary files of an append to ``target`` go: beside it, so
    that copies between them stay on one file system. A package is read back
    as it is written, so it must be a regular file (or standard output)."""
    if target == STANDARD_STREAM:
        return tempfile.gettempdir()
    real = os.path.realpath(target)
    try:
        mode = os.stat(real).st_mode
    except FileNotFoundError:
        mode = stat.S_IFREG
    if not stat.S_ISREG(mode):
        raise PackageError("a package can be written only to a regular file", target)
    return os.path.dirname(real) or "."


def split_member(path: str) -> tuple[str, str] | None:
    """``(package, name)`` for a joined name ``package#archive/...`` (as audit
    rows give them), or None where ``path`` is a file itself."""
    at = path.rfind("#archive/")
    if at <= 0 or os.path.lexists(path) or not os.path.isfile(path[:at]):
        return None
    return path[:at], path[at + 1 :]


def package_targets(path: str, *, by_content: bool) -> list[tuple[str, int | None, str | None]]:
    """What an audit finds at ``path``: for a package, the joined name and size
    of each WARC inside it (or the package with why it cannot be read); for
    anything else, ``path`` alone. A package is a name ending in .wacz or,
    ``by_content``, a file that starts as a ZIP does."""
    if not (path.lower().endswith(PACKAGE_SUFFIX) or (by_content and is_package(path))):
        return [(path, None, None)]
    try:
        return [(member_path(path, w.name), w.size, None) for w in list_warcs(path)]
    except PackageError as exc:
        return [(path, None, exc.message)]
    except OSError as exc:
        return [(path, None, exc.strerror or str(exc))]


def member_size(package: str, warc: str) -> int:
    with Package(package) as opened:
        return opened.warc(warc).size


__all__ = [
    "PackageAppendResult",
    "append_manifest",
    "check",
    "is_package",
    "iter_records",
    "list_warcs",
    "read_manifest",
]
