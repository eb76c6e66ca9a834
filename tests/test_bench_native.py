"""The native pass benchmark's inputs and output checks are what its tables rely on.

Its ratios mean something only if each input holds exactly the records its
stamp lists (one gzip member per record in the compressed form), if the
generators stay a pure function of their seed, and if the checks run after
each case reject a wrong output as surely as they accept a right one.
"""

from __future__ import annotations

import hashlib
import json
import os
import random
import statistics
import sys
import zlib
from pathlib import Path

import pytest
import quillmark

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))

from bench import native_checks, native_inputs  # noqa: E402
from bench.crawl_records import KIB, MIB, Crawl, Pools  # noqa: E402
from bench.native_cases import (  # noqa: E402
    AUDIT_SPECS,
    FILE_SPECS,
    LIBRARY_FLOOR,
    QUILLMARK_ROLES,
    fill,
    variants,
)
from bench.processes import Run  # noqa: E402

SMALL = native_inputs.Scale(crawl_mib=1, tiny_records=300, audit_files=2, audit_mib=1)
PLACEHOLDERS = dict.fromkeys(
    ("py", "file", "copy", "out", "store", "store_out", "dir", "report", "jobs"), "X"
)


def members(data: bytes) -> list[bytes]:
    """The uncompressed content of each gzip member, in order."""
    found = []
    while data:
        inflater = zlib.decompressobj(31)
        found.append(inflater.decompress(data) + inflater.flush())
        assert inflater.eof, "a member is cut short"
        data = inflater.unused_data
    return found


@pytest.fixture(scope="module")
def made(tmp_path_factory):
    if os.environ.get("QUILLMARK_QUICK") == "1":
        pytest.skip("quick run: the benchmark's inputs are made in the full test run")
    data_dir = tmp_path_factory.mktemp("native")
    with pytest.MonkeyPatch.context() as patch:
        patch.setitem(native_inputs.SCALES, "quick", SMALL)
        kept = native_inputs.ensure("quick", data_dir)
        yield kept, data_dir


def test_each_file_holds_the_records_its_stamp_lists(made):
    kept, data_dir = made
    files = native_inputs.paths("quick", data_dir)
    audit = native_inputs.audit_folder("quick", data_dir)
    checked = {name: {"gzip": audit / name.removeprefix("audit/")} for name in kept["files"]}
    checked.update(files)
    assert len(checked) == 2 + SMALL.audit_files
    for name, forms in checked.items():
        facts = kept["files"][name]
        plain = b"".join(members(forms["gzip"].read_bytes()))
        listed = quillmark.read_records(plain)
        # One member per record, each exactly one record.
        assert [len(m) for m in members(forms["gzip"].read_bytes())] == [
            r["length"] for r in listed
        ]
        if "plain" in forms:
            assert forms["plain"].read_bytes() == plain
        assert len(listed) == facts["records"]
        assert len(plain) == facts["uncompressed"]
        assert sum(len(r["body"]) for r in listed) == facts["body_bytes"]
        last = listed[-1]
        assert last["headers"]["warc-type"] == "c2paprovenance"
        assert hashlib.sha256(last["body"]).hexdigest() == facts["manifest_sha256"]
        assert quillmark.read_manifest(plain) == last["body"]
    assert kept["files"]["tiny"]["records"] == SMALL.tiny_records + 1


def test_inputs_are_made_once_and_remade_the_same_when_damaged(made):
    kept, data_dir = made
    tiny = native_inputs.paths("quick", data_dir)["tiny"]["gzip"]
    whole, made_at = tiny.read_bytes(), tiny.stat().st_mtime_ns
    assert native_inputs.ensure("quick", data_dir) == kept
    assert tiny.stat().st_mtime_ns == made_at
    tiny.write_bytes(whole[:-5])
    assert native_inputs.ensure("quick", data_dir) == kept
    assert tiny.read_bytes() == whole


def test_lognormal_payloads_spread_around_their_median():
    crawl = Crawl(Pools(64 * KIB, 64 * KIB), "sizes", MIB, body_median=20_000)
    sizes = [crawl._body_size() for _ in range(4000)]
    assert 18_000 <= statistics.median(sizes) <= 22_000
    above = sum(size > 100_000 for size in sizes) / len(sizes)
    assert 0.01 <= above <= 0.04
    assert min(sizes) >= 256


def test_log_uniform_crawls_are_unchanged():
    """Stamps of earlier inputs name no body spread: their bytes must not move."""
    crawl = Crawl(Pools(text_size=MIB, binary_size=256 * KIB), "pin", 3 * MIB, body_max=MIB)
    digest = hashlib.sha256(b"".join(crawl.records())).hexdigest()
    assert digest == "576d87b07cad276448690c7c7fefd800a6bedd7bb13aabf97e8528c0441aa839"
    assert crawl.count == 46


