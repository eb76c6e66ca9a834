"""Appending to a .warc.gz keeps its members byte for byte: index lines made
before stay valid, a second append replaces only the last member, and peers
read the new member where the command says it is."""

from __future__ import annotations

import gzip
import io
import json
import random
import re
import subprocess
import sys
from pathlib import Path

import archive_gen
import pytest
import quillmark
from conftest import manifest_record, resource_record

files = pytest.importorskip("quillmark_files")
CLI = Path(sys.executable).with_name("quillmark")
WARCIO = Path(sys.executable).with_name("warcio")


def members(data: bytes) -> list[bytes]:
    """The compressed bytes of each gzip member."""
    found = []
    while data:
        inflater = __import__("zlib").decompressobj(31)
        inflater.decompress(data)
        size = len(data) - len(inflater.unused_data)
        found.append(data[:size])
        data = data[size:]
    return found


def crawl(count: int, signed: bool) -> bytes:
    """A crawl as crawlers write it: one member per record, maybe signed last."""
    records = [
        quillmark.build_record("response", "text/html", f"urn:{i}", b"<p>%d</p>" % i * (i * 40))
        for i in range(count)
    ]
    if signed:
        records.append(manifest_record(b"old store"))
    return b"".join(gzip.compress(r, compresslevel=9) for r in records)


def append(path: Path, store: Path, *extra) -> tuple[int, int]:
    """Runs the command; returns the offset and length of the new member it reports."""
    result = subprocess.run([CLI, "append", path, store, *extra], capture_output=True)
    assert result.returncode == 0, result.stderr
    found = re.search(rb"gzip member at byte (\d+) \((\d+) bytes\)", result.stdout)
    return int(found.group(1)), int(found.group(2))


def index_lines(path: Path) -> list[dict]:
    if not WARCIO.exists():
        pytest.skip("warcio's command is not installed")
    fields = "offset,length,warc-type,warc-record-id"
    out = subprocess.run([WARCIO, "index", "-f", fields, path], capture_output=True, check=True)
    return [json.loads(line) for line in out.stdout.splitlines()]


@pytest.mark.parametrize("signed", [False, True], ids=["unsigned", "signed"])
def test_append_keeps_members_and_index_lines(tmp_path: Path, signed: bool):
    if not CLI.exists():
        pytest.skip("the quillmark command is not installed")
    path, store = tmp_path / "crawl.warc.gz", tmp_path / "store.c2pa"
    original = crawl(30, signed)
    path.write_bytes(original)
    store.write_bytes(b"\x00new store\xff" * 50)
    before = index_lines(path)

    offset, length = append(path, store)  # in place
    after = index_lines(path)
    kept = before[:-1] if signed else before
    assert after[: len(kept)] == kept  # every kept record's index line, unchanged
    assert after[-1]["warc-type"] == "c2paprovenance"
    assert int(after[-1]["offset"]) == offset and int(after[-1]["length"]) == length
    new = path.read_bytes()
    assert members(new)[:-1] == members(original)[: len(kept)]  # byte for byte
    assert new[offset:] == members(new)[-1] and len(new) == offset + length

    # The new member alone, where the command says it is, in both peers.
    member = io.BytesIO(new[offset : offset + length])
    from warcio.archiveiterator import ArchiveIterator

    seen = [(r.rec_type, r.content_stream().read()) for r in ArchiveIterator(member)]
    assert seen == [("c2paprovenance", store.read_bytes())]
    fastwarc = pytest.importorskip("fastwarc.warc")
    member.seek(0)
    seen = [r.reader.read() for r in fastwarc.ArchiveIterator(member, parse_http=False)]
    assert seen == [store.read_bytes()]

    # Appending again replaces the last member and nothing else.
    again, _ = append(path, store, "--record-id", "urn:again")
    assert again == offset
    assert path.read_bytes()[:offset] == new[:offset]
    assert files.read_manifest(path) == store.read_bytes()


def test_members_that_hold_a_removed_manifest_are_compressed_again(tmp_path: Path):
    if not CLI.exists():
        pytest.skip("the quillmark command is not installed")
    kept = resource_record(b"one") + resource_record(b"two")
    # One member for the whole archive, the old manifest record inside it,
    # then a member per record; the note names the records made anew.
    path, store = tmp_path / "mixed.warc.gz", tmp_path / "store.c2pa"
    tail = resource_record(b"three")
    path.write_bytes(gzip.compress(kept + manifest_record(b"old")) + gzip.compress(tail))
    store.write_bytes(b"store")
    out = tmp_path / "out.warc.gz"
    result = subprocess.run([CLI, "append", path, store, "-o", out], capture_output=True)
    assert result.returncode == 0
    assert b"note: 2 records of" in result.stderr and b"compressed again" in result.stderr
    written = members(out.read_bytes())
    assert [gzip.decompress(m) for m in written[:2]] == [
        resource_record(b"one"),
        resource_record(b"two"),
    ]
    assert written[2] == members(path.read_bytes())[1]  # the aligned member is copied
    assert quillmark.read_manifest(gzip.decompress(out.read_bytes())) == b"store"


@pytest.mark.parametrize("layout", ["member-per-record", "random-members", "record-halves"])
def test_members_written_from_memory_equal_those_copied_from_the_file(
    tmp_path: Path, monkeypatch: pytest.MonkeyPatch, layout: str
):
    # Kept members are written from the compressed bytes just read, up to a
    # bound, and copied from the file past it: any bound gives the same file,
    # whatever the size of the pieces the file is read in.
    from quillmark_files import append as appending
    from quillmark_files import members as walk
    from test_files_differential import packed

    path, out = tmp_path / "in.warc.gz", tmp_path / "out.warc.gz"
    for seed in range(60):
        rng = random.Random(seed)
        path.write_bytes(packed(archive_gen.archive(seed), layout, rng))
        monkeypatch.setattr(walk, "_BLOCK", rng.choice((7, 40, 100, 1000, 1 << 20)))
        seen = set()
        for bound in (0, rng.randint(1, path.stat().st_size), 32 << 20):
            monkeypatch.setattr(appending, "_RETAIN_AT_MOST", bound)
            try:
                result = files.append_manifest(path, b"store", out, record_id="urn:x")
            except files.ArchiveError as exc:
                seen.add(str(exc))
                continue
            seen.add(out.read_bytes()[: result.member_offset])
        assert len(seen) == 1, (seed, layout)


@pytest.mark.parametrize("seed", range(20))
def test_bytes_held_for_unwritten_members_are_the_files(seed: int):
    from quillmark_files.append import _Retained

    rng = random.Random(seed)
    data = rng.randbytes(rng.randint(0, 5000))
    source = io.BytesIO(data)
    held = _Retained(source.read)
    done = 0  # what a reader has read, and where the oldest unwritten member starts
    oldest = 0
    edges = [0]  # where the pieces read start and end, and next to them
    while done < len(data):
        done += len(held.read(rng.randint(1, 700)))
        edges += [done - 1, done, done + 1]
        for _ in range(3):
            start = rng.choice([*edges, rng.randint(0, done)])
            start = min(max(start, max(0, oldest - 50)), done)  # maybe let go of already
            end = rng.randint(start, done)
            views = held.views(start, end)
            assert views is not None or start < oldest
            if views is not None:
                assert b"".join(views) == data[start:end]
        if rng.random() < 0.5:
            oldest = min(max(rng.choice([*edges, rng.randint(0, done)]), oldest), done)
            held.release(oldest)
