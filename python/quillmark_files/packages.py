"""The public functions, for archive files and for WACZ packages alike.

A path that names a package (``*.wacz``, or any file that starts as a ZIP
does) is opened as one; ``warc`` then names the WARC inside it, and may be
left out when the package holds exactly one. Anything else goes to the
functions for archive files unchanged.
"""

from __future__ import annotations

import os
import stat
from collections.abc import Iterator
from typing import NamedTuple

from . import append as _append
from . import records as _records
from . import summary as _summary
from .append import AppendResult
from .errors import PackageError
from .package_names import PACKAGE_SUFFIX, WarcEntry, is_package, member_path
from .records import FileRecord
from .source import STANDARD_STREAM, Input, display_name
from .steps import Progress
from .summary import Summary

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
    from .wacz import Package

    with Package(os.fspath(package)) as opened:
        return list(opened.warcs)


def check(
    source: Input,
    *,
    inflater: str | None = None,
    progress: Progress | None = None,
    threads: int | None = None,
    warc: str | None = None,
) -> Summary:
    """``summary.check`` for an archive file, or for the WARC ``warc`` inside a
    package; its ``path`` is then ``package#name`` and its ``size`` the WARC's."""
    if not _is_package(source, warc):
        return _summary.check(source, inflater=inflater, progress=progress, threads=threads)
    from .wacz import Package
    from .warc_range import warc_source

    with Package(_path(source)) as package:
        stream = warc_source(package, package.warc(warc))
        return _summary.check(stream, inflater=inflater, progress=progress, threads=threads)


def read_manifest(
    source: Input,
    *,
    inflater: str | None = None,
    progress: Progress | None = None,
    threads: int | None = None,
    warc: str | None = None,
) -> bytes | None:
    """The manifest store of an archive file, or of a WARC inside a package."""
    return check(source, inflater=inflater, progress=progress, threads=threads, warc=warc).manifest


def iter_records(
    source: Input,
    *,
    bodies: bool = False,
    inflater: str | None = None,
    progress: Progress | None = None,
    threads: int | None = None,
    warc: str | None = None,
) -> Iterator[FileRecord]:
    """``records.iter_records`` for an archive file or a WARC inside a package
    (offsets inside the WARC)."""
    if not _is_package(source, warc):
        return _records.iter_records(
            source, bodies=bodies, inflater=inflater, progress=progress, threads=threads
        )
    return _package_records(_path(source), bodies, inflater, progress, threads, warc)


def _package_records(
    path: str,
    bodies: bool,
    inflater: str | None,
    progress: Progress | None,
    threads: int | None,
    warc: str | None,
) -> Iterator[FileRecord]:
    from .wacz import Package
    from .warc_range import warc_source

    with Package(path) as package:
        stream = warc_source(package, package.warc(warc))
        yield from _records.iter_records(
            stream, bodies=bodies, inflater=inflater, progress=progress, threads=threads
        )


def append_manifest(
    source: Input,
    manifest: bytes,
    output: str | os.PathLike[str] | None = None,
    *,
    record_id: str | None = None,
    compress: bool | None = None,
    inflater: str | None = None,
    progress: Progress | None = None,
    threads: int | None = None,
    warc: str | None = None,
    drop_signature: bool = False,
) -> AppendResult:
    """``append.append_manifest`` for an archive file; for a package, the
    append to its WARC ``warc`` that ``append_to_package`` makes, whose
    AppendResult it returns (``output`` naming ``package#warc``)."""
    if not _is_package(source, warc):
        return _append.append_manifest(
            source,
            manifest,
            output,
            record_id=record_id,
            compress=compress,
            inflater=inflater,
            progress=progress,
            threads=threads,
        )
    if compress is not None:
        raise ValueError("compress does not apply to a package: its WARC keeps its compression")
    return append_to_package(
        _path(source),
        manifest,
        output,
        record_id=record_id,
        inflater=inflater,
        progress=progress,
        threads=threads,
        warc=warc,
        drop_signature=drop_signature,
    ).archive


def append_to_package(
    source: str | os.PathLike[str],
    manifest: bytes,
    output: str | os.PathLike[str] | None = None,
    *,
    record_id: str | None = None,
    inflater: str | None = None,
    progress: Progress | None = None,
    threads: int | None = None,
    warc: str | None = None,
    drop_signature: bool = False,
) -> PackageAppendResult:
    """Writes the package ``source`` anew (to ``output``, or in place) with
    ``manifest`` appended to its WARC ``warc`` (its compression kept).

    A package whose ``datapackage-digest.json`` is signed is refused with
    PackageError unless ``drop_signature``, which writes it without the
    signature. Raises as the append to a file does; nothing is left behind on
    any failure, and a package replaced in place stays untouched.
    """
    from .output import open_output
    from .package_writer import signature_error, write_package
    from .wacz import Package
    from .warc_range import warc_appender

    record_id = _append.checked_record_id(record_id)
    path = _path(source)
    target = path if output is None else os.fspath(output)
    with Package(path) as package:
        chosen = package.warc(warc)
        signed = package.digest is not None and package.digest.signed
        if signed and not drop_signature:
            raise _located(signature_error(), path)
        _refuse_special(target)
        results: list[AppendResult] = []
        write_warc = warc_appender(
            package,
            chosen,
            bytes(manifest),
            record_id=record_id,
            inflater=inflater,
            progress=progress,
            threads=threads,
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
    return PackageAppendResult(
        output=target,
        warc=chosen.name,
        archive=result,
        warc_offset=written.warc_offset,
        warc_size=written.warc_size,
        warc_hash=written.warc_hash,
        signature_dropped=signed,
        moved_from=written.first_change,
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


def _refuse_special(target: str) -> None:
    """A package is read back as it is written, so it goes to a regular file
    (or to standard output, which is spooled to one)."""
    if target == STANDARD_STREAM:
        return
    try:
        mode = os.stat(os.path.realpath(target)).st_mode
    except FileNotFoundError:
        return
    if not stat.S_ISREG(mode):
        raise PackageError("a package can be written only to a regular file", target)


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
    from .wacz import Package

    with Package(package) as opened:
        return opened.warc(warc).size


__all__ = [
    "PackageAppendResult",
    "append_manifest",
    "append_to_package",
    "check",
    "is_package",
    "iter_records",
    "list_warcs",
    "read_manifest",
]
