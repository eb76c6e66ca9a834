"""The reader's fast paths give exactly what the plain reader model gives.

Header names, and values that repeat, are shared across the records of one
call, texts that are pure ASCII take a shorter road to str, and header lines
are split in wide steps. Each case below sits on an edge of one of these
paths: many or colliding names, names that differ only in case, long names,
values that repeat in cycles or stop repeating, text that is ASCII except for
one byte at a word boundary, and separators at every position of a word.
"""

from __future__ import annotations

import gc
import os
import random
import sys

import pytest
import quillmark
import reader_model


def record(lines: list[str], body: bytes = b"body") -> bytes:
    block = "\r\n".join(["WARC/1.1", *lines, f"Content-Length: {len(body)}"])
    return block.encode() + b"\r\n\r\n" + body + b"\r\n\r\n"


def shaped(records: list[dict]) -> list[tuple]:
    return [(list(r["headers"].items()), r["body"], r["offset"], r["length"]) for r in records]


def assert_matches_model(data: bytes) -> list[dict]:
    native = quillmark.read_records(data)
    assert shaped(native) == shaped(reader_model.read_records(data))
    return native


def _many_names(count: int) -> list[str]:
    return [f"X-Name-{i:05d}: value {i}" for i in range(count)]


@pytest.mark.parametrize(
    "records",
    [
        pytest.param([_many_names(2000)], id="more-names-than-the-table-holds"),
        pytest.param([_many_names(600)] * 3, id="same-many-names-in-every-record"),
        pytest.param([[f"N{i}: {i}"] for i in range(3000)], id="a-new-name-in-every-record"),
        pytest.param(
            [["Content-Type: a", "CONTENT-TYPE: b"], ["content-type: c", "Content-type: d"]],
            id="case-variants-of-one-name",
        ),
        pytest.param(
            [["WARC-Type: x", "X-One: 1", "warc-type: y"], ["X-One: 2", "WARC-Type: z"]],
            id="duplicates-keep-first-position-last-value",
        ),
        pytest.param([[("X-" + "L" * 300) + f": {i}"] for i in range(3)], id="long-names"),
        pytest.param(
            [[("X-" + "a" * 40 + f"{i:03d}" + "b" * 40) + ": v" for i in range(200)]] * 2,
            id="names-alike-but-for-their-middle",
        ),
        pytest.param([["Größe: 1", "GRÖSSE: 2", "größe: 3"]] * 2, id="non-ascii-names"),
        pytest.param([[": empty name", "  : blank name", "\tX-Tab\t: tab"]] * 2, id="odd-names"),
    ],
)
def test_header_names_across_records(records):
    data = b"".join(record(lines) for lines in records)
    native = assert_matches_model(data)
    assert len(native) == len(records)


def _cycle(values: list[str], count: int) -> list[str]:
    return [values[i % len(values)] for i in range(count)]


@pytest.mark.parametrize(
    "values",
    [
        pytest.param(["response"] * 10, id="one-value"),
        pytest.param(_cycle(["request", "response", "metadata"], 30), id="cycle-of-three"),
        pytest.param(_cycle([f"type-{i}" for i in range(7)], 70), id="cycle-longer-than-kept"),
        pytest.param(
            [f"2025-01-01T00:{i // 60:02d}:{i % 60:02d}Z" for i in range(150)],
            id="same-length-differing-late",
        ),
        pytest.param(
            [f"u{i}" for i in range(300)] + ["same"] * 20 + ["u7", "u299"],
            id="repeats-after-unique-values",
        ),
        pytest.param(["", " ", "\u00a0x", "x", "\t", "é", "e", "x "] * 5, id="blank-and-non-ascii"),
        pytest.param(["ab", "abc", "abé", "a", "ab"] * 10, id="prefixes"),
    ],
)
def test_values_that_repeat_across_records(values):
    data = b"".join(record([f"WARC-Type: {v}", f"X-Other: {i}"]) for i, v in enumerate(values))
    native = assert_matches_model(data)
    assert [r["headers"]["warc-type"] for r in native] == [reader_model.trim(v) for v in values]


