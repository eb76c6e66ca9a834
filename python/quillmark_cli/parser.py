"""The command line of ``quillmark``: its commands and their arguments."""

from __future__ import annotations

import argparse

from quillmark_files.archive import default_threads

from .audit import add_parser as add_audit_parser
from .errors import PROG
from .provenance import add_parsers as add_provenance_parsers


def _positive(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = 0
    if value < 1:
        raise argparse.ArgumentTypeError(f"expected a whole number of at least 1, not {text!r}")
    return value


def _add_threads(command: argparse.ArgumentParser, threads: int) -> None:
    command.add_argument(
        "--threads",
        type=_positive,
        default=threads,
        metavar="N",
        help="read a .warc.gz on N threads (default: the number of cores, %(default)s here); "
        "the result is the same on any number",
    )


def build_parser(version: str) -> argparse.ArgumentParser:
    threads = default_threads()
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="List, check, audit, read and embed C2PA Manifest Stores in WARC/1.1 archives. "
        "Every command reads plain and gzip-compressed (.warc.gz) archives of any size as a "
        "stream; FILE may be - for standard input, or a WACZ package (.wacz), for the WARCs "
        "inside it. The environment variable "
        "QUILLMARK_INFLATER picks the gzip library (libdeflate, isal, zlib; default: the "
        "fastest in this build).",
    )
    parser.add_argument("--version", action="version", version=f"{PROG} {version}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    commands.required = True

    records = commands.add_parser(
        "records",
        help="list every record",
        description="List every record: offset, length, body size, WARC-Type and record id "
        "as a table on a terminal; one JSON object per record, with all headers, "
        "otherwise or with --json.",
    )
    records.add_argument("file", metavar="FILE", help="the archive")
    records.add_argument("--json", action="store_true", help="write JSON lines on a terminal too")
    _add_threads(records, threads)
    _add_warc_argument(records)

    manifest = commands.add_parser(
        "manifest",
        help="write the embedded manifest store",
        description="Write the bytes of the archive's manifest store (that of its last "
        "manifest record). Exits with status 1 when the archive carries none.",
    )
    manifest.add_argument("file", metavar="FILE", help="the archive")
    manifest.add_argument(
        "-o", "--output", metavar="OUT", help="write to OUT instead of standard output"
    )
    _add_threads(manifest, threads)
    _add_warc_argument(manifest)

    append = commands.add_parser(
        "append",
        help="embed a manifest store",
        description="Embed a manifest store as the archive's one manifest record, replacing "
        "any earlier ones. Without -o, FILE is replaced atomically, locked so that changes "
        "in place are made one at a time, and stays untouched when anything fails. A FILE "
        "that changed while it was read (one a crawler is still writing) is refused: sign a "
        "crawler's file once it is closed. Gzip input stays gzip in place and wherever the "
        "output's name ends in .gz: each kept record's gzip member is copied unchanged and "
        "the new manifest record becomes one member at the end (records whose members do "
        "not line up with records are compressed again, and a note says so). Plain input "
        "written to a .gz name gets one gzip member per record. Prints where the new record "
        "starts.",
    )
    append.add_argument("file", metavar="FILE", help="the archive")
    append.add_argument("manifest", metavar="MANIFEST", help="file holding the manifest store")
    append.add_argument(
        "-o", "--output", metavar="OUT", help="write the new archive to OUT (- for standard output)"
    )
    append.add_argument(
        "--record-id",
        metavar="ID",
        help="WARC-Record-ID of the new record, without angle brackets "
        "(default: a fresh urn:uuid:)",
    )
    _add_threads(append, threads)
    _add_warc_argument(append)
    append.add_argument(
        "--drop-signature",
        action="store_true",
        help="for a signed WACZ package: write it without its signature, which the change "
        "would break (refused otherwise)",
    )
    append.add_argument(
        "--wait",
        action="store_true",
        help="in place: wait while another process changes FILE (another append, or a "
        "crawler that locks the file it writes) instead of failing at once",
    )

    check = commands.add_parser(
        "check",
        help="test that archives are well-formed",
        description="Exit with status 0 when every archive is well-formed; otherwise print, "
        "for each archive that is not, why and at which record offset, and exit with status 1.",
    )
    check.add_argument("files", metavar="FILE", nargs="+", help="an archive")
    _add_threads(check, threads)

    add_audit_parser(commands, threads, _positive)
    add_provenance_parsers(commands, lambda command: _add_threads(command, threads))
    return parser


def _add_warc_argument(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "--warc",
        metavar="NAME",
        help="for a WACZ package (FILE.wacz): the WARC inside it, by its path "
        "(archive/NAME) or file name; needed where it holds several",
    )
