"""The private pass over files (quillmark_files._native) as the Python layer uses it.

A pass on several threads must really read parts ahead (``Scan.parts``) and
give what one thread gives; results are named tuples that unpack as before;
an append written through an ``Output`` (after bytes of the caller's) is the
append written to a bare descriptor, byte for byte, with the same counts.
"""

from __future__ import annotations

import errno
import gzip
import os
import random
from pathlib import Path

import pytest
import quillmark
from conftest import mask_date
from hypothesis import given, settings
from hypothesis import strategies as st
from quillmark_files import FileRecord, _native

MANIFEST = b"a manifest store"


def _crawl(seed: int, records: int = 400, manifests: int = 2) -> list[bytes]:
    rng = random.Random(seed)
    out = []
    for i in range(records):
        body = bytes(rng.choice(b"abc <p>\r\n") for _ in range(rng.randrange(0, 3000)))
        out.append(quillmark.build_record("resource", "text/html", f"urn:uuid:{seed}-{i}", body))
    for i in range(manifests):
        store = f"store {i}".encode()
        record = quillmark.build_record(
            "c2paprovenance", "application/c2pa", f"urn:uuid:m{i}", store
        )
        out.insert(rng.randrange(len(out) + 1), record)
    return out


def _gzip_file(tmp_path: Path, records: list[bytes], name: str = "crawl.warc.gz") -> Path:
    path = tmp_path / name
    path.write_bytes(b"".join(gzip.compress(record, 6) for record in records))
    return path


def _run(scan: _native.Scan) -> list[FileRecord]:
    listed: list[FileRecord] = []
    while not scan.done:
        batch = scan.run(1 << 20)
        if batch:
            listed += batch
    return listed


def _scan_file(path: Path, **options: object) -> tuple[_native.Scan, list[FileRecord]]:
    fd = os.open(path, os.O_RDONLY)
    try:
        scan = _native.Scan(fd, **options)  # type: ignore[arg-type]
        return scan, _run(scan)
    finally:
        os.close(fd)


def test_a_pass_on_several_threads_reads_parts_ahead_and_gives_what_one_gives(tmp_path):
    path = _gzip_file(tmp_path, _crawl(1))
    part = path.stat().st_size // 8
    one, _ = _scan_file(path, threads=1)
    two, _ = _scan_file(path, threads=2, part_size=part)
    assert one.parts == 1
    assert two.parts > 1
    assert two.failure is None and two.summary() == one.summary()

    listed_one, records_one = _scan_file(path, listing=True, record_type=FileRecord)
    listed_two, records_two = _scan_file(
        path, listing=True, record_type=FileRecord, threads=3, part_size=part
    )
    assert listed_two.parts > 1
    assert records_two == records_one
    assert all(type(record) is FileRecord for record in records_two)
    # The headers are read_records' for the same record.
    whole = gzip.decompress(path.read_bytes())
    by_offset = {record["offset"]: record for record in quillmark.read_records(whole)}
    assert [r.headers for r in records_two] == [by_offset[r.offset]["headers"] for r in records_two]

    outputs = []
    for threads in (1, 2):
        out = tmp_path / f"out{threads}.warc.gz"
        out_fd = os.open(out, os.O_WRONLY | os.O_CREAT | os.O_TRUNC)
        try:
            scan, _ = _scan_file(
                path, append_to=out_fd, manifest=MANIFEST, record_id="urn:uuid:new",
                compress=True, threads=threads, part_size=part,
            )  # fmt: skip
        finally:
            os.close(out_fd)
        assert scan.failure is None
        assert (scan.parts > 1) == (threads > 1)
        outputs.append((scan.appended(), _undated(out.read_bytes(), scan)))
    assert outputs[0] == outputs[1]


def test_results_are_named_and_unpack_by_position(tmp_path):
    path = _gzip_file(tmp_path, _crawl(2, records=20, manifests=1))
    scan, _ = _scan_file(path)
    summary = scan.summary()
    compressed, per_member, records, manifests, store = summary
    assert (
        (summary.compressed, summary.one_record_per_member)
        == (compressed, per_member)
        == (
            True,
            True,
        )
    )
    assert (summary.records, summary.manifest_records, summary.manifest) == (21, 1, b"store 0")
    assert (records, manifests, store) == (21, 1, b"store 0")
    assert isinstance(summary, tuple) and type(summary).__name__ == "ScanSummary"

    out = tmp_path / "out.warc.gz"
    out_fd = os.open(out, os.O_WRONLY | os.O_CREAT | os.O_TRUNC)
    try:
        scan, _ = _scan_file(path, append_to=out_fd, manifest=MANIFEST, compress=True)
    finally:
        os.close(out_fd)
    counts = scan.appended()
    assert list(counts) == [
        counts.records_kept,
        counts.manifests_removed,
        counts.members_copied,
        counts.records_recompressed,
        counts.manifest_offset,
        counts.member_offset,
        counts.member_length,
        counts.written,
        counts.moved_from,
        counts.old_manifest,
    ]
    assert (counts.records_kept, counts.manifests_removed, counts.written) == (
        20,
        1,
        out.stat().st_size,
    )


