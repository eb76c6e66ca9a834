"""read_manifest: which records count as manifest records and which store is returned."""

from __future__ import annotations

import pytest
import quillmark
from conftest import (
    MANIFEST_CONTENT_TYPE,
    MANIFEST_WARC_TYPE,
    invalid,
    make_record,
    manifest_record,
    resource_record,
)


def record_with(warc_type, content_type, body=b"store") -> bytes:
    headers = []
    if warc_type is not None:
        headers.append(warc_type if isinstance(warc_type, tuple) else ("WARC-Type", warc_type))
    if content_type is not None:
        headers.append(
            content_type if isinstance(content_type, tuple) else ("Content-Type", content_type)
        )
    return make_record(*headers, body=body)


@pytest.mark.parametrize(
    "data",
    [b"", b"\r\n", b"\n\r\n\r\n\n", resource_record(), resource_record() * 3],
    ids=["empty", "crlf", "gap only", "one ordinary", "three ordinary"],
)
def test_no_manifest_gives_none(data):
    assert quillmark.read_manifest(data) is None


@pytest.mark.parametrize(
    "warc_type, content_type",
    [
        (MANIFEST_WARC_TYPE, MANIFEST_CONTENT_TYPE),
        (("WARC-TYPE", MANIFEST_WARC_TYPE), ("CONTENT-TYPE", MANIFEST_CONTENT_TYPE)),
        (("warc-type", MANIFEST_WARC_TYPE), ("cOnTeNt-TyPe", MANIFEST_CONTENT_TYPE)),
        (" \tc2paprovenance ", "\tapplication/c2pa  "),
        ("\u00a0c2paprovenance\u3000", "\u2003application/c2pa\u0085"),
        ((" WARC-Type\t", MANIFEST_WARC_TYPE), ("Content-Type ", MANIFEST_CONTENT_TYPE)),
    ],
)
def test_manifest_record_is_recognised(warc_type, content_type):
    archive = resource_record() + record_with(warc_type, content_type, b"the store")
    assert quillmark.read_manifest(archive) == b"the store"


@pytest.mark.parametrize(
    "warc_type, content_type",
    [
        (MANIFEST_WARC_TYPE, None),
        (None, MANIFEST_CONTENT_TYPE),
        (None, None),
        ("resource", MANIFEST_CONTENT_TYPE),
        (MANIFEST_WARC_TYPE, "text/plain"),
        ("C2PAprovenance", MANIFEST_CONTENT_TYPE),
        ("c2pa-provenance", MANIFEST_CONTENT_TYPE),
        ("c2paprovenanceX", MANIFEST_CONTENT_TYPE),
        ("c2paprovenanc", MANIFEST_CONTENT_TYPE),
        ("\u200bc2paprovenance", MANIFEST_CONTENT_TYPE),
        (MANIFEST_WARC_TYPE, "Application/C2PA"),
        (MANIFEST_WARC_TYPE, "application/c2pa; charset=binary"),
        (MANIFEST_WARC_TYPE, "application/c2pa;"),
        (MANIFEST_WARC_TYPE, "application/c2pa2"),
        (MANIFEST_WARC_TYPE, "application/c2p"),
        (MANIFEST_WARC_TYPE, '"application/c2pa"'),
        (("X-WARC-Type", MANIFEST_WARC_TYPE), MANIFEST_CONTENT_TYPE),
        (MANIFEST_WARC_TYPE, ("Content-Type-X", MANIFEST_CONTENT_TYPE)),
    ],
)
def test_near_misses_are_not_manifest_records(warc_type, content_type):
    assert quillmark.read_manifest(record_with(warc_type, content_type)) is None


def test_record_without_any_header_but_length_is_not_a_manifest():
    assert quillmark.read_manifest(make_record(body=b"x")) is None


@pytest.mark.parametrize(
    "warc_types, expected",
    [
        ([MANIFEST_WARC_TYPE, "resource"], None),
        (["resource", MANIFEST_WARC_TYPE], b"store"),
        ([MANIFEST_WARC_TYPE, MANIFEST_WARC_TYPE], b"store"),
    ],
)
def test_repeated_warc_type_uses_the_later_value(warc_types, expected):
    lines = [("WARC-Type", t) for t in warc_types]
    data = make_record(*lines, ("Content-Type", MANIFEST_CONTENT_TYPE), body=b"store")
    assert quillmark.read_manifest(data) == expected


@pytest.mark.parametrize(
    "layout, expected",
    [
        (["M1"], b"first"),
        (["M1", "M2"], b"second"),
        (["M1", "R", "M3"], b"third"),
        (["R", "M2", "R"], b"second"),
        (["M1", "M2", "M3", "R"], b"third"),
    ],
)
def test_last_manifest_record_wins(layout, expected):
    bodies = {"M1": b"first", "M2": b"second", "M3": b"third"}
    archive = b"".join(
        resource_record() if item == "R" else manifest_record(bodies[item]) for item in layout
    )
    assert quillmark.read_manifest(archive) == expected


def test_empty_manifest_store_is_empty_bytes_not_none():
    result = quillmark.read_manifest(resource_record() + manifest_record(b""))
    assert result == b""
    assert type(result) is bytes


@pytest.mark.parametrize(
    "store",
    [
        b"\x00" * 10,
        bytes(range(256)),
        b"WARC/1.1\r\nWARC-Type: c2paprovenance\r\n\r\n",
        b"\r\n\r\n\n\n",
        b"\xff" * 100_000,
    ],
)
def test_store_is_returned_byte_for_byte(store):
    result = quillmark.read_manifest(manifest_record(store, separator=b"\n\n"))
    assert result == store
    assert type(result) is bytes


def test_built_manifest_record_is_found():
    record = quillmark.build_record(MANIFEST_WARC_TYPE, MANIFEST_CONTENT_TYPE, "urn:uuid:x", b"s")
    assert quillmark.read_manifest(record) == b"s"
    with_target = quillmark.build_record(
        MANIFEST_WARC_TYPE, MANIFEST_CONTENT_TYPE, "id", b"t", target_uri="https://example.com/"
    )
    assert quillmark.read_manifest(resource_record() + with_target) == b"t"


@pytest.mark.parametrize(
    "tail, detail",
    [
        (b"WARC/1.1\r\nWARC-Type: resource\r\nContent-Length: 0", "unterminated header"),
        (b"WARC/1.1\r\nContent-Length: 10\r\n\r\nshort", "body extends past end of data"),
        (b"trailing text", None),
        (b"WARC/1.1\r\n\r\n", "missing Content-Length"),
    ],
)
def test_malformed_archive_raises_even_after_the_manifest(tail, detail):
    head = manifest_record(b"store")
    if detail is None:
        detail = f"expected WARC/1.1 at offset {len(head)}"
    with pytest.raises(ValueError) as info:
        quillmark.read_manifest(head + tail)
    assert type(info.value) is ValueError
    assert info.value.args == (invalid(detail),)


def test_malformed_archive_before_the_manifest():
    data = b"WARC/1.1\r\nX: \xff\r\nContent-Length: 0\r\n\r\n" + manifest_record()
    with pytest.raises(ValueError, match="^invalid WARC record: non-UTF-8 header$"):
        quillmark.read_manifest(data)
