"""Audit reports: the fields of a row, and rows written as JSON lines, CSV or
Parquet, and read back.

Every format has the same fields, in the same order, with the same types:
integers and texts, and null for "none" (an empty cell in CSV, where an
empty text cannot occur: every text field is either null or non-empty).
Rows are written as they come, so that an interrupted audit still leaves a
complete report of the files it finished.
"""

from __future__ import annotations

import csv
import io
import json
import os
from typing import IO, Any

# The fields of a row, in this order, with their types (None is always allowed
# but for "path").
FIELDS = (
    ("path", str),  # the file as given or found; "package#archive/name" for a WARC in a package
    ("size", int),  # bytes on disk; None when the file cannot be looked at
    ("compression", str),  # "none", "gzip-per-record", "gzip"; None when unknown
    ("records", int),  # None when the file failed
    ("error", str),  # None when the file is well-formed
    ("manifest_records", int),  # None when the file failed
    ("manifest_size", int),  # None when there is no manifest store
    ("manifest_sha256", str),  # hex; None when there is no manifest store
)
FIELD_NAMES = tuple(name for name, _ in FIELDS)
# With ``audit --verify`` only, after those: the state of the archive's signature.
VERIFY_FIELDS = (
    # "valid", "invalid", "unsigned" or "not a C2PA store"; None when the file failed
    ("signature", str),
    ("signature_error", str),  # why it is invalid or not a C2PA store, one line
    ("signer", str),  # the signing certificate's subject (RFC 4514); None without a store
)


def fields(verify: bool = False) -> tuple[tuple[str, type], ...]:
    """The fields of a row, with those of ``audit --verify`` when asked."""
    return FIELDS + VERIFY_FIELDS if verify else FIELDS


def field_names(verify: bool = False) -> tuple[str, ...]:
    return tuple(name for name, _ in fields(verify))


Row = dict[str, Any]

JSONL, CSV, PARQUET = "jsonl", "csv", "parquet"
FORMATS = (JSONL, CSV, PARQUET)
_SUFFIXES = {".jsonl": JSONL, ".json": JSONL, ".ndjson": JSONL, ".csv": CSV, ".parquet": PARQUET}
_PARQUET_BATCH = 4096  # rows per row group
_TYPES = dict(fields(verify=True))


class ParquetUnavailable(RuntimeError):
    """Parquet was asked for, but pyarrow is not installed."""


def format_of(path: str) -> str | None:
    """The format a report's file name asks for, if any."""
    return _SUFFIXES.get(os.path.splitext(path)[1].lower())


def _pyarrow() -> Any:
    try:
        import pyarrow  # type: ignore[import-untyped,unused-ignore]
        import pyarrow.parquet  # type: ignore[import-untyped,unused-ignore]
    except ImportError:
        raise ParquetUnavailable(
            "Parquet reports need pyarrow: pip install 'quillmark[parquet]'"
        ) from None
    return pyarrow


def arrow_schema(verify: bool = False) -> Any:
    pa = _pyarrow()
    kinds = {int: pa.int64(), str: pa.string()}
    return pa.schema([pa.field(name, kinds[kind], nullable=True) for name, kind in fields(verify)])


class ReportWriter:
    """Writes rows to a binary stream in one format; ``close`` completes the
    report (Parquet's footer) without closing the stream. With ``verify``,
    rows have the fields of ``audit --verify``."""

    def __init__(self, stream: IO[bytes], format: str, verify: bool = False) -> None:
        if format not in FORMATS:
            raise ValueError(f"unknown report format {format!r}")
        self.format = format
        self.verify = verify
        self.names = field_names(verify)
        self.rows = 0
        self._stream = stream
        self._batch: list[Row] = []
        self._parquet: Any = None
        if format == CSV:
            self._text = io.TextIOWrapper(
                stream, "utf-8", "surrogateescape", newline="", write_through=True
            )
            self._csv = csv.writer(self._text)
            self._csv.writerow(self.names)
        elif format == PARQUET:
            pa = _pyarrow()
            self._parquet = pa.parquet.ParquetWriter(stream, arrow_schema(verify))

    def write(self, row: Row) -> None:
        """Writes one row; a text row is flushed at once, so that readers of
        a pipe see each file as it is done (a file costs far more than a write)."""
        self.rows += 1
        if self.format == JSONL:
            # One write per row, so that a stop never leaves half a line.
            line = json.dumps({name: row[name] for name in self.names}, ensure_ascii=False)
            self._stream.write(line.encode("utf-8", "surrogateescape") + b"\n")
            self._stream.flush()
        elif self.format == CSV:
            self._csv.writerow(["" if row[name] is None else row[name] for name in self.names])
            self._stream.flush()
        else:
            self._batch.append(row)
            if len(self._batch) >= _PARQUET_BATCH:
                self._write_batch()

    def _write_batch(self) -> None:
        if self._batch:
            pa = _pyarrow()
            columns = {name: [row[name] for row in self._batch] for name in self.names}
            # Parquet texts are UTF-8: bytes of a file name that are not get \xNN escapes.
            columns["path"] = [
                path.encode("utf-8", "surrogateescape").decode("utf-8", "backslashreplace")
                for path in columns["path"]
            ]
            self._parquet.write_table(pa.table(columns, schema=arrow_schema(self.verify)))
            self._batch = []

    def close(self) -> None:
        if self.format == PARQUET:
            self._write_batch()
            self._parquet.close()
        elif self.format == CSV:
            self._text.flush()
            self._text.detach()
        self._stream.flush()


def read_report(path: str, format: str | None = None) -> list[Row]:
    """The rows of a report: one file, or a directory of part files as Spark
    writes them (part-*.json, part-*.parquet, or .csv), in their order. The
    fields of ``audit --verify`` are read where the report has them."""
    if os.path.isdir(path):
        parts = sorted(
            name for name in os.listdir(path) if name.startswith("part-") and format_of_part(name)
        )
        rows: list[Row] = []
        for name in parts:
            rows.extend(read_report(os.path.join(path, name), format or format_of_part(name)))
        return rows
    format = format or format_of(path) or JSONL
    if format == PARQUET:
        table = _pyarrow().parquet.read_table(path)
        names = field_names(VERIFY_FIELDS[0][0] in table.column_names)
        return [_typed(row, names) for row in table.select(list(names)).to_pylist()]
    with open(path, encoding="utf-8", errors="surrogateescape", newline="") as stream:
        if format == CSV:
            reader = csv.reader(stream)
            header = next(reader, None)
            if header is not None and tuple(header) not in (field_names(), field_names(True)):
                raise ValueError(f"{path}: not an audit report: its columns are {header}")
            names = tuple(header or FIELD_NAMES)
            return [
                _typed(dict(zip(names, (cell or None for cell in cells))), names)
                for cells in reader
            ]
        rows = [json.loads(line) for line in stream if line.strip()]
        return [_typed(row, field_names(VERIFY_FIELDS[0][0] in row)) for row in rows]


def format_of_part(name: str) -> str | None:
    for suffix, format in ((".json", JSONL), (".parquet", PARQUET), (".csv", CSV)):
        if name.endswith(suffix):
            return format
    return None


def _typed(row: dict[str, Any], names: tuple[str, ...] = FIELD_NAMES) -> Row:
    """A row with every field of ``names``, in order, each of its type or None."""
    typed: Row = {}
    for name in names:
        value = row.get(name)
        typed[name] = None if value is None else _TYPES[name](value)
    return typed
