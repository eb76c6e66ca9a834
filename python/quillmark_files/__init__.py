"""quillmark for archive files: read, check, list, sign and verify WARC files of any size.

The extension module ``quillmark`` works on whole archives held in memory.
This package brings the same reader to files as crawlers write them, plain
or gzip-compressed (``.warc.gz``), without holding them: memory stays bounded
by one record, whatever the size of the file. Every function reaches the
verdict ``quillmark`` reaches on the file's uncompressed content, with the
same message: a file is accepted exactly when ``quillmark.read_records``
would accept its content as one archive. A ``source`` is a path, "-" for
standard input, or a binary stream. A path to a WACZ package reads or appends
to a WARC inside it, named by ``warc=`` where there are several.

The functions are _read.py's and _write.py's, over three subpackages:
archive (one archive file), package (WACZ packages) and crawl (auditing many
files). What only appending needs loads on first use (_lazy.py).
"""

from typing import TYPE_CHECKING

from ._lazy import on_first_use
from ._read import check, iter_records, read_manifest
from .archive import GZIP, GZIP_PER_RECORD, NONE, FileRecord, Summary, available_inflaters
from .errors import (
    ArchiveError,
    CompressionError,
    FileBusy,
    FileChanged,
    InflaterUnavailable,
    MalformedArchive,
    PackageError,
    PackageMismatch,
)
from .package import Package, WarcEntry, is_package, list_warcs

if TYPE_CHECKING:
    from ._write import append_manifest
    from .archive import AppendResult
    from .package import PackageAppendResult, append_to_package
    from .provenance import (
        SdkError,
        SdkUnavailable,
        Signer,
        SignResult,
        Verification,
        VerifyReport,
        sign,
        verify,
    )

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
    "FileChanged",
    "FileBusy",
    "InflaterUnavailable",
    "PackageError",
    "PackageMismatch",
    "PackageAppendResult",
    "append_to_package",
    "WarcEntry",
    "list_warcs",
    "available_inflaters",
    "NONE",
    "GZIP",
    "GZIP_PER_RECORD",
    "Package",
    "is_package",
    "sign",
    "verify",
    "Signer",
    "SignResult",
    "Verification",
    "VerifyReport",
    "SdkError",
    "SdkUnavailable",
]
__getattr__ = on_first_use(__name__, __all__, ("._write", ".package", ".provenance"))
