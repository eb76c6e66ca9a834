"""Failures the user should see, and how they are reported."""

import sys

PROG = "quillmark"


class CliError(Exception):
    """A failure reported as one line on stderr, with exit status 1."""


def report(message: str) -> None:
    """One line on stderr, under the command's name."""
    try:
        sys.stderr.write(f"{PROG}: {message}\n")
        sys.stderr.flush()
    except (OSError, ValueError):
        pass  # nowhere left to report to


def shown(name: object) -> str:
    """A file name as messages show it: bytes that are not UTF-8 appear as
    \\xNN escapes rather than as the interpreter's stand-in characters."""
    if isinstance(name, bytes):
        return name.decode("utf-8", "backslashreplace")
    text = str(name)
    try:
        return text.encode("utf-8", "surrogateescape").decode("utf-8", "backslashreplace")
    except UnicodeEncodeError:
        return text  # a surrogate that did not come from a file name; leave it as it is
