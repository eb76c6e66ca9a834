"""Auditing a crawl: finding its archive files (_find), the rows of a file or
of each WARC in a package (_audit), auditing many at once on threads
(_threads), the fields of a row and the reports rows go to (_report); the
same as a Spark job (spark_audit.py). Each module loads on first use.
"""

from typing import TYPE_CHECKING

from .._lazy import on_first_use

if TYPE_CHECKING:
    from ._audit import Verifying, audit_file, changed_while_read
    from ._find import Target, find_archives
    from ._report import (
        FIELD_NAMES,
        FIELDS,
        FORMATS,
        JSONL,
        PARQUET,
        VERIFY_FIELDS,
        ParquetUnavailable,
        ReportWriter,
        arrow_schema,
        field_names,
        format_of,
        read_report,
    )
    from ._threads import FAILED_UNEXPECTEDLY, audit_all

__all__ = [
    "FAILED_UNEXPECTEDLY",
    "FIELDS",
    "FIELD_NAMES",
    "FORMATS",
    "JSONL",
    "PARQUET",
    "ParquetUnavailable",
    "ReportWriter",
    "Target",
    "VERIFY_FIELDS",
    "Verifying",
    "arrow_schema",
    "audit_all",
    "audit_file",
    "changed_while_read",
    "field_names",
    "find_archives",
    "format_of",
    "read_report",
]
__getattr__ = on_first_use(__name__, __all__, ("._report", "._find", "._audit", "._threads"))
