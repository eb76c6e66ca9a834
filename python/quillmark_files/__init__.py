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
``source`` is a path, "-" for standard input, or a binary stream.
"""

from .append import AppendResult, append_manifest
from .errors import ArchiveError, CompressionError, InflaterUnavailable, MalformedArchive
from .inflaters import available as available_inflaters
from .records import FileRecord, iter_records
from .summary import GZIP, GZIP_PER_RECORD, NONE, Summary, check, read_manifest

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
    "available_inflaters",
    "NONE",
    "GZIP",
    "GZIP_PER_RECORD",
]
