"""Shared helpers for the pytest suite: a small record builder and Hypothesis profiles."""

from __future__ import annotations

import os
import re
import signal
import subprocess
from typing import Union

from hypothesis import HealthCheck, settings

# Hypothesis profiles. "fast" keeps the whole suite quick; "thorough" is for a
# long local run. Choose one with HYPOTHESIS_PROFILE=<name>.
settings.register_profile(
    "fast",
    max_examples=100,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow],
)
settings.register_profile(
    "thorough",
    max_examples=2000,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow],
)
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "fast"))

MANIFEST_WARC_TYPE = "c2paprovenance"
MANIFEST_CONTENT_TYPE = "application/c2pa"
TERMINATOR = b"\r\n\r\n"

# Characters that the reader trims from header names and values: exactly the
# Unicode White_Space set (Python's str.strip() would also drop U+001C..U+001F).
WHITE_SPACE = (
    "\t\n\x0b\x0c\r \x85\xa0\u1680"
    + "".join(chr(c) for c in range(0x2000, 0x200B))
    + "\u2028\u2029\u202f\u205f\u3000"
)

_AUTO = object()

Text = Union[str, bytes]
Header = Union[Text, tuple]


def as_bytes(value: Text) -> bytes:
    return value.encode("utf-8") if isinstance(value, str) else value


def trim(text: str) -> str:
    return text.strip(WHITE_SPACE)


def ascii_lower(text: str) -> str:
    return "".join(chr(ord(c) + 32) if "A" <= c <= "Z" else c for c in text)


def header_line(header: Header) -> bytes:
    """A (name, value) pair becomes "name: value"; str or bytes is a raw line."""
    if isinstance(header, tuple):
        name, value = header
        return as_bytes(name) + b": " + as_bytes(value)
    return as_bytes(header)


def make_record(
    *headers: Header,
    body: bytes = b"",
    content_length=_AUTO,
    version: Text = b"WARC/1.1",
    eol: bytes = b"\r\n",
    separator: bytes = TERMINATOR,
) -> bytes:
    """One record as raw archive bytes.

    A "Content-Length" line for the body's size is added after `headers` unless
    `content_length` is given (its text is written as is) or None (no line).
    """
    lines = [as_bytes(version)] + [header_line(h) for h in headers]
    if content_length is _AUTO:
        lines.append(b"Content-Length: %d" % len(body))
    elif content_length is not None:
        lines.append(b"Content-Length: " + as_bytes(content_length))
    return eol.join(lines) + TERMINATOR + body + separator


def resource_record(body: bytes = b"payload", **kwargs) -> bytes:
    return make_record(
        ("WARC-Type", "resource"), ("Content-Type", "text/plain"), body=body, **kwargs
    )


def manifest_record(body: bytes = b"store", *extra: Header, **kwargs) -> bytes:
    return make_record(
        ("WARC-Type", MANIFEST_WARC_TYPE),
        ("Content-Type", MANIFEST_CONTENT_TYPE),
        *extra,
        body=body,
        **kwargs,
    )


DATE_PATTERN = rb"\d{4,}-\d\d-\d\dT\d\d:\d\d:\d\dZ"
_DATE_LINE = re.compile(rb"WARC-Date: " + DATE_PATTERN + rb"\r\n")


def mask_date(data: bytes) -> bytes:
    """Replace every well-formed WARC-Date line with a fixed placeholder."""
    return _DATE_LINE.sub(b"WARC-Date: <date>\r\n", data)


def assert_reads_back_as_built(
    out: bytes,
    warc_type: str,
    content_type: str,
    record_id: str,
    body: bytes,
    target_uri: str | None,
) -> None:
    """`out`, made by build_record from these arguments, lists as that one record."""
    import quillmark

    [record] = quillmark.read_records(out)
    assert record["offset"] == 0
    assert record["length"] == len(out)
    assert record["body"] == body
    date = re.search(rb"\r\nWARC-Date: (" + DATE_PATTERN + rb")\r\n", out).group(1).decode()
    expected = {"warc-type": trim(warc_type), "warc-record-id": f"<{record_id}>"}
    if target_uri is not None:
        expected["warc-target-uri"] = trim(target_uri)
    expected["warc-date"] = date
    expected["content-type"] = trim(content_type)
    expected["content-length"] = str(len(body))
    assert list(record["headers"].items()) == list(expected.items())


def invalid(detail: str) -> str:
    return "invalid WARC record: " + detail


def interruptible(argv: list) -> subprocess.Popen:
    """Starts `argv` with its output piped and Ctrl-C's default action in place.

    A suite run from a shell's background job (or under nohup) inherits SIGINT
    ignored, and a child would keep ignoring it; the tests that interrupt a
    command need it to arrive as it does from a terminal.
    """
    return subprocess.Popen(
        argv,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL),
    )
