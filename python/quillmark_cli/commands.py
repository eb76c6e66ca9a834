"""The four commands. Each takes the parsed arguments and returns an exit status;
failures the user should see are raised as CliError."""

from __future__ import annotations

import os
import stat
import sys

import quillmark

from .archive_input import STANDARD_STREAM, Archive, describe_os_error, read_archive, read_bytes
from .atomic_file import write_file
from .errors import CliError, report, shown
from .gzip_members import compress_members
from .listing import json_lines, table_lines

NO_MANIFEST = "no C2PA manifest record found"


def parse_failure(archive: Archive, exc: ValueError) -> CliError:
    """The module's message for a malformed archive, with the failing record's offset."""
    from .locate import failing_record_offset  # only a failing run pays for it

    message = str(exc)
    offset = failing_record_offset(archive.data, message)
    if offset is None or message.endswith(f" at offset {offset}"):
        where = ""
    else:
        where = f" (record at offset {offset})"
    if archive.gzipped and where:
        where = where[:-1] + " of the uncompressed archive)"
    return CliError(f"{shown(archive.name)}: {message}{where}")


def _write_stdout(chunks) -> None:
    out = sys.stdout.buffer
    for chunk in chunks:
        out.write(chunk)
    out.flush()


def _refuse_binary_to_terminal(what: str) -> None:
    if sys.stdout.isatty():
        raise CliError(f"not writing {what} to a terminal; redirect the output or use -o FILE")


def _parsed(archive, function, *args):
    """Calls a module function on the archive, reporting a malformed archive
    with the failing record's offset."""
    try:
        return function(*args)
    except ValueError as exc:
        raise parse_failure(archive, exc) from None


def run_records(args) -> int:
    archive = read_archive(args.file)
    records = _parsed(archive, quillmark.read_records, archive.data)
    as_json = args.json or not sys.stdout.isatty()
    lines = json_lines(records, archive.members) if as_json else table_lines(records)
    out = sys.stdout
    for line in lines:
        out.write(line)
        out.write("\n")
    out.flush()
    return 0


def run_manifest(args) -> int:
    archive = read_archive(args.file)
    manifest = _parsed(archive, quillmark.read_manifest, archive.data)
    if manifest is None:
        raise CliError(f"{shown(archive.name)}: {NO_MANIFEST}")
    if args.output in (None, STANDARD_STREAM):
        _refuse_binary_to_terminal("a manifest store")
        _write_stdout([manifest])
    else:
        _write_output(args.output, [manifest])
    return 0


def run_check(args) -> int:
    """Checks every file, reporting each failure on its own line."""
    status = 0
    for name in args.files:
        try:
            _check_one(name)
        except CliError as exc:
            report(str(exc))
            status = 1
    return status


def _check_one(name: str) -> None:
    archive = read_archive(name)
    manifest = _parsed(archive, quillmark.read_manifest, archive.data)
    detail = "no manifest store" if manifest is None else f"manifest store of {len(manifest)} bytes"
    print(f"{shown(archive.name)}: well-formed, {detail}", flush=True)


def checked_record_id(record_id: str | None) -> str:
    if record_id is None:
        import uuid  # imported here: it is slow to load and only this needs it

        return f"urn:uuid:{uuid.uuid4()}"
    if "\r" in record_id or "\n" in record_id:
        raise CliError("the record id must not contain a carriage return or a line feed")
    try:
        record_id.encode("utf-8")
    except UnicodeEncodeError:
        raise CliError("the record id is not valid UTF-8") from None
    return record_id


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


def _record_starts(archive_bytes: bytes) -> list[int]:
    return [record["offset"] for record in quillmark.read_records(archive_bytes)]


def run_append(args) -> int:
    record_id = checked_record_id(args.record_id)
    if args.file == STANDARD_STREAM and args.manifest == STANDARD_STREAM:
        raise CliError("standard input can hold the archive or the manifest store, not both")
    in_place = args.output is None
    if in_place:
        _in_place_target(args.file)
    archive = read_archive(args.file)
    manifest = read_bytes(args.manifest)
    rebuilt = _parsed(archive, quillmark.append_manifest, archive.data, manifest, record_id)
    destination = args.file if in_place else args.output
    compress = (in_place and archive.gzipped) or (
        destination != STANDARD_STREAM and destination.endswith(".gz")
    )
    chunks = compress_members(rebuilt, _record_starts(rebuilt)) if compress else [rebuilt]
    if destination == STANDARD_STREAM:
        _refuse_binary_to_terminal("an archive")
        _write_stdout(chunks)
    else:
        _write_output(destination, chunks)
    return 0


def _write_output(name: str, chunks) -> None:
    try:
        write_file(name, chunks)
    except OSError as exc:
        raise CliError(describe_os_error(name, exc)) from None
