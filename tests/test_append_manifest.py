"""append_manifest: what is kept, what is dropped, and the new manifest record."""

from __future__ import annotations

import calendar
import time

import pytest
import quillmark
from conftest import (
    MANIFEST_CONTENT_TYPE,
    MANIFEST_WARC_TYPE,
    invalid,
    make_record,
    manifest_record,
    mask_date,
    resource_record,
)

A = resource_record(b"record A")
B = make_record(("WARC-Type", "response"), ("Content-Type", "application/http"), body=b"B")
M1 = manifest_record(b"old store 1")
M2 = manifest_record(b"old store 2", separator=b"\n\n")


def new_manifest(store: bytes, record_id: str) -> bytes:
    """The manifest record that append_manifest writes, date masked."""
    return mask_date(
        quillmark.build_record(MANIFEST_WARC_TYPE, MANIFEST_CONTENT_TYPE, record_id, store)
    )


def append(warc: bytes, store: bytes = b"new store", record_id: str = "urn:uuid:new") -> bytes:
    out = quillmark.append_manifest(warc, store, record_id)
    assert type(out) is bytes
    return out


def value_error(*args) -> str:
    with pytest.raises(ValueError) as info:
        quillmark.append_manifest(*args)
    assert type(info.value) is ValueError
    assert len(info.value.args) == 1
    return info.value.args[0]


@pytest.mark.parametrize("store, record_id", [(b"", ""), (b"m", "id"), (b"\x00" * 10, "\ud7ff")])
def test_empty_archive_is_rejected(store, record_id):
    assert value_error(b"", store, record_id) == invalid("empty WARC data")


@pytest.mark.parametrize(
    "warc, kept",
    [
        (b"\r\n", b""),
        (b"\n", b""),
        (b"\r\n\r\n\n\r", b""),
        (M1, b""),
        (M1 + M2, b""),
        (A, A),
        (A + M1 + B + M2, A + B),
        (M1 + A + M2 + B, A + B),
        (b"\r\n\r\n" + A, A),
        (b"\n\n\n" + A + b"\r\n" + M1 + b"\n" + B + b"\r\n\r\n\n", A + B),
    ],
    ids=[
        "crlf only",
        "lf only",
        "gap only",
        "only a manifest",
        "only manifests",
        "one record",
        "A M1 B M2",
        "M1 A M2 B",
        "leading gap",
        "gaps everywhere",
    ],
)
def test_kept_records_then_new_manifest(warc, kept):
    out = append(warc, b"new store", "urn:uuid:new")
    assert out.startswith(kept)
    assert mask_date(out[len(kept) :]) == new_manifest(b"new store", "urn:uuid:new")


@pytest.mark.parametrize(
    "separator, copied",
    [
        (b"\r\n\r\n", b"\r\n\r\n"),
        (b"\r\n\r\n\r\n", b"\r\n\r\n"),
        (b"\n\n", b"\n\n"),
        (b"\n\n\r\n\n", b"\n\n"),
        (b"\r\n", b""),
        (b"\n", b""),
        (b"\n\r\n\r\n", b""),
        (b"", b""),
    ],
)
def test_separator_copied_with_its_record_and_gap_dropped(separator, copied):
    first = make_record(("X-First", "1"), body=b"1", separator=b"")
    second = make_record(("X-Second", "2"), body=b"2", separator=b"")
    for tail in (second, b""):
        out = append(first + separator + tail)
        expected_kept = first + copied + tail
        assert out.startswith(expected_kept)
        assert mask_date(out[len(expected_kept) :]) == new_manifest(b"new store", "urn:uuid:new")
        records = quillmark.read_records(out)
        assert len(records) == (3 if tail else 2)


@pytest.mark.parametrize(
    "lookalike",
    [
        make_record(("WARC-Type", MANIFEST_WARC_TYPE), ("Content-Type", "application/c2pa; x=1")),
        make_record(("WARC-Type", "resource"), ("Content-Type", MANIFEST_CONTENT_TYPE)),
        make_record(("WARC-Type", "C2PAprovenance"), ("Content-Type", MANIFEST_CONTENT_TYPE)),
        make_record(("WARC-Type", MANIFEST_WARC_TYPE)),
        make_record(("Content-Type", MANIFEST_CONTENT_TYPE)),
        make_record(
            ("WARC-Type", MANIFEST_WARC_TYPE),
            ("Content-Type", MANIFEST_CONTENT_TYPE),
            ("WARC-Type", "resource"),
        ),
    ],
)
def test_lookalike_records_are_kept(lookalike):
    out = append(A + lookalike + M1)
    assert out.startswith(A + lookalike)
    assert quillmark.read_manifest(out) == b"new store"


