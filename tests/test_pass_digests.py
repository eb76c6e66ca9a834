"""The digests of the native pass as Python gets them: of the whole input (a
file, or a byte range of one), of the bytes before its last manifest record
with what follows that record, and of what an append writes, each equal to
hashlib and zlib over the same bytes; the old store an append removes; an
append whose manifest is deferred writes what an append given it at once
writes; a file cut short beneath a pass is reported, not digested; the texts
of a package read and edited as json reads them."""

from __future__ import annotations

import gzip
import hashlib
import json
import os
import zipfile
import zlib
from pathlib import Path
from typing import NamedTuple

import pytest
import quillmark
import quillmark_files
from conftest import mask_date
from hypothesis import given, settings
from hypothesis import strategies as st
from quillmark_files import _native


class Built(NamedTuple):
    file: bytes
    content: bytes  # the archive the file holds
    members: list[tuple[int, int, int]]  # (file offset, start, end) in the content
    padded: bool


@st.composite
def archives(draw: st.DrawFn) -> Built:
    """Records with manifest records anywhere, plain or gzip (a member per
    record, one for all, or cut anywhere), with what may follow the last
    manifest record: CR/LF, an empty member, zero padding."""
    content = b""
    starts = [0]
    for n in range(draw(st.integers(1, 6))):
        if draw(st.booleans()):
            record = quillmark.build_record(
                "c2paprovenance", "application/c2pa", f"m{n}", b"S%d" % n
            )
        else:
            body = draw(st.binary(max_size=2000))
            record = quillmark.build_record("resource", "text/plain", f"urn:{n}", body)
        content += record + draw(st.sampled_from([b"", b"", b"\r\n", b"\n\r\n"]))
        starts.append(len(content))
    layout = draw(st.sampled_from(["plain", "per record", "one member", "cut"]))
    if layout == "plain":
        return Built(content, content, [], False)
    if layout == "per record":
        cuts = starts
    elif layout == "one member":
        cuts = [0, len(content)]
    else:
        cuts = sorted({0, len(content), *draw(st.lists(st.integers(0, len(content))))})
    spans = list(zip(cuts, cuts[1:]))
    if draw(st.booleans()):
        spans.append((len(content), len(content)))  # an empty member last
    file, members = b"", []
    for start, end in spans:
        members.append((len(file), start, end))
        file += gzip.compress(content[start:end], mtime=0)
    padded = draw(st.booleans())
    return Built(file + b"\0" * 100 * padded, content, members, padded)


def expected_covered(built: Built) -> tuple[int, bool, bool, bool | None] | None:
    """(end, last_record, nothing_after, own_member) of the last manifest
    record, from the module's reading of the content and the layout alone."""
    records = quillmark.read_records(built.content)
    manifests = [
        i
        for i, r in enumerate(records)
        if r["headers"].get("warc-type") == "c2paprovenance"
        and r["headers"].get("content-type") == "application/c2pa"
    ]
    if not manifests:
        return None
    last = records[manifests[-1]]
    begin, end = last["offset"], last["offset"] + last["length"]
    is_last = manifests[-1] == len(records) - 1
    if not built.members:
        return begin, is_last, end == len(built.file), None
    [first] = [m for m in built.members if m[1] <= begin < m[2]]
    [final] = [i for i, m in enumerate(built.members) if m[1] < end <= m[2]]
    after = (
        is_last
        and end == len(built.content)
        and final == len(built.members) - 1
        and not built.padded
    )
    return first[0], is_last, after, first[1] == begin


def run(scan: _native.Scan) -> _native.Scan:
    while not scan.done:
        scan.run(1 << 16)
    assert scan.failure is None, scan.failure
    return scan


@settings(max_examples=120, deadline=None)
@given(built=archives(), threads=st.sampled_from([1, 2]), before=st.binary(max_size=100))
def test_the_digests_of_the_input_are_those_of_its_bytes(tmp_path_factory, built, threads, before):
    path = tmp_path_factory.mktemp("input") / "in"
    path.write_bytes(before + built.file + b"after")
    fd = os.open(path, os.O_RDONLY)
    try:
        scan = _native.Scan(
            fd, start=len(before), end=len(before) + len(built.file), crc32=True, sha256=True,
            covered=True, threads=threads, part_size=64 * threads,
        )  # fmt: skip
        digests = run(scan).input_digests()
    finally:
        os.close(fd)
    assert (digests.size, digests.crc32, digests.sha256) == (
        len(built.file),
        zlib.crc32(built.file),
        hashlib.sha256(built.file).digest(),
    )
    expected = expected_covered(built)
    if expected is None:
        assert digests.covered is None
        return
    covered = digests.covered
    assert covered is not None
    assert (covered.end, covered.last_record, covered.nothing_after, covered.own_member) == expected
    assert covered.sha256 == hashlib.sha256(built.file[: covered.end]).digest()


