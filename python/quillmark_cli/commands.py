"""The commands. Each takes the parsed arguments and returns an exit status;
failures the user should see are raised as CliError."""

from __future__ import annotations

import contextlib
import json
import os
import shutil
import stat
import sys
from collections.abc import Iterator

import quillmark_files
from quillmark_files import ArchiveError, Package, archive
from quillmark_files.archive import STANDARD_STREAM
from quillmark_files.errors import FileStateError

from .errors import CliError, report, shown
from .listing import column_widths, json_line, table_cells, table_lines
from .progress import file_progress

NO_MANIFEST = "no C2PA manifest record found"
# Listings are held back until the whole archive is read, so that a malformed
# one prints nothing but its error: up to this size in memory, then in a file.
_LISTING_IN_MEMORY = 16 << 20


@contextlib.contextmanager
def _reported(name: str | None = None) -> Iterator[None]:
    """An unusable archive, and with ``name`` an OSError too, raised as the
    CliError that says why in one line: for an archive, quillmark's own message
    with the failing record's offset where the message does not name it."""
    try:
        yield
    except FileStateError as exc:
        raise CliError(exc.about(shown(exc.path))) from None
    except ArchiveError as exc:
        raise CliError(f"{shown(exc.path)}: {exc.located()}") from None
    except OSError as exc:
        if name is None:
            raise
        raise CliError(describe_os_error(name, exc)) from None


def run_records(args) -> int:
    import tempfile  # slow to load: only where it is needed

    as_json = args.json or not sys.stdout.isatty()
    with tempfile.SpooledTemporaryFile(_LISTING_IN_MEMORY) as spool:
        widths = None
        with _reported(), file_progress("listing") as progress:
            records = quillmark_files.iter_records(
                args.file, progress=progress, threads=args.threads, warc=args.warc
            )
            for record in records:
                if as_json:
                    spool.write(json_line(record).encode() + b"\n")
                else:
                    cells = table_cells(record)
                    widths = column_widths(widths, cells)
                    spool.write(json.dumps(cells).encode() + b"\n")
        spool.seek(0)
        if as_json:
            sys.stdout.flush()
            shutil.copyfileobj(spool, sys.stdout.buffer, 1 << 20)
            sys.stdout.buffer.flush()
            return 0
        rows = (tuple(json.loads(line)) for line in spool)
        out = sys.stdout
        for line in table_lines(rows, column_widths(widths, ("",) * 5)):
            out.write(line)
            out.write("\n")
        out.flush()
    return 0


def run_manifest(args) -> int:
    with _reported(), file_progress("reading") as progress:
        # check, not read_manifest: a WARC inside a package is named PACKAGE#NAME.
        summary = quillmark_files.check(
            args.file, progress=progress, threads=args.threads, warc=args.warc
        )
    manifest = summary.manifest
    if manifest is None:
        raise CliError(f"{shown(summary.path)}: {NO_MANIFEST}")
    if args.output in (None, STANDARD_STREAM):
        if sys.stdout.isatty():
            raise CliError(
                "not writing a manifest store to a terminal; redirect the output or use -o FILE"
            )
        out = sys.stdout.buffer
        out.write(manifest)
        out.flush()
    else:
        _write_output(args.output, [manifest])
    return 0


def run_check(args) -> int:
    """Checks every file, reporting each failure on its own line."""
    status = 0
    for name in args.files:
        try:
            if not _check_one(name, args.threads):
                status = 1
        except CliError as exc:
            report(str(exc))
            status = 1
    return status


def _check_one(name: str, threads: int) -> bool:
    """Checks a file, or each WARC of a package, opened once; False when a
    WARC of a package failed (its line reported)."""
    if not quillmark_files.is_package(name):
        _check_warc(name, name, None, threads)
        return True
    with _reported(name):
        package = Package(name)
    intact = True
    with package:
        for warc in package.warcs:  # each failure on its own line
            try:
                _check_warc(package, name, warc.name, threads)
            except CliError as exc:
                intact = False
                report(str(exc))
    return intact


