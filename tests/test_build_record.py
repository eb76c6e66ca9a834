"""build_record: the exact bytes written, the date line, and reading the record back."""

from __future__ import annotations

import calendar
import re
import time

import pytest
import quillmark
from conftest import DATE_PATTERN, assert_reads_back_as_built, mask_date


def expected_record(
    warc_type: bytes,
    content_type: bytes,
    record_id: bytes,
    body: bytes,
    target_uri: bytes | None = None,
) -> bytes:
    target = b"" if target_uri is None else b"WARC-Target-URI: " + target_uri + b"\r\n"
    return (
        b"WARC/1.1\r\nWARC-Type: " + warc_type
        + b"\r\nWARC-Record-ID: <" + record_id + b">\r\n"
        + target
        + b"WARC-Date: <date>\r\nContent-Type: " + content_type
        + b"\r\nContent-Length: " + str(len(body)).encode()
        + b"\r\n\r\n" + body + b"\r\n\r\n"
    )  # fmt: skip


def test_worked_example():
    out = quillmark.build_record("resource", "text/plain", "urn:uuid:1", b"hi")
    assert type(out) is bytes
    assert len(out) == 147
    assert out.index(b"\r\n\r\nhi") + 4 == 141
    assert mask_date(out) == (
        b"WARC/1.1\r\n"
        b"WARC-Type: resource\r\n"
        b"WARC-Record-ID: <urn:uuid:1>\r\n"
        b"WARC-Date: <date>\r\n"
        b"Content-Type: text/plain\r\n"
        b"Content-Length: 2\r\n"
        b"\r\n"
        b"hi\r\n\r\n"
    )


def record_date(out: bytes) -> int:
    dates = re.findall(rb"\r\nWARC-Date: (" + DATE_PATTERN + rb")\r\n", out)
    assert len(dates) == 1, out
    return calendar.timegm(time.strptime(dates[0].decode(), "%Y-%m-%dT%H:%M:%SZ"))


@pytest.mark.parametrize("target_uri", [None, "http://example.com/"])
def test_date_is_the_current_utc_time(target_uri):
    before = int(time.time())
    out = quillmark.build_record("resource", "text/plain", "id", b"", target_uri)
    after = int(time.time())
    assert before - 2 <= record_date(out) <= after + 2


@pytest.mark.parametrize(
    "args, kwargs, expected",
    [
        (
            ("resource", "text/plain", "urn:uuid:1", b"hi"),
            {},
            expected_record(b"resource", b"text/plain", b"urn:uuid:1", b"hi"),
        ),
        (
            ("resource", "text/plain", "urn:uuid:1", b"hi"),
            {"target_uri": None},
            expected_record(b"resource", b"text/plain", b"urn:uuid:1", b"hi"),
        ),
        (
            ("resource", "text/plain", "urn:uuid:1", b"hi"),
            {"target_uri": ""},
            expected_record(b"resource", b"text/plain", b"urn:uuid:1", b"hi", b""),
        ),
        (
            ("response", "application/http", "x", b"body", "http://example.com/?q=1"),
            {},
            expected_record(
                b"response", b"application/http", b"x", b"body", b"http://example.com/?q=1"
            ),
        ),
        (("", "", "", b""), {}, expected_record(b"", b"", b"", b"")),
        (("t", "c", "<x>", b""), {}, expected_record(b"t", b"c", b"<x>", b"")),
        (("t", "c", "<", b""), {}, expected_record(b"t", b"c", b"<", b"")),
        (
            (" padded ", "\ttabbed\t", " id ", b" "),
            {"target_uri": " uri "},
            expected_record(b" padded ", b"\ttabbed\t", b" id ", b" ", b" uri "),
        ),
        (
            ("r\u00e9sum\u00e9", "text/\u4e2d", "urn:\U0001f600", b"\xff"),
            {"target_uri": "http://\u00fc.example/"},
            expected_record(
                "r\u00e9sum\u00e9".encode(),
                "text/\u4e2d".encode(),
                "urn:\U0001f600".encode(),
                b"\xff",
                "http://\u00fc.example/".encode(),
            ),
        ),
        (
            ("a\r\nX-Extra: b", "c", "d", b""),
            {},
            expected_record(b"a\r\nX-Extra: b", b"c", b"d", b""),
        ),
        (
            ("t", "c", "id", b"\r\n\r\nWARC/1.1\r\nContent-Length: 0\r\n\r\n"),
            {},
            expected_record(b"t", b"c", b"id", b"\r\n\r\nWARC/1.1\r\nContent-Length: 0\r\n\r\n"),
        ),
    ],
    ids=[
        "no target",
        "target None",
        "target empty",
        "target given",
        "all empty",
        "id already bracketed",
        "id lone bracket",
        "values untrimmed",
        "non-ascii",
        "crlf in value",
        "framing in body",
    ],
)
def test_exact_bytes(args, kwargs, expected):
    out = quillmark.build_record(*args, **kwargs)
    assert mask_date(out) == expected


def test_empty_body_ends_with_two_terminators():
    out = quillmark.build_record("t", "c", "i", b"")
    assert out.endswith(b"\r\nContent-Length: 0\r\n\r\n\r\n\r\n")


@pytest.mark.parametrize("size", [1, 9, 10, 999, 1000, 1001, 123_456, 4_000_000])
def test_content_length_is_the_body_size(size):
    body = bytes(i % 251 for i in range(size))
    out = quillmark.build_record("t", "c", "i", body)
    header_text = out[: out.index(b"\r\n\r\n") + 4]
    assert header_text.endswith(b"\r\nContent-Length: %d\r\n\r\n" % size)
    assert len(out) == len(header_text) + size + 4
    assert out[len(header_text) : len(header_text) + size] == body


def test_crlf_in_a_value_adds_a_header_line():
    out = quillmark.build_record("a\r\nX-Extra: b", "c", "d", b"")
    [record] = quillmark.read_records(out)
    assert list(record["headers"])[:3] == ["warc-type", "x-extra", "warc-record-id"]
    assert record["headers"]["x-extra"] == "b"


@pytest.mark.parametrize(
    "warc_type, content_type, record_id, body, target_uri",
    [
        ("resource", "text/plain", "urn:uuid:1", b"hi", None),
        ("resource", "text/plain", "urn:uuid:1", b"", ""),
        ("  spaced\t", "\u00a0nbsp\u3000", " id ", b"\r\n\r\n", " uri "),
        ("a\rb", "c:d", "<e>", b"WARC/1.1", "f\r"),
        ("\x00", "\x00", "\x00", b"\x00", "\x00"),
    ],
)
def test_read_back_as_one_record(warc_type, content_type, record_id, body, target_uri):
    out = quillmark.build_record(warc_type, content_type, record_id, body, target_uri)
    assert_reads_back_as_built(out, warc_type, content_type, record_id, body, target_uri)


def test_inputs_are_left_unchanged():
    body = bytes(range(256))
    snapshot = bytes(bytearray(body))
    text = "r\u00e9source"
    quillmark.build_record(text, text, text, body, text)
    assert body == snapshot
    assert text == "r\u00e9source"
