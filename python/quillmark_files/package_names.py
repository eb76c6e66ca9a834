"""Telling a WACZ package by its name or its first bytes, and naming a WARC
inside one, without loading the package layer."""

from __future__ import annotations

import os
import stat
from typing import NamedTuple

from .source import Input
from .zip_fields import LOCAL_SIGNATURE

PACKAGE_SUFFIX = ".wacz"
# How a WARC inside a package is named in messages and audit rows.
MEMBER_SEPARATOR = "#"


class WarcEntry(NamedTuple):
    """A WARC inside a package: its name, and where its bytes lie in the
    package file."""

    name: str
    offset: int
    size: int


def member_path(package: str, warc: str) -> str:
    """The joined name of a WARC inside a package: ``crawl.wacz#archive/a.warc.gz``."""
    return f"{package}{MEMBER_SEPARATOR}{warc}"


def is_package(source: Input) -> bool:
    """Whether ``source`` names a WACZ package: a path (not "-") ending in
    ``.wacz``, or a file that starts as a ZIP does. Streams are never packages:
    a package is read by position."""
    if not isinstance(source, (str, bytes, os.PathLike)):
        return False
    path = os.fsdecode(os.fspath(source))
    if path == "-":
        return False
    if path.lower().endswith(PACKAGE_SUFFIX):
        return True
    try:
        # Only a regular file is looked into: opening a FIFO would block.
        if not stat.S_ISREG(os.stat(path).st_mode):
            return False
        with open(path, "rb") as stream:
            return stream.read(len(LOCAL_SIGNATURE)) == LOCAL_SIGNATURE
    except OSError:
        return False  # reading it as a WARC reports why
