"""Rendering the record list: a table for people, JSON lines for programs."""

from __future__ import annotations

import json
from collections.abc import Iterator

_TABLE_COLUMNS = ("OFFSET", "LENGTH", "BODY", "WARC-TYPE", "RECORD-ID")
_NUMERIC_COLUMNS = 3  # right-aligned


def json_lines(records: list[dict], members: list[tuple[int, int]] | None = None) -> Iterator[str]:
    """One JSON object per record: position, sizes and every header, no body.

    For a gzipped archive (``members`` as read_archive gives them), a record
    that starts a gzip member also gets "gzip_offset", where a reader can seek
    to in the compressed file, and, when the next record (or the end) starts a
    member too, "gzip_length", the compressed bytes up to there.
    """
    compressed_at = {}
    for compressed, uncompressed in members or ():
        compressed_at.setdefault(uncompressed, compressed)
    end = members[-1][1] if members else None
    for index, record in enumerate(records):
        row = {
            "offset": record["offset"],
            "length": record["length"],
            "body_size": len(record["body"]),
        }
        start = compressed_at.get(record["offset"])
        if start is not None:
            row["gzip_offset"] = start
            following = records[index + 1]["offset"] if index + 1 < len(records) else end
            stop = compressed_at.get(following)
            if stop is not None:
                row["gzip_length"] = stop - start
        row["headers"] = dict(sorted(record["headers"].items()))
        yield json.dumps(row)


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


def table_lines(records: list[dict]) -> Iterator[str]:
    """An aligned table, one row per record, under a heading row."""
    rows = [
        (
            str(record["offset"]),
            str(record["length"]),
            str(len(record["body"])),
            printable(record["headers"].get("warc-type", "-")),
            printable(record["headers"].get("warc-record-id", "-")),
        )
        for record in records
    ]
    widths = [max(len(cell) for cell in column) for column in zip(_TABLE_COLUMNS, *rows)]
    for row in [_TABLE_COLUMNS, *rows]:
        cells = [
            cell.rjust(width) if index < _NUMERIC_COLUMNS else cell.ljust(width)
            for index, (cell, width) in enumerate(zip(row, widths))
        ]
        yield "  ".join(cells).rstrip()
