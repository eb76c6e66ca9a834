"""Properties that tie reading and writing together, over generated archives."""

from __future__ import annotations

import re
from dataclasses import dataclass

import pytest
import quillmark
from conftest import (
    MANIFEST_CONTENT_TYPE,
    MANIFEST_WARC_TYPE,
    ascii_lower,
    assert_reads_back_as_built,
    invalid,
    mask_date,
    trim,
)
from hypothesis import given
from hypothesis import strategies as st

# Texts that a header line can carry without ending it early.
NAME_CHARS = st.characters(blacklist_categories=("Cs",), blacklist_characters=":\r\n")
VALUE_CHARS = st.characters(blacklist_categories=("Cs",), blacklist_characters="\r\n")
WHITE = st.sampled_from(["", " ", "\t", "\u00a0", "\u3000", "\x0b", "\u2028"])

header_names = st.one_of(
    st.sampled_from(
        ["WARC-Type", "warc-type", "Content-Type", "CONTENT-TYPE", "WARC-Record-ID", "X-A", ""]
    ),
    st.text(NAME_CHARS, max_size=10),
).filter(lambda name: ascii_lower(trim(name)) != "content-length")
header_values = st.one_of(
    st.sampled_from([MANIFEST_WARC_TYPE, MANIFEST_CONTENT_TYPE, "resource", "C2PAprovenance"]),
    st.text(VALUE_CHARS, max_size=16),
)
bodies = st.one_of(
    st.binary(max_size=48),
    st.sampled_from([b"\r\n\r\n", b"WARC/1.1\r\nContent-Length: 0\r\n\r\n", b"\n\n", b"\r"]),
)
record_ids = st.text(st.characters(blacklist_categories=("Cs",), blacklist_characters="\n"))


@dataclass
class Generated:
    raw: bytes
    headers: dict
    body: bytes

    @property
    def is_manifest(self) -> bool:
        return (
            self.headers.get("warc-type") == MANIFEST_WARC_TYPE
            and self.headers.get("content-type") == MANIFEST_CONTENT_TYPE
        )


@st.composite
def records(draw) -> Generated:
    fields = draw(st.lists(st.tuples(header_names, header_values), max_size=5))
    if draw(st.booleans()):
        at = draw(st.integers(0, len(fields)))
        fields[at:at] = [
            (draw(st.sampled_from(["WARC-Type", "warc-type", " WARC-TYPE"])), MANIFEST_WARC_TYPE),
            (draw(st.sampled_from(["Content-Type", "content-TYPE"])), MANIFEST_CONTENT_TYPE),
        ]
    body = draw(bodies)
    length_text = draw(st.sampled_from(["{}", "+{}", "00{}", " {} ", "\t+{}\u3000"]))
    at = draw(st.integers(0, len(fields)))
    fields.insert(
        at,
        (
            draw(st.sampled_from(["Content-Length", "CONTENT-LENGTH"])),
            length_text.format(len(body)),
        ),
    )

    lines = ["WARC/1.1" + draw(st.sampled_from(["", " ", " trailing: text"]))]
    model: dict = {}
    for name, value in fields:
        lines.append(name + ":" + draw(WHITE) + value + draw(WHITE))
        model[ascii_lower(trim(name))] = trim(value)
    header_block = lines[0]
    for line in lines[1:]:
        header_block += draw(st.sampled_from(["\r\n", "\n"])) + line
    raw = header_block.encode() + b"\r\n\r\n" + body
    return Generated(raw, model, body)


@st.composite
def archives(draw):
    generated = draw(st.lists(records(), max_size=6))
    out = b""
    for record in generated:
        out += draw(st.sampled_from([b"", b"\r\n", b"\n", b"\r\n\r\n"]))
        out += record.raw
        out += draw(st.sampled_from([b"", b"\r\n\r\n", b"\n\n", b"\r\n"]))
    out += draw(st.sampled_from([b"", b"\r\n", b"\n\n\n"]))
    return out, generated


def check_matches_generation(warc: bytes, generated: list) -> list:
    parsed = quillmark.read_records(warc)
    assert len(parsed) == len(generated)
    for record, gen in zip(parsed, generated):
        assert list(record["headers"].items()) == list(gen.headers.items())
        assert record["body"] == gen.body
        assert warc[record["offset"] :].startswith(gen.raw)
    return parsed


@given(archives(), st.binary(max_size=64), record_ids)
def test_append_then_read(archive, manifest, record_id):
    warc, generated = archive
    if not warc:
        with pytest.raises(ValueError, match="^" + re.escape(invalid("empty WARC data")) + "$"):
            quillmark.append_manifest(warc, manifest, record_id)
        return
    original = check_matches_generation(warc, generated)
    kept = [record for record, gen in zip(original, generated) if not gen.is_manifest]
    manifests = [gen.body for gen in generated if gen.is_manifest]
    assert quillmark.read_manifest(warc) == (manifests[-1] if manifests else None)

    out = quillmark.append_manifest(warc, manifest, record_id)
    assert quillmark.read_manifest(out) == manifest

    parsed = quillmark.read_records(out)
    assert len(parsed) == len(kept) + 1
    position = 0
    for before, after in zip(kept, parsed):
        assert list(after["headers"].items()) == list(before["headers"].items())
        assert after["body"] == before["body"]
        assert after["length"] == before["length"]
        assert after["offset"] == position
        assert (
            out[position : position + after["length"]]
            == warc[before["offset"] : before["offset"] + before["length"]]
        )
        position += after["length"]

    new = parsed[-1]
    assert new["offset"] == position
    assert new["offset"] + new["length"] == len(out)
    assert new["body"] == manifest
    assert new["headers"]["warc-type"] == MANIFEST_WARC_TYPE
    assert new["headers"]["content-type"] == MANIFEST_CONTENT_TYPE
    assert new["headers"]["warc-record-id"] == f"<{record_id}>"
    assert "warc-target-uri" not in new["headers"]
    assert not any(
        r["headers"].get("warc-type") == MANIFEST_WARC_TYPE
        and r["headers"].get("content-type") == MANIFEST_CONTENT_TYPE
        for r in parsed[:-1]
    )
    built = quillmark.build_record(MANIFEST_WARC_TYPE, MANIFEST_CONTENT_TYPE, record_id, manifest)
    assert mask_date(out[position:]) == mask_date(built)


@given(archives(), st.binary(max_size=32), st.binary(max_size=32), record_ids, record_ids)
def test_appending_again_replaces_the_manifest(archive, first, second, id_one, id_two):
    warc, _ = archive
    if not warc:
        return
    once = quillmark.append_manifest(warc, first, id_one)
    twice = quillmark.append_manifest(once, second, id_two)
    assert quillmark.read_manifest(twice) == second
    kept_once = quillmark.read_records(once)[:-1]
    kept_twice = quillmark.read_records(twice)[:-1]
    assert kept_once == kept_twice


single_line = st.text(st.characters(blacklist_categories=("Cs",), blacklist_characters="\n"))


@given(single_line, single_line, record_ids, st.binary(), st.one_of(st.none(), single_line))
def test_built_record_reads_back_whole(warc_type, content_type, record_id, body, target_uri):
    out = quillmark.build_record(warc_type, content_type, record_id, body, target_uri)
    assert_reads_back_as_built(out, warc_type, content_type, record_id, body, target_uri)
