"""Auditing a crawl: finding its archive files (_find), the rows of a file or
of each WARC in a package (_audit), auditing many at once on threads
(_threads), and the fields of a row and the reports rows are written to and
read from (_report). ``spark_audit.py`` runs the same audit as a Spark job.
Each module loads on first use of one of its names (see _lazy.py).
"""

from typing import TYPE_CHECKING

from .._lazy import on_first_use

if TYPE_CHECKING:
    from ._audit import audit_file, audit_package, audit_target
    from ._find import Target, find_archives, is_archive_name
    from ._report import (
        CSV,
        FIELD_NAMES,
        FIELDS,
        FORMATS,
        JSONL,
        PARQUET,
        ParquetUnavailable,
        ReportWriter,
        Row,
        arrow_schema,
        format_of,
        read_report,
    )
    from ._threads import FAILED_UNEXPECTEDLY, audit_all

__all__ = [
    "CSV",
    "FAILED_UNEXPECTEDLY",
    "FIELDS",
    "FIELD_NAMES",
    "FORMATS",
    "JSONL",
    "PARQUET",
    "ParquetUnavailable",
    "ReportWriter",
    "Row",
    "Target",
    "arrow_schema",
    "audit_all",
    "audit_file",
    "audit_package",
    "audit_target",
    "find_archives",
    "format_of",
    "is_archive_name",
    "read_report",
]
__getattr__ = on_first_use(
    __name__,
    {
        "._audit": ("audit_file", "audit_package", "audit_target"),
        "._find": ("Target", "find_archives", "is_archive_name"),
        "._report": (
            "CSV",
            "FIELD_NAMES",
            "FIELDS",
            "FORMATS",
            "JSONL",
            "PARQUET",
            "ParquetUnavailable",
            "ReportWriter",
            "Row",
            "arrow_schema",
            "format_of",
            "read_report",
        ),
        "._threads": ("FAILED_UNEXPECTEDLY", "audit_all"),
    },
)