def test_a_repeated_value_is_one_str():
    """Equal values of one name share a str: the listing's memory grows with distinct texts."""
    data = record(["WARC-Type: response", "Content-Type: text/plain"]) * 3
    types = [r["headers"]["warc-type"] for r in quillmark.read_records(data)]
    assert types == ["response"] * 3
    assert types[0] is types[1] is types[2]


@pytest.mark.parametrize("position", range(0, 40))
@pytest.mark.parametrize("text", ["é", "\u00a0", "\u3000", "\U0001f600", "\x7f"])
def test_one_non_ascii_character_at_every_position(position, text):
    value = "v" * position + text + "w" * (39 - position)
    name = "X-" + "n" * position + text
    data = record([f"{name}: {value}", f"Plain: {value}"])
    native = assert_matches_model(data)
    assert native[0]["headers"]["plain"] == reader_model.trim(value)


@pytest.mark.parametrize("position", range(0, 40))
def test_separators_at_every_position(position):
    """Colons, CR and LF at each offset of a line, so every lane of a wide step sees one."""
    pad = "p" * position
    lines = [
        f"{pad}:{pad}",
        f"A{pad}: b:c:{pad}",
        f"{pad}no colon here",
        f"X: {pad}\rcarriage",
        f"Y{pad}: trailing\r",
    ]
    assert_matches_model(record(lines))
    assert_matches_model(record(lines).replace(b"\r\n", b"\n", 3))


def test_names_hold_no_state_between_calls():
    first = quillmark.read_records(record(["X-Keep: 1"]))
    second = quillmark.read_records(record(["x-keep: 2"]))
    assert first[0]["headers"]["x-keep"] == "1"
    assert second[0]["headers"]["x-keep"] == "2"


def test_seeded_archives_with_many_header_shapes():
    rng = random.Random(4)
    alphabet = ["A", "b", "-", " ", "\t", ":", "é", "\u2003", "Ω", "\U0001f600", "Z", "0"]
    records = []
    for _ in range(300):
        lines = []
        for _ in range(rng.randrange(0, 12)):
            # A leading letter keeps two empty lines from ending the block early.
            lines.append("x" + "".join(rng.choice(alphabet) for _ in range(rng.randrange(30))))
        records.append(record(lines, rng.randbytes(rng.randrange(0, 64))))
    for data in (b"".join(records), b"\r\n".join(records)):
        assert_matches_model(data)


def test_a_failed_call_after_many_names_leaves_nothing_behind():
    good = b"".join(record(_many_names(50)) for _ in range(20))
    with pytest.raises(ValueError, match="non-UTF-8 header"):
        quillmark.read_records(good + b"WARC/1.1\r\nX: \xff\r\nContent-Length: 0\r\n\r\n")
    assert_matches_model(good)


@pytest.mark.parametrize("enabled_before", [True, False])
@pytest.mark.parametrize("records", [1, 999, 1000, 5000])
def test_collector_state_is_kept_across_a_call(enabled_before, records):
    """Large listings pause the cyclic collector; its state afterwards is the caller's."""
    data = record(["X: y"]) * records
    (gc.enable if enabled_before else gc.disable)()
    try:
        assert len(quillmark.read_records(data)) == records
        assert gc.isenabled() is enabled_before
    finally:
        gc.enable()


def test_records_made_under_a_paused_collector_stay_tracked():
    """A cycle through the listing is still found: the list and every record dict."""
    gc.collect()
    records = quillmark.read_records(record(["X: y"]) * 2000)
    records[0]["self"] = records
    del records
    assert gc.collect() >= 2001


LAYOUTS = {
    "plain": ["WARC-Type: a", "WARC-Date: b", "Content-Type: c"],
    "reordered": ["Content-Type: c", "WARC-Type: a", "WARC-Date: b"],
    "repeats": ["WARC-Type: a", "X: 1", "warc-type: b", "X: 2", "WARC-TYPE: c"],
    "fewer": ["WARC-Type: a"],
    "more": ["WARC-Type: a", "WARC-Date: b", "Content-Type: c", "X-Extra: d"],
    "long-name": ["X-" + "L" * 200 + ": a", "WARC-Type: b"],
}


