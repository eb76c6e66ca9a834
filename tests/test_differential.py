"""The native reader against a plain Python model, on many generated archives.

Every archive, well-formed or broken, must give the same records (headers in
the same order, bodies, offsets, lengths) or the same error message from both.
The manifest lookup and the appender are checked against the same model.
"""

from __future__ import annotations

import os
import re

import archive_gen
import pytest
import reader_model
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

quillmark = pytest.importorskip("quillmark")

QUICK = os.environ.get("QUILLMARK_QUICK") == "1"
SEEDS_PER_CHUNK = int(os.environ.get("QUILLMARK_DIFF_SEEDS", "300" if QUICK else "3000"))
# Hypothesis examples per property; the quick mode keeps a tenth.
EXAMPLES = 0.1 if QUICK else 1.0
CHUNKS = 10
RECORD_ID = "urn:uuid:00000000-0000-4000-8000-000000000000"
MANIFEST = b"\x00c2pa store\r\n\r\nWARC/1.1\xff"
DATE = re.compile(rb"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ")
DATE_MASK = b"0000-00-00T00:00:00Z"


def native_records(data: bytes):
    """read_records as plain values: header items keep their order."""
    try:
        records = quillmark.read_records(data)
    except ValueError as error:
        return "error", str(error)
    shaped = []
    for record in records:
        assert list(record) == ["headers", "body", "offset", "length"]
        shaped.append(
            (list(record["headers"].items()), record["body"], record["offset"], record["length"])
        )
    return "ok", shaped


def model_records(data: bytes):
    try:
        records = reader_model.read_records(data)
    except reader_model.ModelError as error:
        return "error", str(error)
    return "ok", [
        (list(r["headers"].items()), r["body"], r["offset"], r["length"]) for r in records
    ]


def native_manifest(data: bytes):
    try:
        return "ok", quillmark.read_manifest(data)
    except ValueError as error:
        return "error", str(error)


def model_manifest(data: bytes):
    try:
        return "ok", reader_model.read_manifest(data)
    except reader_model.ModelError as error:
        return "error", str(error)


def model_manifest_record(manifest: bytes, record_id: str) -> tuple[bytes, int]:
    """The record the appender adds, with a masked date, and the date's position."""
    head = f"WARC/1.1\r\nWARC-Type: c2paprovenance\r\nWARC-Record-ID: <{record_id}>\r\nWARC-Date: "
    tail = f"\r\nContent-Type: application/c2pa\r\nContent-Length: {len(manifest)}\r\n\r\n"
    head_bytes = head.encode()
    record = head_bytes + DATE_MASK + tail.encode() + manifest + b"\r\n\r\n"
    return record, len(head_bytes)


def model_append(data: bytes, manifest: bytes, record_id: str):
    if not data:
        return "error", "invalid WARC record: empty WARC data", None
    try:
        records = reader_model.read_records(data)
    except reader_model.ModelError as error:
        return "error", str(error), None
    kept = b"".join(
        data[r["offset"] : r["offset"] + r["length"]]
        for r in records
        if not reader_model.is_manifest(r["headers"])
    )
    record, date_at = model_manifest_record(manifest, record_id)
    return "ok", kept + record, len(kept) + date_at


def native_append(data: bytes, manifest: bytes, record_id: str, date_at: int | None):
    try:
        out = quillmark.append_manifest(data, manifest, record_id)
    except ValueError as error:
        return "error", str(error)
    assert date_at is not None, "appended where the model fails"
    assert DATE.fullmatch(out[date_at : date_at + 20]), out[date_at - 11 : date_at + 22]
    return "ok", out[:date_at] + DATE_MASK + out[date_at + 20 :]


def check_archive(data: bytes) -> None:
    assert native_records(data) == model_records(data), data
    assert native_manifest(data) == model_manifest(data), data
    kind, expected, date_at = model_append(data, MANIFEST, RECORD_ID)
    assert native_append(data, MANIFEST, RECORD_ID, date_at) == (kind, expected), data
    if kind == "ok":
        assert quillmark.read_manifest(expected) == MANIFEST


