"""A plain Python model of the archive reader, used as an oracle in tests.

It is written for clarity, not speed: every framing rule is one obvious step,
so that any disagreement with the native reader points at a real fault.
"""

from __future__ import annotations

import re

VERSION = b"WARC/1.1"
TERMINATOR = b"\r\n\r\n"
MAX_SIZE = 2**64 - 1

# Characters with the Unicode White_Space property; str.strip() uses a
# different set (it also strips U+001C to U+001F), so it is not used here.
WHITE_SPACE = (
    "\t\n\x0b\x0c\r \x85\xa0\u1680"
    + "".join(chr(c) for c in range(0x2000, 0x200B))
    + "\u2028\u2029\u202f\u205f\u3000"
)

_NUMBER = re.compile(r"\+?[0-9]+")
_ASCII_LOWER = str.maketrans("ABCDEFGHIJKLMNOPQRSTUVWXYZ", "abcdefghijklmnopqrstuvwxyz")


class ModelError(Exception):
    """A malformed archive; str() is the message the module raises."""

    def __init__(self, detail: str):
        super().__init__("invalid WARC record: " + detail)


def trim(text: str) -> str:
    return text.strip(WHITE_SPACE)


def header_lines(block: str) -> list[str]:
    """The lines of a header block after the version line."""
    pieces = block.split("\n")
    lines = [p[:-1] if p.endswith("\r") else p for p in pieces[:-1]]
    if pieces[-1]:
        lines.append(pieces[-1])
    return lines[1:]


def parse_headers(block: str) -> dict[str, str]:
    headers: dict[str, str] = {}
    for line in header_lines(block):
        if ":" not in line:
            continue
        name, value = line.split(":", 1)
        # Assigning to an existing key keeps its first position: the order of
        # first appearance with the last value.
        headers[trim(name).translate(_ASCII_LOWER)] = trim(value)
    return headers


def parse_content_length(value: str) -> int | None:
    if not _NUMBER.fullmatch(value):
        return None
    number = int(value)
    return number if number <= MAX_SIZE else None


def read_records(data: bytes) -> list[dict]:
    """Every record as the module's dict, or ModelError."""
    records = []
    pos = 0
    while True:
        while pos < len(data) and data[pos] in b"\r\n":
            pos += 1
        if pos == len(data):
            return records
        offset = pos
        if data[offset : offset + 8] != VERSION:
            raise ModelError(f"expected WARC/1.1 at offset {offset}")
        terminator = data.find(TERMINATOR, offset)
        if terminator < 0:
            raise ModelError("unterminated header")
        try:
            block = data[offset:terminator].decode("utf-8")
        except UnicodeDecodeError:
            raise ModelError("non-UTF-8 header") from None
        headers = parse_headers(block)
        if "content-length" not in headers:
            raise ModelError("missing Content-Length")
        size = parse_content_length(headers["content-length"])
        if size is None:
            raise ModelError("invalid Content-Length")
        body_start = terminator + 4
        end = body_start + size
        if end > len(data):
            raise ModelError("body extends past end of data")
        body = data[body_start:end]
        if data[end : end + 4] == TERMINATOR:
            end += 4
        elif data[end : end + 2] == b"\n\n":
            end += 2
        records.append({"headers": headers, "body": body, "offset": offset, "length": end - offset})
        pos = end


def is_manifest(headers: dict[str, str]) -> bool:
    return (
        headers.get("warc-type") == "c2paprovenance"
        and headers.get("content-type") == "application/c2pa"
    )


def read_manifest(data: bytes) -> bytes | None:
    """The body of the last manifest record, None without one, or ModelError."""
    for record in reversed(read_records(data)):
        if is_manifest(record["headers"]):
            return record["body"]
    return None
