"""The crawl files of the streaming and audit benchmarks hold what their stamps claim.

Their figures are only worth something if the three forms of one archive
carry the same records, if every sound file reads back with the records and
manifest store the stamp lists, and if every broken file is really broken;
all three are checked here against the module on small crawls.
"""

from __future__ import annotations

import gzip
import hashlib
import io
import sys
import zlib
from pathlib import Path

import pytest
import quillmark

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))

from bench import crawl_inputs  # noqa: E402
from bench.crawl_records import KIB, Crawl, Pools, SingleMember, gzip_member  # noqa: E402

POOLS = Pools(text_size=512 * KIB, binary_size=256 * KIB)


def crawl(seed: str, manifests: int = 1) -> Crawl:
    return Crawl(POOLS, seed, 300 * KIB, body_max=64 * KIB, manifests=manifests)


def test_the_three_forms_of_a_crawl_hold_the_same_records():
    source = crawl("forms")
    records = list(source.records())
    plain = b"".join(records)
    single = io.BytesIO()
    writer = SingleMember(single)
    for record in records:
        writer.write(record)
    writer.close()
    members = b"".join(gzip_member(r) for r in records)
    assert gzip.decompress(single.getvalue()) == plain == gzip.decompress(members)

    rest, unpacked = members, []
    while rest:  # one member per record, each a whole record
        member = zlib.decompressobj(31)
        unpacked.append(member.decompress(rest))
        rest = member.unused_data
    assert unpacked == records

    listed = quillmark.read_records(plain)
    assert [plain[r["offset"] : r["offset"] + r["length"]] for r in listed] == records
    assert len(listed) == source.count
    assert listed[-1]["headers"]["warc-type"] == "c2paprovenance"
    store = quillmark.read_manifest(plain)
    assert (len(store), hashlib.sha256(store).hexdigest()) == (
        source.manifest.size,
        source.manifest.sha256,
    )
    assert b"".join(crawl("forms").records()) == plain
    assert b"".join(crawl("other").records()) != plain


def _read(data: bytes, form: str) -> list[dict]:
    return quillmark.read_records(data if form == "plain" else gzip.decompress(data))


@pytest.mark.parametrize("form", ["plain", "members", "single"])
@pytest.mark.parametrize("manifests", [0, 1, 2])
def test_sound_corpus_files_read_back_as_listed(monkeypatch, form, manifests):
    monkeypatch.setattr(crawl_inputs, "_POOLS", [POOLS])
    spec = crawl_inputs.FileSpec(3, form, 200 * KIB, manifests, None)
    chunks, source = crawl_inputs._make(spec, seed=1)
    listed = _read(b"".join(chunks), form)
    assert len(listed) == source.count
    kinds = [r["headers"]["warc-type"] for r in listed]
    assert kinds.count("c2paprovenance") == manifests
    assert (kinds[-1] == "c2paprovenance") == (manifests > 0)


@pytest.mark.parametrize(
    "fault, form", [(f, form) for f, forms in crawl_inputs.FAULTS.items() for form in forms]
)
def test_broken_corpus_files_do_not_read(monkeypatch, fault, form):
    monkeypatch.setattr(crawl_inputs, "_POOLS", [POOLS])
    chunks, _ = crawl_inputs._make(crawl_inputs.FileSpec(5, form, 200 * KIB, 1, fault), seed=1)
    with pytest.raises((ValueError, EOFError, OSError, zlib.error)):
        _read(b"".join(chunks), form)


def test_the_corpus_plan_has_two_files_of_each_fault():
    specs = crawl_inputs.plan()
    assert len(specs) == crawl_inputs.FILES
    faults = [s.fault for s in specs if s.fault]
    assert sorted(faults) == sorted(list(crawl_inputs.FAULTS) * 2)
    assert specs == crawl_inputs.plan()
