"""The commands. Each takes the parsed arguments and returns an exit status;
failures the user should see are raised as CliError."""

from __future__ import annotations

import os
import stat
import sys

import quillmark_files
from quillmark_files import ArchiveError, Package, archive
from quillmark_files.archive import STANDARD_STREAM

from .errors import CliError, report, shown
from .listing import column_widths, json_line, table_cells, table_lines
from .progress import file_progress

NO_MANIFEST = "no C2PA manifest record found"
# Listings are held back until the whole archive has been read, so that a
# malformed archive prints nothing but its error; up to this size in memory,
# beyond it in a temporary file.
_LISTING_IN_MEMORY = 16 << 20


def describe(error: ArchiveError, name: str | None = None) -> str:
    """The message for an archive that cannot be used: quillmark's own for a
    malformed one, with the failing record's offset where the message does not
    already name it."""
    return f"{shown(name if name is not None else error.path)}: {error.located()}"


def _failure(error: ArchiveError) -> CliError:
    return CliError(describe(error))


def _refuse_binary_to_terminal(what: str) -> None:
    if sys.stdout.isatty():
        raise CliError(f"not writing {what} to a terminal; redirect the output or use -o FILE")


def run_records(args) -> int:
    import json
    import shutil
    import tempfile

    as_json = args.json or not sys.stdout.isatty()
    with tempfile.SpooledTemporaryFile(_LISTING_IN_MEMORY) as spool:
        widths = None
        try:
            with file_progress("listing") as progress:
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
        except ArchiveError as exc:
            raise _failure(exc) from None
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
    try:
        with file_progress("reading") as progress:
            manifest = quillmark_files.read_manifest(
                args.file, progress=progress, threads=args.threads, warc=args.warc
            )
    except ArchiveError as exc:
        raise _failure(exc) from None
    if manifest is None:
        raise CliError(f"{shown(args.file)}: {NO_MANIFEST}")
    if args.output in (None, STANDARD_STREAM):
        _refuse_binary_to_terminal("a manifest store")
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
    try:
        package = Package(name)
    except ArchiveError as exc:
        raise _failure(exc) from None
    except OSError as exc:
        raise CliError(describe_os_error(name, exc)) from None
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
    try:
        with file_progress("checking") as progress:
            summary = quillmark_files.check(source, progress=progress, threads=threads, warc=warc)
    except ArchiveError as exc:
        raise _failure(exc) from None
    except OSError as exc:
        raise CliError(describe_os_error(name, exc)) from None
    manifest = summary.manifest
    detail = "no manifest store" if manifest is None else f"manifest store of {len(manifest)} bytes"
    print(f"{shown(summary.path)}: well-formed, {detail}", flush=True)


def describe_os_error(name: str, exc: OSError) -> str:
    return f"{shown(exc.filename if exc.filename is not None else name)}: {exc.strerror or exc}"


def _in_place_target(name: str) -> None:
    """Refuse to replace anything but a regular file in place."""
    if name == STANDARD_STREAM:
        return
    try:
        info = os.stat(name)
    except OSError as exc:
        raise CliError(describe_os_error(name, exc)) from None
    if not stat.S_ISREG(info.st_mode):
        raise CliError(f"{shown(name)}: not a regular file, so it cannot be replaced; use -o OUT")


def _read_manifest_file(name: str) -> bytes:
    if name == STANDARD_STREAM:
        return sys.stdin.buffer.read()
    try:
        with open(name, "rb") as stream:
            return stream.read()
    except OSError as exc:
        raise CliError(describe_os_error(name, exc)) from None


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
    try:
        with file_progress("appending") as progress:
            options = dict(record_id=record_id, progress=progress, threads=args.threads)
            if in_package:
                result = quillmark_files.append_to_package(
                    args.file,
                    manifest,
                    args.output,
                    warc=args.warc,
                    drop_signature=args.drop_signature,
                    **options,
                )
            else:
                result = quillmark_files.append_manifest(
                    args.file, manifest, args.output, warc=args.warc, **options
                )
    except ArchiveError as exc:
        raise _failure(exc) from None
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
    try:
        os.close(os.open(name, os.O_RDONLY))
    except OSError as exc:
        raise CliError(describe_os_error(name, exc)) from None


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
    try:
        archive.write_file(name, chunks)
    except OSError as exc:
        raise CliError(describe_os_error(name, exc)) from None