@pytest.mark.parametrize("chunk", range(CHUNKS))
def test_seeded_archives_match_the_model(chunk):
    for seed in range(chunk * SEEDS_PER_CHUNK, (chunk + 1) * SEEDS_PER_CHUNK):
        check_archive(archive_gen.archive(seed))


def test_generator_reaches_every_outcome():
    """Guards the generator itself: a drift to only-valid or only-broken
    archives would make the comparison above weak without failing it."""
    outcomes = set()
    for seed in range(3000):
        kind, result = model_records(archive_gen.archive(seed))
        outcomes.add(
            re.sub(r"offset \d+", "offset N", result)
            if kind == "error"
            else f"ok {min(len(result), 2)}"
        )
    assert outcomes >= {
        "ok 0",
        "ok 1",
        "ok 2",
        "invalid WARC record: expected WARC/1.1 at offset N",
        "invalid WARC record: unterminated header",
        "invalid WARC record: non-UTF-8 header",
        "invalid WARC record: missing Content-Length",
        "invalid WARC record: invalid Content-Length",
        "invalid WARC record: body extends past end of data",
    }


# Header text drawn from characters that matter to the reader: separators,
# every kind of white space, look-alikes that are not white space, colons and
# multi-byte characters.
header_chars = st.sampled_from(
    list("aZ:-_ /<>+09")
    + archive_gen.ASCII_SPACE
    + archive_gen.NON_ASCII_SPACE
    + archive_gen.NOT_SPACE
    + ["\n", "\r\n", "\u00e9", "\U0001f600", "\u0663"]
)
header_text = st.lists(header_chars, max_size=12).map("".join)


@st.composite
def structured_archives(draw):
    pieces = [draw(st.sampled_from([b"", b"\r\n", b"\n\r\n\n"]))]
    for _ in range(draw(st.integers(0, 3))):
        body = draw(st.binary(max_size=24) | st.sampled_from(archive_gen.BODY_PIECES))
        lines = [draw(st.sampled_from(["WARC/1.1", "WARC/1.1 x", "WARC/1.0", "WARC/1.1\u00a0"]))]
        lines += draw(st.lists(header_text, max_size=4))
        length = draw(
            st.sampled_from([str(len(body)), f"+{len(body)}", f" 0{len(body)}\u3000"])
            | st.sampled_from(archive_gen.CONTENT_LENGTH_EDGES)
            | header_text
        )
        lines.insert(draw(st.integers(1, len(lines))), "Content-Length:" + length)
        pieces.append("\r\n".join(lines).encode() + b"\r\n\r\n" + body)
        pieces.append(draw(st.sampled_from(archive_gen.SEPARATORS)))
    return b"".join(pieces)


@settings(
    max_examples=int(600 * EXAMPLES), deadline=None, suppress_health_check=[HealthCheck.too_slow]
)
@given(structured_archives())
def test_structured_archives_match_the_model(data):
    check_archive(data)


@settings(max_examples=int(400 * EXAMPLES), deadline=None)
@given(st.binary(max_size=64).map(lambda tail: b"WARC/1.1\r\n" + tail))
def test_raw_bytes_after_a_version_mark_match_the_model(data):
    check_archive(data)


@settings(max_examples=int(300 * EXAMPLES), deadline=None)
@given(
    archives=st.lists(st.integers(0, 2**32), min_size=1, max_size=3),
    manifest=st.binary(max_size=32),
    record_id=st.text(max_size=12).filter(lambda s: "\n" not in s),
)
def test_appender_matches_the_model_for_any_manifest_and_id(archives, manifest, record_id):
    data = b"".join(archive_gen.archive(seed) for seed in archives)
    try:
        record_id.encode("utf-8")
    except UnicodeEncodeError:
        with pytest.raises(UnicodeEncodeError):
            quillmark.append_manifest(data, manifest, record_id)
        return
    kind, expected, date_at = model_append(data, manifest, record_id)
    assert native_append(data, manifest, record_id, date_at) == (kind, expected)
