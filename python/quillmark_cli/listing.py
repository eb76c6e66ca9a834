"""Rendering the record list: a table for people, JSON lines for programs."""

from __future__ import annotations

import json
from collections.abc import Iterable, Iterator

from quillmark_files import FileRecord

_TABLE_COLUMNS = ("OFFSET", "LENGTH", "BODY", "WARC-TYPE", "RECORD-ID")
_NUMERIC_COLUMNS = 3  # right-aligned


def json_line(record: FileRecord) -> str:
    """One JSON object for a record: position, sizes and every header, no body.

    For a gzipped archive, a record that starts a gzip member also gets
    "gzip_offset", where a reader can seek to in the compressed file, and,
    when the next record (or the end) starts a member too, "gzip_length", the
    compressed bytes up to there.
    """
    row: dict[str, object] = {
        "offset": record.offset,
        "length": record.length,
        "body_size": record.body_size,
    }
    if record.gzip_offset is not None:
        row["gzip_offset"] = record.gzip_offset
        if record.gzip_length is not None:
            row["gzip_length"] = record.gzip_length
    row["headers"] = dict(sorted(record.headers.items()))
    return json.dumps(row)


def table_cells(record: FileRecord) -> tuple[str, ...]:
    return (
        str(record.offset),
        str(record.length),
        str(record.body_size),
        printable(record.headers.get("warc-type", "-")),
        printable(record.headers.get("warc-record-id", "-")),
    )


def printable(text: str) -> str:
    """``text`` with control and other invisible characters escaped, so that
    header values cannot move the cursor or recolour a terminal."""
    if text.isprintable():
        return text
    return "".join(char if char.isprintable() else _escape(char) for char in text)


def _escape(char: str) -> str:
    code = ord(char)
    if code <= 0xFF:
        return f"\\x{code:02x}"
    if code <= 0xFFFF:
        return f"\\u{code:04x}"
    return f"\\U{code:08x}"


def table_lines(rows: Iterable[tuple[str, ...]], widths: list[int]) -> Iterator[str]:
    """An aligned table, one row per record, under a heading row; ``widths``
    must cover the heading and every row (see column_widths)."""
    for row in [_TABLE_COLUMNS, *rows]:
        cells = [
            cell.rjust(width) if index < _NUMERIC_COLUMNS else cell.ljust(width)
            for index, (cell, width) in enumerate(zip(row, widths))
        ]
        yield "  ".join(cells).rstrip()


def column_widths(widths: list[int] | None, row: tuple[str, ...]) -> list[int]:
    """The widths so far (None at first) widened to fit ``row``."""
    if widths is None:
        widths = [len(cell) for cell in _TABLE_COLUMNS]
    return [max(width, len(cell)) for width, cell in zip(widths, row)]