def _archive(records: int, store: bytes) -> bytes:
    rng = random.Random(records)
    body = b"".join(
        quillmark.build_record("resource", "text/plain", f"urn:uuid:{i}", rng.randbytes(50))
        for i in range(records)
    )
    return body + quillmark.build_record("c2paprovenance", "application/c2pa", "urn:uuid:m", store)


def _facts(data: bytes) -> dict:
    listed = quillmark.read_records(data)
    return {
        "records": len(listed),
        "body_bytes": sum(len(r["body"]) for r in listed),
        "uncompressed": len(data),
        "manifest_size": len(listed[-1]["body"]),
        "manifest_sha256": hashlib.sha256(listed[-1]["body"]).hexdigest(),
    }


RUN = Run(0.0, 0.0, 0, 0, "")


@pytest.mark.parametrize("right", [True, False])
@pytest.mark.parametrize(
    "kind", ["appended", "manifest store", "facts", "bytes read", "copy", "audit rows"]
)
def test_checks_accept_the_right_output_and_reject_a_wrong_one(tmp_path, kind, right):
    old_store, new_store = b"old store" * 30, b"new store" * 40
    source = _archive(5, old_store)
    facts = _facts(source)
    store = tmp_path / "store.c2pa"
    store.write_bytes(new_store)
    out = tmp_path / "out"
    input_file = tmp_path / "in.warc"
    input_file.write_bytes(source)
    if kind == "appended":
        pytest.importorskip("fastwarc", reason="the check reads the output back with FastWARC")
        good = quillmark.append_manifest(source, new_store, "urn:uuid:n")
        # Wrong: the old store kept, or a record lost.
        out.write_bytes(good if right else source)
        check = native_checks.appended(out, facts, store)
    elif kind == "manifest store":
        out.write_bytes(old_store if right else new_store)
        check = native_checks.manifest_store(out, facts)
    elif kind == "facts":
        found = dict(facts, records=facts["records"] - (0 if right else 1))
        out.write_text(json.dumps(found))
        check = native_checks.printed_facts(out, facts)
    elif kind == "bytes read":
        out.write_text(str(len(source) - (0 if right else 1)))
        check = native_checks.bytes_read(out, facts)
    elif kind == "copy":
        out.write_bytes(source if right else source[:-1])
        check = native_checks.copied(out, input_file)
    else:
        expected = [
            {"name": "in.warc", "fault": None, "records": facts["records"], "manifests": 1,
             "manifest_size": facts["manifest_size"], "manifest_sha256": facts["manifest_sha256"]}
        ]  # fmt: skip
        row = {"path": str(input_file), "records": facts["records"], "manifest_records": 1,
               "manifest_size": facts["manifest_size"],
               "manifest_sha256": facts["manifest_sha256"] if right else "0" * 64}  # fmt: skip
        out.write_text(json.dumps(row) + "\n")
        check = native_checks.audit_rows(out, expected)
    failure = check(RUN)
    assert (failure is None) == right, failure


def test_every_case_fills_its_placeholders():
    values = dict(PLACEHOLDERS, qm=["python", "-m", "quillmark_cli"])
    for spec in (*FILE_SPECS, *AUDIT_SPECS):
        argv = fill(spec.argv, values)
        assert not any("{" in word for word in argv), spec.label
    check = next(s for s in FILE_SPECS if s.label == "check")
    assert fill(check.argv, values) == ["python", "-m", "quillmark_cli", "check", "X"]


@pytest.mark.parametrize("named", [(), ("zlib", "isal")])
@pytest.mark.parametrize("has_threads", [True, False])
def test_variants_extend_the_threaded_cases_and_name_inflaters(has_threads, named):
    cases = variants(FILE_SPECS, [1, 2, 4], single=has_threads, inflaters=named)
    threaded = [s for s in FILE_SPECS if s.threaded]
    # A library's own floor runs only when the tool runs with that library.
    kept = [s for s in FILE_SPECS if s.role != LIBRARY_FLOOR or s.library in named]
    assert {s.library for s in kept if s.role == LIBRARY_FLOOR} == set(named) - {"isal"}
    by_quillmark = [s for s in FILE_SPECS if s.role in QUILLMARK_ROLES]
    per_spec = 1 + len(named)  # each on plain, and on gzip once per inflater named
    extra = (per_spec - 1) * len(by_quillmark) + 2 * len(threaded) * per_spec
    assert len(cases) == len(kept) + extra
    for spec in threaded:
        for name in named or [""]:
            suffix = f" ({name})" if name else ""
            base = next(c for c in cases if c.label == spec.label + suffix)
            assert base.argv == ((*spec.argv, "--threads", "1") if has_threads else spec.argv)
            assert base.inflater == name and base.command == spec.label
            two = next(c for c in cases if c.label == f"{spec.label} --threads 2{suffix}")
            assert two.argv[-2:] == ("--threads", "2") and two.threads == 2
            assert two.forms == (("gzip",) if name else spec.forms)
    for spec in (s for s in kept if not s.threaded and s.role not in QUILLMARK_ROLES):
        assert [c.argv for c in cases if c.label == spec.label] == [spec.argv]
