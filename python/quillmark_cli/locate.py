"""Finding the record at which a malformed archive fails to parse.

The module reports what is wrong but, apart from a missing version mark, not
where. The walk below finds the failing record's offset in one forward pass,
and leaves every verdict to the module: it only frames records (gap, version
mark, header end, body size), and each body size it uses is one the module has
confirmed by parsing that record on its own. A record that the module rejects
on its own is the failing one, because the module parses forward and every
record before it has already parsed on its own.
"""

from __future__ import annotations

import re

import quillmark

_BODY_PAST_END = "invalid WARC record: body extends past end of data"
_MESSAGE_OFFSET = re.compile(r"expected WARC/1\.1 at offset (\d+)$")
_VERSION_MARK = b"WARC/1.1"
_HEADER_END = b"\r\n\r\n"
_GAP = re.compile(rb"[\r\n]*")
# Unicode White_Space, the characters trimmed from header names and values.
_WHITE_SPACE = "\t\n\x0b\x0c\r \x85\xa0\u1680" + "".join(map(chr, range(0x2000, 0x200B)))
_WHITE_SPACE += "\u2028\u2029\u202f\u205f\u3000"
_NUMBER = re.compile(r"\+?[0-9]+")
_MAX_SIZE = 2**64 - 1


def failing_record_offset(data: bytes, message: str) -> int | None:
    """Offset of the record where parsing ``data`` fails with ``message``.

    None only if the walk finds no failing record, which means the module and
    this walk disagree about the archive.
    """
    stated = _MESSAGE_OFFSET.search(message)
    if stated:
        return int(stated.group(1))
    pos = 0
    while True:
        pos = _GAP.match(data, pos).end()
        if pos >= len(data):
            return None
        if data[pos : pos + len(_VERSION_MARK)] != _VERSION_MARK:
            return pos
        header_end = data.find(_HEADER_END, pos)
        if header_end < 0:
            return pos
        body_start = header_end + len(_HEADER_END)
        body_size = _confirmed_body_size(data, pos, body_start)
        if body_size is None:
            return pos
        # The record separator is CR and LF bytes only, so the gap skip covers it.
        pos = body_start + body_size


def _confirmed_body_size(data: bytes, start: int, body_start: int) -> int | None:
    """The body size the module reads for the record at ``start``, or None when
    the module rejects that record."""
    header = data[start:body_start]
    available = len(data) - body_start
    block = header[: -len(_HEADER_END)]
    tried = set()
    for reading in (_plain_content_length, _content_length):
        hint = reading(block)
        if hint is None or hint > available or hint in tried:
            continue
        tried.add(hint)
        # The usual case: the module parses exactly this one record and agrees.
        try:
            records = quillmark.read_records(data[start : body_start + hint])
        except ValueError:
            records = []
        if len(records) == 1 and len(records[0]["body"]) == hint:
            return hint
    # Otherwise ask the module alone: first whether it accepts the header block.
    try:
        quillmark.read_records(header)
    except ValueError as exc:
        if str(exc) != _BODY_PAST_END:
            return None
    else:
        return 0
    return _search_body_size(header, available)


def _body_fits(header: bytes, size: int) -> bool:
    """Whether the module accepts ``header`` followed by ``size`` filler bytes.

    LF filler past the body is read as a separator and gap, so this holds
    exactly when the record's Content-Length is at most ``size``.
    """
    try:
        quillmark.read_records(header + b"\n" * size)
    except ValueError:
        return False
    return True


def _search_body_size(header: bytes, available: int) -> int | None:
    """The smallest body size the module accepts, asked of the module alone.

    Only needed when the quick reading of Content-Length disagrees with the
    module; it costs a few parses of up to ``available`` filler bytes.
    """
    if not _body_fits(header, available):
        return None
    low, high = 0, 1  # the size lies in (low, high]
    while high < available and not _body_fits(header, high):
        low, high = high, min(2 * high, available)
    while high - low > 1:
        middle = (low + high) // 2
        if _body_fits(header, middle):
            high = middle
        else:
            low = middle
    return high


def _plain_content_length(header_block: bytes) -> int | None:
    """The Content-Length of a header block written the usual way, found without
    decoding it; None for anything unusual, which the slower reading takes."""
    found = _PLAIN_CONTENT_LENGTH.findall(header_block)
    return int(found[-1]) if found else None


_PLAIN_CONTENT_LENGTH = re.compile(
    rb"\ncontent-length[ \t]*:[ \t]*\+?([0-9]{1,20})[ \t\r]*(?=\n|\Z)", re.IGNORECASE
)


def _content_length(header_block: bytes) -> int | None:
    """A reading of the Content-Length value of a header block by the parser's
    rules for lines, names and numbers."""
    try:
        text = header_block.decode("utf-8")
    except UnicodeDecodeError:
        return None
    value = None
    # A CR before a line's LF ends up at the end of its value, where trimming
    # removes it, so cutting at LF alone gives the same names and values.
    for line in text.split("\n")[1:]:
        name, colon, rest = line.partition(":")
        if colon and name.strip(_WHITE_SPACE).translate(_ASCII_LOWER) == "content-length":
            value = rest.strip(_WHITE_SPACE)
    if value is None or not _NUMBER.fullmatch(value):
        return None
    digits = value.lstrip("+").lstrip("0") or "0"
    if len(digits) > len(str(_MAX_SIZE)):
        return None  # also keeps int() clear of its limit on very long digit strings
    number = int(digits)
    return number if number <= _MAX_SIZE else None


_ASCII_LOWER = {code: code + 32 for code in range(ord("A"), ord("Z") + 1)}
