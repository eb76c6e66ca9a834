"""Entry point of the ``quillmark`` command."""

from __future__ import annotations

import argparse
import os
import signal
import sys

from .errors import PROG, report

EXIT_FAILURE = 1  # usage errors exit with 2, from argparse
EXIT_INTERRUPTED = 130  # 128 + SIGINT, as shells report it
EXIT_BROKEN_PIPE = 141  # 128 + SIGPIPE


def _positive(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = 0
    if value < 1:
        raise argparse.ArgumentTypeError(f"expected a whole number of at least 1, not {text!r}")
    return value


def _add_threads(command: argparse.ArgumentParser, cores: int) -> None:
    command.add_argument(
        "--threads",
        type=_positive,
        default=cores,
        metavar="N",
        help="read a .warc.gz on N threads (default: the number of cores, %(default)s here); "
        "the result is the same on any number",
    )


def build_parser(version: str) -> argparse.ArgumentParser:
    from quillmark_files.steps import cores as count_cores

    cores = count_cores()
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
    _add_threads(records, cores)
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
    _add_threads(manifest, cores)
    _add_warc_argument(manifest)

    append = commands.add_parser(
        "append",
        help="embed a manifest store",
        description="Embed a manifest store as the archive's one manifest record, replacing "
        "any earlier ones. Without -o, FILE is replaced atomically and stays untouched when "
        "anything fails. Gzip input stays gzip in place and wherever the output's name ends "
        "in .gz: each kept record's gzip member is copied unchanged and the new manifest "
        "record becomes one member at the end (records whose members do not line up with "
        "records are compressed again, and a note says so). Plain input written to a .gz "
        "name gets one gzip member per record. Prints where the new record starts.",
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
    _add_threads(append, cores)
    _add_warc_argument(append)
    append.add_argument(
        "--drop-signature",
        action="store_true",
        help="for a signed WACZ package: write it without its signature, which the change "
        "would break (refused otherwise)",
    )

    check = commands.add_parser(
        "check",
        help="test that archives are well-formed",
        description="Exit with status 0 when every archive is well-formed; otherwise print, "
        "for each archive that is not, why and at which record offset, and exit with status 1.",
    )
    check.add_argument("files", metavar="FILE", nargs="+", help="an archive")
    _add_threads(check, cores)

    from .audit import add_parser as add_audit_parser

    add_audit_parser(commands, cores, _positive)
    return parser


def _add_warc_argument(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "--warc",
        metavar="NAME",
        help="for a WACZ package (FILE.wacz): the WARC inside it, by its path "
        "(archive/NAME) or file name; needed where it holds several",
    )


def _fail(message: str, status: int) -> int:
    report(message)
    return status


def _silence_stdout() -> None:
    # After a broken pipe, the interpreter's final flush of stdout would fail
    # again and print a warning; point stdout at /dev/null instead.
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
    except (OSError, ValueError):
        pass


class _Stopped(BaseException):
    """Raised by the handler of a terminating signal, so that a half-written
    temporary file is removed on the way out just as after Ctrl-C."""

    def __init__(self, signum: int):
        super().__init__(signum)
        self.signum = signum


def _raise_stopped(signum, frame) -> None:
    raise _Stopped(signum)


_STOP_SIGNALS = {signal.SIGTERM: "terminated", signal.SIGHUP: "hangup"}


def main(argv: list[str] | None = None) -> int:
    for signum in _STOP_SIGNALS:
        signal.signal(signum, _raise_stopped)
    # Header values and file names may hold characters the terminal's encoding
    # lacks; they are escaped rather than ending the run.
    for stream in (sys.stdout, sys.stderr):
        reconfigure = getattr(stream, "reconfigure", None)
        if reconfigure is not None:
            reconfigure(errors="backslashreplace")
    try:
        return _run(argv)
    except KeyboardInterrupt:
        return _fail("interrupted", EXIT_INTERRUPTED)
    except _Stopped as stop:
        return _fail(_STOP_SIGNALS[stop.signum], 128 + stop.signum)
    except BrokenPipeError:
        _silence_stdout()
        return EXIT_BROKEN_PIPE


def _run(argv: list[str] | None) -> int:
    try:
        import quillmark
    except ImportError as exc:
        return _fail(f"cannot load the quillmark module: {exc}", EXIT_FAILURE)

    from quillmark_files import InflaterUnavailable

    from .errors import CliError, shown

    parser = build_parser(quillmark.__version__)
    args = parser.parse_args(argv)
    try:
        if args.command == "audit":
            from .audit import run_audit

            return run_audit(args)
        from . import commands

        handlers = {
            "records": commands.run_records,
            "manifest": commands.run_manifest,
            "append": commands.run_append,
            "check": commands.run_check,
        }
        return handlers[args.command](args)
    except (CliError, InflaterUnavailable) as exc:
        return _fail(str(exc), EXIT_FAILURE)
    except MemoryError:
        return _fail("out of memory", EXIT_FAILURE)
    except BrokenPipeError:
        raise
    except OSError as exc:
        where = f"{shown(exc.filename)}: " if exc.filename else ""
        return _fail(f"{where}{exc.strerror or exc}", EXIT_FAILURE)
    except Exception as exc:  # a fault of this tool: still one line, never a traceback
        return _fail(f"internal error: {type(exc).__name__}: {exc}", EXIT_FAILURE)


if __name__ == "__main__":
    sys.exit(main())
