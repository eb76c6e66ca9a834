"""Appending a manifest store to a WARC inside a package: the WARC written
as ``append_manifest`` writes a file (its compression kept), straight into
the package written anew around it (_writer)."""

from __future__ import annotations

import contextlib
import os
from collections.abc import Iterator
from typing import NamedTuple

from ..archive import AppendResult, Progress, checked_record_id, open_output
from ..archive._append import Manifest, WrittenArchive, append_into, is_gzip
from ..archive._identity import unchanged
from ..archive._lock import held_for_change
from ..archive._output import Output, is_special
from ..errors import PackageError
from ._datapackage import signature_error
from ._package import Package, WarcEntry, package_path, warc_path, warc_source
from ._writer import WriteWarc, write_package

# Room for the new manifest record and its gzip member, over the manifest store.
_RECORD_ROOM = 1 << 20


class PackageAppendResult(NamedTuple):
    """What ``append_to_package`` wrote into a package."""

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


def append_to_package(
    source: str | os.PathLike[str],
    manifest: Manifest,
    output: str | os.PathLike[str] | None = None,
    *,
    record_id: str | None = None,
    inflater: str | None = None,
    progress: Progress | None = None,
    threads: int | None = None,
    warc: str | None = None,
    drop_signature: bool = False,
    wait: bool = False,
) -> PackageAppendResult:
    """Writes the package ``source`` anew (to ``output``, or in place) with
    ``manifest`` appended to its WARC ``warc`` (its compression kept).

    A package whose ``datapackage-digest.json`` is signed is refused with
    PackageError unless ``drop_signature``, which writes it without the
    signature. Raises as the append to a file does; nothing is left behind on
    any failure, and a package replaced in place stays untouched. In place,
    the package is held locked as a file is (``wait`` as for
    ``append_manifest``), and a package that changed while it was read is
    refused with FileChanged. ``manifest`` may be made late, as for a file.
    """
    record_id = checked_record_id(record_id)
    path = package_path(source)
    target = path if output is None else os.fspath(output)
    with _opened(path, output is None, wait) as (package, still_at):
        chosen = package.warc(warc)
        signed = package.signed
        if signed and not drop_signature:
            error = signature_error()
            error.path = path
            raise error
        _refuse_special(target)
        write_warc = warc_appender(
            package,
            chosen,
            manifest if callable(manifest) else bytes(manifest),
            record_id=record_id,
            inflater=inflater,
            progress=progress,
            threads=threads,
        )

        def confirm() -> None:
            if package.watched is not None:
                package.watched.confirm(still_at)

        try:
            with unchanged(package.watched, at_end=False), open_output(target, confirm) as out:
                written = write_package(
                    package,
                    chosen,
                    out,
                    write_warc,
                    size_hint=chosen.size + _room(manifest),
                    drop_signature=drop_signature,
                )
        except PackageError as exc:
            exc.path = exc.path or path
            raise
    return PackageAppendResult(
        output=target,
        warc=chosen.name,
        archive=written.warc.result._replace(output=warc_path(target, chosen.name)),
        warc_offset=written.warc_offset,
        warc_size=written.warc_size,
        warc_hash=written.warc_hash,
        signature_dropped=signed,
        moved_from=written.warc.moved_from,
    )


@contextlib.contextmanager
def _opened(path: str, in_place: bool, wait: bool) -> Iterator[tuple[Package, str | None]]:
    """The package, and when it is replaced in place, the path that must
    still name it then: it is held locked meanwhile (archive/_lock.py)."""
    if not in_place:
        with Package(path) as package:
            yield package, None
        return
    with held_for_change(path, path, wait=wait) as fd, Package(path, fd=fd) as package:
        yield package, path


def warc_appender(
    package: Package,
    warc: WarcEntry,
    manifest: Manifest,
    *,
    record_id: str,
    inflater: str | None,
    progress: Progress | None,
    threads: int | None,
) -> WriteWarc:
    """The WriteWarc that appends ``manifest`` to the WARC as to a file."""

    def write(out: Output) -> WrittenArchive:
        source = warc_source(package, warc)
        return append_into(
            source,
            out,
            manifest,
            record_id,
            compress=is_gzip(source),
            inflater=inflater,
            progress=progress,
            threads=threads,
            output_name=source.name,
            digest_output=True,
        )

    return write


def _room(manifest: Manifest) -> int:
    """Room for the new record: a store made late is not yet known."""
    return _RECORD_ROOM + (len(manifest) if isinstance(manifest, bytes) else _RECORD_ROOM)


def _refuse_special(target: str) -> None:
    """A package is read back as it is written: see is_special."""
    if is_special(target):
        raise PackageError("a package can be written only to a regular file", target)