def _check_warc(source: str | Package, name: str, warc: str | None, threads: int) -> None:
    with _reported(name), file_progress("checking") as progress:
        summary = quillmark_files.check(source, progress=progress, threads=threads, warc=warc)
    manifest = summary.manifest
    detail = "no manifest store" if manifest is None else f"manifest store of {len(manifest)} bytes"
    print(f"{shown(summary.path)}: well-formed, {detail}", flush=True)


def describe_os_error(name: str, exc: OSError) -> str:
    return f"{shown(exc.filename if exc.filename is not None else name)}: {exc.strerror or exc}"


def _in_place_target(name: str) -> None:
    """Refuse to replace anything but a regular file in place."""
    if name == STANDARD_STREAM:
        return
    with _reported(name):
        info = os.stat(name)
    if not stat.S_ISREG(info.st_mode):
        raise CliError(f"{shown(name)}: not a regular file, so it cannot be replaced; use -o OUT")


def _read_manifest_file(name: str) -> bytes:
    if name == STANDARD_STREAM:
        return sys.stdin.buffer.read()
    with _reported(name), open(name, "rb") as stream:
        return stream.read()


def run_append(args) -> int:
    try:
        record_id = archive.checked_record_id(args.record_id)
    except ValueError as exc:
        raise CliError(str(exc)) from None
    if args.file == STANDARD_STREAM and args.manifest == STANDARD_STREAM:
        raise CliError("standard input can hold the archive or the manifest store, not both")
    in_place = args.output is None
    if in_place:
        _in_place_target(args.file)
    else:
        _open_input_first(args.file)
    manifest = _read_manifest_file(args.manifest)
    in_package = quillmark_files.is_package(args.file)
    # For a package, what changed in it too (append_manifest reports the WARC alone).
    append = quillmark_files.append_to_package if in_package else quillmark_files.append_manifest
    with _reported(), file_progress("appending") as progress:
        result = append(
            args.file,
            manifest,
            args.output,
            record_id=record_id,
            progress=progress,
            threads=args.threads,
            warc=args.warc,
            drop_signature=args.drop_signature,
            wait=args.wait,
        )
    to_stderr = result.output == STANDARD_STREAM  # standard output holds the archive
    if in_package:
        _package_notes(result)
        result = result.archive
    if result.records_recompressed:
        report(
            f"note: {result.records_recompressed} records of {shown(args.file)} were compressed "
            "again, since their gzip members did not line up with records or held a removed "
            "manifest record; the other members were copied unchanged"
        )
    print(_append_report(result), file=sys.stderr if to_stderr else sys.stdout)
    return 0


def _package_notes(result) -> None:
    if result.signature_dropped:
        report(
            f"note: {shown(result.output)}: written without the signature of its "
            "datapackage-digest.json, which no longer matched; sign the package again"
        )
    if result.moved_from is not None:
        report(
            f"warning: {shown(result.output)}: an old manifest record stood before other "
            f"records in {shown(result.warc)}, which moved: from byte {result.moved_from} on it "
            "differs, and the index lines (indexes/) of records that reach that byte are stale; "
            "index the package again"
        )


def _open_input_first(name: str) -> None:
    """An unreadable archive is reported before anything else is looked at."""
    if name == STANDARD_STREAM:
        return
    with _reported(name):
        os.close(os.open(name, os.O_RDONLY))


def _append_report(result) -> str:
    removed = result.manifests_removed
    line = (
        f"{shown(result.output)}: {result.records_kept} records kept, "
        f"{removed} manifest record{'' if removed == 1 else 's'} removed; "
        f"new manifest record at offset {result.manifest_offset}"
    )
    if result.compressed:
        line += (
            f", in the gzip member at byte {result.member_offset} ({result.member_length} bytes)"
        )
    return line


def _write_output(name: str, chunks) -> None:
    with _reported(name):
        archive.write_file(name, chunks)
