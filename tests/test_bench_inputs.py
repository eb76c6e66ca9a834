"""The benchmark's inputs and its copy limit measure what they claim to.

A generator that drifted (a different archive per run, records the reader
rejects, no manifest record at the end) or a framer that cut bodies in the
wrong place would make every figure in BENCHMARKS.md meaningless, so both are
checked here against the module, on small inputs of the same shapes.
"""

from __future__ import annotations

import sys
from pathlib import Path

import pytest
import quillmark

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))

from bench.framing import body_spans  # noqa: E402
from bench.generate import SPECS, Spec, ensure_input, records  # noqa: E402

SMALL = {
    name: Spec(
        name,
        spec.description,
        40,
        spec.body_min // 64 or 1,
        spec.body_max // 64,
        spec.extra_headers,
        512,
    )
    for name, spec in SPECS.items()
}


@pytest.mark.parametrize("name", sorted(SMALL))
def test_generated_archives_read_back_whole(name):
    spec = SMALL[name]
    data = b"".join(records(spec))
    listed = quillmark.read_records(data)
    assert len(listed) == spec.records + 1
    assert [data[a:b] for a, b in body_spans(data)] == [r["body"] for r in listed]
    for record in listed[:-1]:
        assert len(record["headers"]) == 6 + spec.extra_headers
        assert spec.body_min <= len(record["body"]) <= spec.body_max
    assert quillmark.read_manifest(data) == listed[-1]["body"]
    assert len(listed[-1]["body"]) == spec.manifest_size


def test_generation_is_a_function_of_the_seed():
    spec = SMALL["c"]
    assert b"".join(records(spec, seed=1)) == b"".join(records(spec, seed=1))
    assert b"".join(records(spec, seed=1)) != b"".join(records(spec, seed=2))


def test_framer_follows_gaps_and_both_separators():
    one = b"WARC/1.1\r\nContent-Length: 3\r\n\r\nabc"
    data = b"\r\n" + one + b"\n\n" + one + b"\r\n\r\n\r\n" + one
    assert [data[a:b] for a, b in body_spans(data)] == [b"abc"] * 3
    assert [r["body"] for r in quillmark.read_records(data)] == [b"abc"] * 3


def test_inputs_are_made_once_and_remade_when_stale(tmp_path, monkeypatch):
    monkeypatch.setitem(SPECS, "c", SMALL["c"])
    path = ensure_input("c", tmp_path)
    made = path.stat().st_mtime_ns
    assert ensure_input("c", tmp_path).stat().st_mtime_ns == made
    path.write_bytes(path.read_bytes()[:-1])  # a cut-off file is made again
    assert ensure_input("c", tmp_path).read_bytes() == b"".join(records(SMALL["c"]))