def append(source: Path, out: Path, manifest: bytes | None, compress: bool) -> _native.Scan:
    fd = os.open(source, os.O_RDONLY)
    out_fd = os.open(out, os.O_RDWR | os.O_CREAT | os.O_TRUNC)
    try:
        os.write(out_fd, b"caller's bytes first")
        scan = _native.Scan(
            fd, append_to=out_fd, manifest=manifest, record_id="urn:new", compress=compress,
            output_digests=True, old_manifest=True, covered=True,
        )  # fmt: skip
        run(scan)
        if manifest is None:
            assert scan.waiting
            waiting = scan.output_digests()
            assert waiting.size is None
            kept = os.pread(out_fd, waiting.covered.end, 20)
            assert waiting.covered.sha256 == hashlib.sha256(kept).digest()
            scan.finish(b"the new store")
            assert scan.failure is None and not scan.waiting
        return scan
    finally:
        os.close(fd)
        os.close(out_fd)


@settings(max_examples=60, deadline=None)
@given(built=archives(), compress=st.booleans())
def test_an_append_digests_what_it_wrote_and_waits_for_its_manifest_as_asked(
    tmp_path_factory, built, compress
):
    tmp = tmp_path_factory.mktemp("append")
    source = tmp / "in"
    source.write_bytes(built.file)
    written = {}
    for deferred in (False, True):
        out = tmp / f"out-{deferred}"
        scan = append(source, out, None if deferred else b"the new store", compress)
        counts, digests = scan.appended(), scan.output_digests()
        data = out.read_bytes()[20:]
        assert (digests.size, digests.crc32, digests.sha256) == (
            len(data),
            zlib.crc32(data),
            hashlib.sha256(data).digest(),
        )
        new_record = counts.member_offset if compress else counts.manifest_offset
        assert digests.covered.end == new_record
        assert digests.covered.sha256 == hashlib.sha256(data[:new_record]).digest()
        assert counts.old_manifest == quillmark.read_manifest(built.content)
        covered = scan.input_digests().covered
        if covered is not None:
            assert covered.sha256 == hashlib.sha256(built.file[: covered.end]).digest()
        record = data[new_record:]
        written[deferred] = (
            counts,
            data[:new_record],
            gzip.decompress(record) if compress else record,
        )
    (immediate, kept, record), (deferred_counts, deferred_kept, deferred_record) = written.values()
    assert deferred_counts[:5] == immediate[:5] and deferred_kept == kept
    assert mask_date(deferred_record) == mask_date(record)


def test_a_file_cut_short_beneath_a_pass_is_an_error_saying_where(tmp_path):
    # A body large enough to be passed over unread: only the digest sees that
    # the file no longer holds it.
    body = b"x" * (1 << 20)
    path = tmp_path / "cut.warc"
    path.write_bytes(b"WARC/1.1\r\nContent-Length: %d\r\n\r\n" % len(body) + body)
    size = path.stat().st_size
    fd = os.open(path, os.O_RDONLY)
    try:
        scan = _native.Scan(fd, sha256=True)
        os.truncate(path, 4096)
        while not scan.done:
            scan.run()
    finally:
        os.close(fd)
    assert scan.failure is not None
    assert tuple(scan.failure)[0::3] == ("io", 5)
    assert scan.failure.message == f"the file ends at byte 4096, before byte {size}"
    with pytest.raises(OSError, match=f"the file ends at byte 4096, before byte {size}"):
        quillmark_files.archive._pass.raise_failure(scan.failure, "cut.warc", False)


