"""Entry point of the ``quillmark`` command."""

from __future__ import annotations

import os
import signal
import sys

from .errors import CliError, report, shown

EXIT_FAILURE = 1  # usage errors exit with 2, from argparse
EXIT_INTERRUPTED = 130  # 128 + SIGINT, as shells report it
EXIT_BROKEN_PIPE = 141  # 128 + SIGPIPE


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
    # Loaded here, so that a module that cannot be loaded is one line.
    try:
        import quillmark
        from quillmark_files import InflaterUnavailable

        from . import audit, commands, provenance
        from .parser import build_parser
    except ImportError as exc:
        return _fail(f"cannot load the quillmark module: {exc}", EXIT_FAILURE)

    args = build_parser(quillmark.__version__).parse_args(argv)
    handlers = {
        "records": commands.run_records,
        "manifest": commands.run_manifest,
        "append": commands.run_append,
        "check": commands.run_check,
        "audit": audit.run_audit,
        "sign": provenance.run_sign,
        "verify": provenance.run_verify,
    }
    try:
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
