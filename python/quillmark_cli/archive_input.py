"""Loading an archive (plain or gzip-compressed) into memory for the module."""

from __future__ import annotations

import sys
from typing import NamedTuple

from .errors import CliError, shown
from .gzip_members import decompress_members, is_gzip

# "-" names standard input where a file is read and standard output where one is written.
STANDARD_STREAM = "-"


class Archive(NamedTuple):
    name: str
    data: bytes  # the uncompressed archive
    gzipped: bool  # whether the file held gzip members
    # For a gzipped file: (compressed, uncompressed) offsets of each member's
    # start, then of the end; see decompress_members.
    members: list[tuple[int, int]] | None = None


def describe_os_error(name: str, exc: OSError) -> str:
    reason = exc.strerror or str(exc)
    return f"{shown(name)}: {reason}"


def read_bytes(name: str) -> bytes:
    """The whole content of file ``name`` ("-" is standard input)."""
    if name == STANDARD_STREAM:
        return sys.stdin.buffer.read()
    try:
        with open(name, "rb") as stream:
            return stream.read()
    except OSError as exc:
        raise CliError(describe_os_error(name, exc)) from None


def read_archive(name: str) -> Archive:
    raw = read_bytes(name)
    if not is_gzip(raw):
        return Archive(name, raw, False)
    members: list[tuple[int, int]] = []
    try:
        return Archive(name, decompress_members(raw, members), True, members)
    except ValueError as exc:
        raise CliError(f"{shown(name)}: {exc}") from None