@pytest.mark.parametrize(
    "sequence",
    [
        ["plain"] * 5,
        ["plain", "plain", "reordered", "reordered", "plain"],
        ["repeats"] * 4,
        ["plain", "fewer", "plain", "more", "more", "more", "plain"],
        ["long-name"] * 3 + ["plain"] * 2,
        ["plain", "reordered"] * 4,
    ],
    ids=lambda s: "-".join(s),
)
def test_records_that_repeat_or_change_their_layout(sequence):
    """Headers dicts of records that share a layout: same keys, order and values as the model."""
    data = b"".join(
        record([f"{line}{i}" for line in LAYOUTS[name]], str(i).encode())
        for i, name in enumerate(sequence)
    )
    native = assert_matches_model(data)
    assert all(None not in r["headers"].values() for r in native)
    native[0]["headers"]["x-added"] = "changed"  # each record owns its dict
    assert all("x-added" not in r["headers"] for r in native[1:])


def _raise(*_args):
    raise RuntimeError("collector unavailable")


@pytest.mark.parametrize(
    "breakage",
    [
        pytest.param(lambda mp: mp.setitem(sys.modules, "gc", None), id="gc-not-importable"),
        pytest.param(lambda mp: mp.setattr(gc, "isenabled", _raise), id="isenabled-raises"),
        pytest.param(lambda mp: mp.setattr(gc, "disable", _raise), id="disable-raises"),
    ],
)
def test_listing_works_when_the_collector_cannot_be_paused(monkeypatch, breakage):
    data = record(["X: y"]) * 1500
    breakage(monkeypatch)
    records = quillmark.read_records(data)
    assert len(records) == 1500 and records[-1]["headers"]["x"] == "y"
    monkeypatch.undo()
    assert gc.isenabled()


# Results this large are written into buffers advised onto huge pages.
LARGE = (32 << 20) + 12345
THP = "/sys/kernel/mm/transparent_hugepage/enabled"


def _vm_flags(address: int) -> list[str] | None:
    """The kernel's flags for the mapping that holds `address` in this process."""
    inside = False
    with open("/proc/self/smaps") as smaps:
        for line in smaps:
            head = line.split(maxsplit=1)[0]
            if not head.endswith(":"):
                start, end = (int(part, 16) for part in head.split("-"))
                inside = start <= address < end
            elif inside and head == "VmFlags:":
                return line.split()[1:]
    return None


def _large_body() -> bytes:
    return bytes(range(256)) * (LARGE // 256) + b"tail"


def _built() -> tuple[bytes, bytes]:
    body = _large_body()
    built = quillmark.build_record("resource", "application/octet-stream", "urn:uuid:1", body)
    (parsed,) = reader_model.read_records(built)
    assert parsed["body"] == body
    return built, built


def _appended() -> tuple[bytes, bytes]:
    warc = record(["WARC-Type: resource"], _large_body())
    appended = quillmark.append_manifest(warc, b"store", "urn:uuid:2")
    assert appended[: len(warc)] == warc
    assert reader_model.read_manifest(appended) == b"store"
    return appended, appended


def _listed() -> tuple[bytes, bytes]:
    body = _large_body()
    (listed,) = quillmark.read_records(record(["WARC-Type: resource"], body))
    return listed["body"], body


def _manifest() -> tuple[bytes, bytes]:
    store = _large_body()
    warc = record(["WARC-Type: c2paprovenance", "Content-Type: application/c2pa"], store)
    return quillmark.read_manifest(warc), store


@pytest.mark.skipif(not os.path.exists(THP), reason="this kernel has no transparent huge pages")
@pytest.mark.parametrize(
    "make",
    [_built, _appended, _listed, _manifest],
    ids=["build_record", "append_manifest", "read_records", "read_manifest"],
)
def test_large_results_are_exact_and_asked_onto_huge_pages(make):
    result, expected = make()
    assert result == expected
    # The advice covers the buffer's 2 MiB-aligned interior; its middle lies there.
    flags = _vm_flags(id(result) + len(result) // 2)
    assert flags is not None and "hg" in flags, flags