def test_manifest_records_in_any_spelling_are_dropped():
    spelled = make_record(
        ("warc-TYPE", "  c2paprovenance\t"), ("CONTENT-TYPE", "\u00a0application/c2pa"), body=b"x"
    )
    out = append(A + spelled + B)
    assert out.startswith(A + B)
    assert [r["body"] for r in quillmark.read_records(out)] == [b"record A", b"B", b"new store"]


def test_appending_twice_keeps_only_the_newer_manifest():
    once = append(A + M1 + B, b"first", "urn:uuid:1")
    twice = append(once, b"second", "urn:uuid:2")
    assert twice.startswith(A + B)
    assert mask_date(twice[len(A + B) :]) == new_manifest(b"second", "urn:uuid:2")
    assert quillmark.read_manifest(twice) == b"second"


def test_new_record_headers():
    out = append(A, b"", "urn:uuid:\u00e9")
    records = quillmark.read_records(out)
    assert len(records) == 2
    new = records[-1]
    headers = dict(new["headers"])
    date = headers.pop("warc-date")
    assert headers == {
        "warc-type": MANIFEST_WARC_TYPE,
        "warc-record-id": "<urn:uuid:\u00e9>",
        "content-type": MANIFEST_CONTENT_TYPE,
        "content-length": "0",
    }
    assert new["body"] == b""
    secs = calendar.timegm(time.strptime(date, "%Y-%m-%dT%H:%M:%SZ"))
    assert abs(secs - time.time()) < 5
    assert new["offset"] + new["length"] == len(out)


@pytest.mark.parametrize(
    "store",
    [b"", b"x", bytes(range(256)) * 100, b"WARC/1.1\r\nContent-Length: 0\r\n\r\n\r\n\r\n"],
)
def test_store_becomes_the_new_body_unchanged(store):
    out = append(A + M1, store)
    assert quillmark.read_manifest(out) == store
    assert out.endswith(b"Content-Length: %d\r\n\r\n" % len(store) + store + b"\r\n\r\n")


@pytest.mark.parametrize(
    "warc, detail",
    [
        (b"garbage", "expected WARC/1.1 at offset 0"),
        (A + b"x", f"expected WARC/1.1 at offset {len(A)}"),
        (A + b"\r\n\r\nWARC/1", f"expected WARC/1.1 at offset {len(A) + 4}"),
        (A + M1 + b"WARC/1.1\r\nContent-Length: 0", "unterminated header"),
        (b"WARC/1.1\r\nX: \xc3\r\n\r\n", "non-UTF-8 header"),
        (b"WARC/1.1\r\n\r\n", "missing Content-Length"),
        (make_record(content_length="-0"), "invalid Content-Length"),
        (make_record(content_length="18446744073709551616"), "invalid Content-Length"),
        (make_record(content_length="18446744073709551615"), "body extends past end of data"),
        (M1 + make_record(content_length="3", separator=b""), "body extends past end of data"),
    ],
)
def test_parser_errors_pass_through(warc, detail):
    assert value_error(warc, b"store", "id") == invalid(detail)
    with pytest.raises(ValueError) as info:
        quillmark.read_records(warc)
    assert info.value.args == (invalid(detail),)


def test_inputs_are_left_unchanged():
    warc = A + M1 + B
    store = b"store bytes"
    snapshots = (bytes(bytearray(warc)), bytes(bytearray(store)))
    append(warc, store)
    value_error(warc + b"!", store, "id")
    assert (warc, store) == snapshots


def test_large_archive():
    records = [resource_record(bytes([i % 256]) * (i * 97 % 5000)) for i in range(400)]
    warc = b"".join(
        r + (manifest_record(b"m") if i % 50 == 0 else b"") for i, r in enumerate(records)
    )
    out = append(warc, b"s" * 100_000)
    assert out.startswith(b"".join(records))
    assert quillmark.read_manifest(out) == b"s" * 100_000
