"""Appending to a .warc.gz keeps its members byte for byte: index lines made
before stay valid, a second append replaces only the last member, and peers
read the new member where the command says it is."""

from __future__ import annotations

import gzip
import io
import json
import re
import subprocess
import sys
from pathlib import Path

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