@pytest.mark.parametrize("algorithm", ["sha256", "md5"])
@pytest.mark.parametrize("compressed", [False, True])
def test_a_packages_new_warc_carries_the_crc_and_hash_of_its_bytes(tmp_path, algorithm, compressed):
    warc = quillmark.build_record("resource", "text/plain", "urn:1", b"page " * 3000)
    warc += quillmark.build_record("c2paprovenance", "application/c2pa", "urn:m", b"old")
    data = gzip.compress(warc) if compressed else warc
    name = "archive/data.warc" + ".gz" * compressed
    resources = [
        {"path": name, "hash": f"{algorithm}:" + hashlib.new(algorithm, data).hexdigest(),
         "bytes": len(data)},
    ]  # fmt: skip
    datapackage = json.dumps({"profile": "data-package", "resources": resources}, indent=2)
    digest = {
        "path": "datapackage.json",
        "hash": "sha256:" + hashlib.sha256(datapackage.encode()).hexdigest(),
    }
    package = tmp_path / "p.wacz"
    with zipfile.ZipFile(package, "w") as z:
        z.writestr(name, data)
        z.writestr("datapackage.json", datapackage)
        z.writestr("datapackage-digest.json", json.dumps(digest))
    result = quillmark_files.append_to_package(package, b"new store", tmp_path / "out.wacz")
    with zipfile.ZipFile(tmp_path / "out.wacz") as z:
        assert z.testzip() is None  # every CRC-32, the new WARC's included
        new = z.read(name)
        listed = json.loads(z.read("datapackage.json"))["resources"][0]
        written_digest = json.loads(z.read("datapackage-digest.json"))["hash"]
        text = z.read("datapackage.json")
    assert quillmark.read_manifest(gzip.decompress(new) if compressed else new) == b"new store"
    assert (
        listed["hash"]
        == result.warc_hash
        == f"{algorithm}:" + hashlib.new(algorithm, new).hexdigest()
    )
    assert listed["bytes"] == result.warc_size == len(new)
    assert written_digest == "sha256:" + hashlib.sha256(text).hexdigest()


paths = st.text(st.characters(blacklist_categories=["Cs"]), min_size=1, max_size=12)


@settings(max_examples=150, deadline=None)
@given(
    listed=st.dictionaries(
        paths, st.tuples(st.text(max_size=20), st.integers(0, 2**64 - 1)), max_size=5
    ),
    indent=st.sampled_from([None, 0, 2, "\t"]),
    ascii=st.booleans(),
    new_hash=st.text(max_size=30),
    new_size=st.integers(0, 2**64 - 1),
)
def test_the_texts_of_a_package_read_and_edit_as_json_reads_them(
    listed, indent, ascii, new_hash, new_size
):
    document = {"resources": [{"path": p, "hash": h, "bytes": b} for p, (h, b) in listed.items()]}
    text = json.dumps(document, indent=indent, ensure_ascii=ascii).encode()
    asked = [*listed, "not/listed"]
    read = _native.read_datapackage(text, asked)
    assert read.resource_count == len(listed)
    edits = []
    for resource, path in zip(read.resources, asked):
        assert resource.path == path
        if path not in listed:
            assert (
                resource.span is None
                and resource.hash_error == f"{path} is not listed in resources"
            )
            continue
        assert (resource.hash, resource.size) == listed[path]
        assert json.loads(text[slice(*resource.span)])["path"] == path
        edits += [(resource.hash_span, _native.json_string_token(new_hash)),
                  (resource.size_span, str(new_size).encode())]  # fmt: skip
    edits.sort(key=lambda edit: edit[0][0])
    edited = json.loads(_native.edit_text(text, edits))
    assert edited == {
        "resources": [{"path": p, "hash": new_hash, "bytes": new_size} for p in listed]
    }
    for cut in {0, len(text) // 2, len(text) - 1}:
        with pytest.raises(_native.PackageTextError) as raised:
            _native.read_datapackage(text[:cut], asked)
        assert str(raised.value) == raised.value.message and 0 <= raised.value.offset <= cut


def test_the_digest_text_and_its_signature_spans():
    text = b'{"path": "datapackage.json", "signedData": {"signature": "x"}, "hash": "sha256:ab"}'
    read = _native.read_package_digest(text)
    assert (read.path, read.hash, read.is_signed, read.path_error) == (
        "datapackage.json",
        "sha256:ab",
        True,
        None,
    )
    unsigned = _native.edit_text(text, [(span, b"") for span in read.signature_spans])
    assert json.loads(unsigned) == {"path": "datapackage.json", "hash": "sha256:ab"}
    bad = _native.read_package_digest(b'{"hash": 5}')
    assert (bad.hash, bad.hash_error, bad.path_error) == (
        None,
        "hash is not a string",
        "path is missing",
    )
    with pytest.raises(_native.PackageTextError, match="edits overlap at byte 1"):
        _native.edit_text(b"abc", [((0, 2), b""), ((1, 3), b"")])