def test_failures_are_named_with_the_fields_that_apply(tmp_path):
    bad = tmp_path / "bad.warc"
    bad.write_bytes(b"WARC/1.1\r\nContent-Length: x\r\n\r\n")
    scan, _ = _scan_file(bad)
    assert tuple(scan.failure) == (
        "malformed",
        "invalid WARC record: invalid Content-Length",
        0,
        None,
        None,
    )

    good = gzip.compress(quillmark.build_record("resource", "text/plain", "urn:1", b"hi"))
    cut = _gzip_file(tmp_path, [])
    cut.write_bytes(good + good[:-3])
    scan, _ = _scan_file(cut)
    failure = scan.failure
    assert (failure.kind, failure.offset, failure.errno, failure.side) == (
        "gzip",
        len(good),
        None,
        None,
    )
    assert failure.message == f"gzip member at byte {len(good)} is truncated"

    empty = tmp_path / "empty.warc"
    empty.write_bytes(b"")
    read_only = os.open(tmp_path / "out", os.O_RDONLY | os.O_CREAT)
    try:
        scan, _ = _scan_file(empty, append_to=read_only, manifest=MANIFEST)
        assert scan.failure.kind == "malformed" and scan.failure.offset is None
        source = _gzip_file(tmp_path, _crawl(3, records=3))
        scan, _ = _scan_file(source, append_to=read_only, manifest=MANIFEST)
    finally:
        os.close(read_only)
    assert (scan.failure.kind, scan.failure.errno, scan.failure.side) == (
        "io",
        errno.EBADF,
        "output",
    )
    assert scan.failure.message == os.strerror(errno.EBADF)


def test_a_record_type_must_be_a_tuple(tmp_path):
    path = _gzip_file(tmp_path, _crawl(4, records=2))
    with pytest.raises(TypeError, match="subclass of tuple"):
        _scan_file(path, listing=True, record_type=dict)
    _, records = _scan_file(path, listing=True)
    assert all(type(record) is tuple and len(record) == 8 for record in records)


def _undated(archive: bytes, scan) -> bytes:
    """An appended archive as two appends a second apart give it alike: its
    new record's WARC-Date masked, and where the append compressed, the
    members inflated (their gzip headers carry the time they were made).
    Where members are copied, the counts compared beside tell their places."""
    counts = scan.appended()
    if counts.member_offset is None:
        return archive[: counts.manifest_offset] + mask_date(archive[counts.manifest_offset :])
    start = counts.member_offset
    copied_only = counts.members_copied and not counts.records_recompressed
    kept = archive[:start] if copied_only else gzip.decompress(archive[:start])
    return kept + mask_date(gzip.decompress(archive[start:]))


@settings(max_examples=25, deadline=None)
@given(
    seed=st.integers(0, 10**6),
    compressed_in=st.booleans(),
    compress=st.booleans(),
    prefix=st.binary(max_size=3000),
)
def test_an_append_through_an_output_is_the_append_to_its_descriptor(
    tmp_path_factory, seed, compressed_in, compress, prefix
):
    tmp_path = tmp_path_factory.mktemp("output")
    records = _crawl(seed, records=random.Random(seed).randrange(1, 40))
    if compressed_in:
        source = _gzip_file(tmp_path, records)
    else:
        source = tmp_path / "crawl.warc"
        source.write_bytes(b"".join(records))
    options = {"manifest": MANIFEST, "record_id": "urn:uuid:new", "compress": compress}

    bare = tmp_path / "bare"
    bare_fd = os.open(bare, os.O_WRONLY | os.O_CREAT | os.O_TRUNC)
    try:
        plain_scan, _ = _scan_file(source, append_to=bare_fd, **options)
    finally:
        os.close(bare_fd)

    shared = tmp_path / "shared"
    shared_fd = os.open(shared, os.O_WRONLY | os.O_CREAT | os.O_TRUNC)
    try:
        output = _native.Output(shared_fd)
        output.write(prefix)
        fd = os.open(source, os.O_RDONLY)
        try:
            scan = _native.Scan(fd, append_to=output, **options)  # type: ignore[arg-type]
            with pytest.raises(RuntimeError):
                output.write(b"not now")
            _run(scan)
        finally:
            os.close(fd)
        output.write(b"tail")  # the append is done: the output is the caller's again
        fd = os.open(source, os.O_RDONLY)
        try:
            output.copy(fd, 0, 4)
        finally:
            os.close(fd)
        output.flush()
        assert output.position == len(prefix) + plain_scan.appended().written + 8
    finally:
        os.close(shared_fd)

    assert scan.failure is None and plain_scan.failure is None
    assert scan.appended() == plain_scan.appended()
    got = shared.read_bytes()
    assert got[: len(prefix)] == prefix and got[-8:] == b"tail" + source.read_bytes()[:4]
    assert _undated(got[len(prefix) : -8], scan) == _undated(bare.read_bytes(), plain_scan)


def test_an_output_copy_past_the_input_end_fails_with_eio(tmp_path):
    source = tmp_path / "source"
    source.write_bytes(b"0123456789")
    target = tmp_path / "target"
    out_fd = os.open(target, os.O_WRONLY | os.O_CREAT | os.O_TRUNC)
    in_fd = os.open(source, os.O_RDONLY)
    try:
        output = _native.Output(out_fd)
        output.copy(in_fd, 2, 5)
        output.write(bytearray(b"!"))
        output.write(memoryview(b"?!")[:1])
        with pytest.raises(OSError) as raised:
            output.copy(in_fd, 8, 5)
        assert raised.value.errno == errno.EIO
    finally:
        os.close(in_fd)
        os.close(out_fd)
    assert target.read_bytes().startswith(b"23456!?")
