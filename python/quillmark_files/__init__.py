"""quillmark for archive files: read, check, list and sign WARC files of any size.

The extension module ``quillmark`` works on whole archives held in memory.
This package brings the same reader to files as crawlers write them, plain
or gzip-compressed (``.warc.gz``), without holding them: memory stays bounded
by one record, whatever the size of the file.

    >>> import quillmark_files
    >>> quillmark_files.read_manifest("crawl.warc.gz")        # doctest: +SKIP
    >>> quillmark_files.append_manifest("crawl.warc.gz", store)   # in place  # doctest: +SKIP

Every function reaches the verdict ``quillmark`` reaches on the file's
uncompressed content, with the same message: a file is accepted exactly when
``quillmark.read_records`` would accept its content as one archive. A
``source`` is a path, "-" for standard input, or a binary stream. A path to a
WACZ package reads or appends to a WARC inside it, named by ``warc=`` where
there are several (see packages.py).
"""

from .append import AppendResult
from .errors import (
    ArchiveError,
    CompressionError,
    InflaterUnavailable,
    MalformedArchive,
    PackageError,
)
from .inflaters import available as available_inflaters
from .package_names import WarcEntry
from .packages import (
    PackageAppendResult,
    append_manifest,
    append_to_package,
    check,
    iter_records,
    list_warcs,
    read_manifest,
)
from .records import FileRecord
from .summary import GZIP, GZIP_PER_RECORD, NONE, Summary

__all__ = [
    "read_manifest",
    "check",
    "iter_records",
    "append_manifest",
    "Summary",
    "FileRecord",
    "AppendResult",
    "ArchiveError",
    "MalformedArchive",
    "CompressionError",
    "InflaterUnavailable",
    "PackageError",
    "PackageAppendResult",
    "append_to_package",
    "WarcEntry",
    "list_warcs",
    "available_inflaters",
    "NONE",
    "GZIP",
    "GZIP_PER_RECORD",
]
