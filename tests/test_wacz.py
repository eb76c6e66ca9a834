"""WACZ packages: appending to, reading and auditing the WARCs inside packages
made by py-wacz, checked with py-wacz's validator, warcio and zipfile."""

from __future__ import annotations

import gzip
import hashlib
import io
import json
import os
import subprocess
import sys
import tempfile
import zipfile
import zlib
from pathlib import Path

import pytest
import quillmark
import quillmark_files
from hypothesis import given, settings
from hypothesis import strategies as st
from quillmark_files import Package
from quillmark_files._native import Output
from quillmark_files.package._append import warc_appender

warcio = pytest.importorskip("warcio")
from warcio.archiveiterator import ArchiveIterator  # noqa: E402
from warcio.statusandheaders import StatusAndHeaders  # noqa: E402
from warcio.warcwriter import WARCWriter  # noqa: E402

BIN = Path(sys.executable).parent
STORE = b"\x00store \xff" * 40


def tool(name: str) -> Path:
    path = BIN / name
    if not path.exists():
        pytest.skip(f"{name} is not installed next to {sys.executable}")
    return path


def run(*args: object, check: bool = False) -> subprocess.CompletedProcess[bytes]:
    result = subprocess.run(
        [str(tool("quillmark")), *map(str, args)], capture_output=True, timeout=120
    )
    assert b"Traceback" not in result.stderr
    if check:
        assert result.returncode == 0, result.stderr.decode()
    return result


def write_warc(path: Path, pages: int, *, manifest_after: int | None = None) -> Path:
    """A WARC/1.1 crawl written by warcio (gzip by the name), with a manifest
    record after page ``manifest_after`` when asked."""
    gz = path.name.endswith(".gz")
    with open(path, "wb") as out:
        writer = WARCWriter(out, gzip=gz, warc_version="1.1")
        for n in range(pages):
            body = b"<html><title>page %d</title>%s</html>" % (n, b"x" * (n * 300))
            http = StatusAndHeaders("200 OK", [("Content-Type", "text/html")], "HTTP/1.1")
            record = writer.create_warc_record(
                f"http://example.com/{path.stem}/{n}",
                "response",
                payload=io.BytesIO(body),
                http_headers=http,
            )
            writer.write_record(record)
            if n == manifest_after:
                old = quillmark.build_record(
                    "c2paprovenance", "application/c2pa", f"urn:uuid:old-{n}", b"old store"
                )
                out.write(gzip.compress(old) if gz else old)
    return path


def make_package(folder: Path, *warcs: Path, name: str = "crawl.wacz") -> Path:
    out = folder / name
    subprocess.run(
        [str(tool("wacz")), "create", "-o", str(out), *map(str, warcs)],
        check=True,
        capture_output=True,
        timeout=300,
    )
    return out


def assert_valid(package: Path) -> None:
    result = subprocess.run(
        [str(tool("wacz")), "validate", "-f", str(package)], capture_output=True, timeout=300
    )
    assert result.returncode == 0 and b"Validation succeeded" in result.stdout, result.stdout


def index_lines(package: Path) -> list[dict]:
    """Every CDXJ line of the package's index, as its JSON."""
    with zipfile.ZipFile(package) as z:
        names = z.namelist()
        text = b""
        for name in ("indexes/index.cdx.gz", "indexes/index.cdx"):
            if name in names:
                data = z.read(name)
                text += gzip.decompress(data) if name.endswith(".gz") else data
    lines = [line.split(b" ", 2)[2] for line in text.splitlines() if line.strip()]
    return [json.loads(line) for line in lines]


def entries(package: Path) -> dict[str, bytes]:
    with zipfile.ZipFile(package) as z:
        assert z.testzip() is None
        return {info.filename: z.read(info) for info in z.infolist()}


@pytest.fixture(params=["crawl.warc.gz", "crawl.warc"])
def crawl(request, tmp_path: Path) -> Path:
    warc = write_warc(tmp_path / request.param, 12)
    return make_package(tmp_path, warc)


@pytest.mark.parametrize("where", ["in place", "-o OUT", "-o -"])
def test_append_keeps_the_package_valid_and_every_index_line(
    crawl: Path, tmp_path: Path, where: str
):
    (tmp_path / "store.c2pa").write_bytes(STORE)
    before = entries(crawl)
    listing = set(os.listdir(tmp_path))
    out = crawl if where == "in place" else tmp_path / "signed.wacz"
    options = {"in place": [], "-o OUT": ["-o", out], "-o -": ["-o", "-"]}[where]
    written = run("append", crawl, tmp_path / "store.c2pa", *options, check=True)
    if where == "-o -":
        out.write_bytes(written.stdout)  # the package alone: the report went to stderr
    assert_valid(out)
    run("manifest", out, "-o", tmp_path / "back", check=True)
    assert (tmp_path / "back").read_bytes() == STORE
    after = entries(out)
    (warc_name,) = [name for name in after if name.startswith("archive/")]
    old, new = before[warc_name], after[warc_name]
    lines = index_lines(out)
    assert lines and all(line["filename"] == warc_name.split("/")[1] for line in lines)
    for line in lines:
        start, end = int(line["offset"]), int(line["offset"]) + int(line["length"])
        assert new[start:end] == old[start:end]
    read = list(ArchiveIterator(io.BytesIO(new), arc2warc=False))
    assert len(read) == len(list(ArchiveIterator(io.BytesIO(old)))) + 1
    assert read[-1].rec_headers.get_header("WARC-Type") == "c2paprovenance"
    assert {n for n in after if n != warc_name and not n.startswith("datapackage")} == {
        n for n in before if n != warc_name and not n.startswith("datapackage")
    }
    for name in before:
        if name != warc_name and not name.startswith("datapackage"):
            assert after[name] == before[name]
    left = set(os.listdir(tmp_path)) - listing - {"back", out.name}
    assert not left  # no temporary file stays behind


def test_second_append_changes_only_the_last_member_and_the_two_json_files(
    crawl: Path, tmp_path: Path
):
    first = quillmark_files.append_to_package(crawl, b"first", tmp_path / "one.wacz")
    second = quillmark_files.append_to_package(tmp_path / "one.wacz", STORE, tmp_path / "two.wacz")
    assert (first.archive.manifests_removed, second.archive.manifests_removed) == (0, 1)
    assert second.moved_from is None and first.moved_from is None
    one, two = (tmp_path / "one.wacz").read_bytes(), (tmp_path / "two.wacz").read_bytes()
    kept = first.archive.member_offset or first.archive.manifest_offset
    start = second.warc_offset
    assert start == first.warc_offset
    with zipfile.ZipFile(tmp_path / "one.wacz") as z:
        header = z.getinfo(first.warc).header_offset
    assert one[:header] == two[:header]  # every entry before the WARC's
    assert one[start : start + kept] == two[start : start + kept]  # all but its last member
    a, b = entries(tmp_path / "one.wacz"), entries(tmp_path / "two.wacz")
    changed = {name for name in a if a[name] != b[name]}
    assert changed == {first.warc, "datapackage.json", "datapackage-digest.json"}
    assert_valid(tmp_path / "two.wacz")


def test_a_removed_manifest_record_in_the_middle_is_reported(tmp_path: Path):
    warc = write_warc(tmp_path / "mid.warc.gz", 6, manifest_after=2)
    package = make_package(tmp_path, warc)
    old = entries(package)["archive/mid.warc.gz"]
    offsets = [r.offset for r in quillmark_files.iter_records(package)]
    manifest_at = [r.gzip_offset for r in quillmark_files.iter_records(package) if r.is_manifest]
    (tmp_path / "store").write_bytes(STORE)
    result = run("append", package, tmp_path / "store", "-o", tmp_path / "out.wacz", check=True)
    (line,) = result.stderr.decode().splitlines()
    assert "stale" in line
    moved = int(line.partition("from byte ")[2].split()[0])
    assert manifest_at[0] <= moved < manifest_at[0] + 40  # inside the next member's gzip header
    assert_valid(tmp_path / "out.wacz")
    new = entries(tmp_path / "out.wacz")["archive/mid.warc.gz"]
    assert new[:moved] == old[:moved] and new[moved] != old[moved] and len(offsets) == 7
    for line in index_lines(tmp_path / "out.wacz"):  # the lines the warning spares still hold
        start, end = int(line["offset"]), int(line["offset"]) + int(line["length"])
        assert (new[start:end] == old[start:end]) == (end <= moved)


def test_several_warcs(tmp_path: Path):
    warcs = [write_warc(tmp_path / f"{n}.warc.gz", 3 + i) for i, n in enumerate("ab")]
    package = make_package(tmp_path, *warcs)
    (tmp_path / "store").write_bytes(STORE)
    store = tmp_path / "store"
    for args in (("records", package), ("manifest", package), ("append", package, store)):
        result = run(*args)
        assert result.returncode == 1
        assert b"archive/a.warc.gz, archive/b.warc.gz" in result.stderr
        assert len(result.stderr.splitlines()) == 1
    run("append", package, tmp_path / "store", "--warc", "b.warc.gz", check=True)
    assert_valid(package)
    assert quillmark_files.read_manifest(package, warc="archive/b.warc.gz") == STORE
    assert quillmark_files.read_manifest(package, warc="archive/a.warc.gz") is None
    listed = run("check", package, check=True).stdout.decode().splitlines()
    assert listed == [
        f"{package}#archive/a.warc.gz: well-formed, no manifest store",
        f"{package}#archive/b.warc.gz: well-formed, manifest store of {len(STORE)} bytes",
    ]
    rows = [json.loads(line) for line in run("audit", tmp_path, check=True).stdout.splitlines()]
    by_path = {row["path"]: row for row in rows}
    assert by_path[f"{package}#archive/b.warc.gz"]["manifest_size"] == len(STORE)
    assert by_path[f"{package}#archive/a.warc.gz"]["records"] == 3


def rezip(source: Path, target: Path, change=None, **options) -> Path:
    """``source`` written again by zipfile, each entry's content passed
    through ``change(name, data)`` when given."""
    with zipfile.ZipFile(source) as old, zipfile.ZipFile(target, "w", **options) as new:
        for info in old.infolist():
            data = old.read(info)
            if change is not None:
                data, info = change(data, info)
            if data is not None:
                new.writestr(info, data)
    return target


def sign(data: bytes, info: zipfile.ZipInfo):
    if info.filename == "datapackage-digest.json":
        digest = json.loads(data)
        digest["signedData"] = {"hash": digest["hash"], "signature": "c2lnbmVk"}
        data = json.dumps(digest, indent=2).encode()
    return data, info


def test_a_signed_package_is_refused_unless_the_signature_is_dropped(crawl: Path, tmp_path: Path):
    signed = rezip(crawl, tmp_path / "signed.wacz", sign)
    (tmp_path / "store").write_bytes(STORE)
    before = signed.read_bytes()
    listing = sorted(os.listdir(tmp_path))
    refused = run("append", signed, tmp_path / "store")
    assert refused.returncode == 1 and len(refused.stderr.splitlines()) == 1
    assert b"signature" in refused.stderr and b"--drop-signature" in refused.stderr
    assert signed.read_bytes() == before and sorted(os.listdir(tmp_path)) == listing
    dropped = run("append", signed, tmp_path / "store", "--drop-signature", check=True)
    assert b"without the signature" in dropped.stderr
    digest = json.loads(entries(signed)["datapackage-digest.json"])
    assert "signedData" not in digest
    assert_valid(signed)


def deflate_warc(data: bytes, info: zipfile.ZipInfo):
    if info.filename.startswith("archive/"):
        info.compress_type = zipfile.ZIP_DEFLATED
    return data, info


def replace_json(text: bytes):
    def change(data: bytes, info: zipfile.ZipInfo):
        return (text if info.filename == "datapackage.json" else data), info

    return change


def unlist_warc(data: bytes, info: zipfile.ZipInfo):
    if info.filename == "datapackage.json":
        document = json.loads(data)
        document["resources"] = [r for r in document["resources"] if "archive/" not in r["path"]]
        data = json.dumps(document).encode()
    return data, info


def cut(fraction: float):
    def damage(path: Path) -> None:
        data = path.read_bytes()
        path.write_bytes(data[: int(len(data) * fraction)])

    return damage


def shift_directory(path: Path) -> None:
    data = bytearray(path.read_bytes())
    end = data.rfind(b"PK\x05\x06")
    offset = int.from_bytes(data[end + 16 : end + 20], "little")
    data[end + 16 : end + 20] = (offset - 7).to_bytes(4, "little")
    path.write_bytes(bytes(data))


def rename_local_header(path: Path) -> None:
    data = path.read_bytes()
    path.write_bytes(data.replace(b"archive/crawl.warc", b"archive/crawl.waRc", 1))


@pytest.mark.parametrize(
    "damage, message",
    [
        (cut(0.5), "truncated ZIP file"),
        (cut(0.999), "truncated ZIP file"),
        (shift_directory, "central directory"),
        (rename_local_header, "local header names another file"),
        (deflate_warc, "archive/crawl.warc.gz is deflated; a WARC in a package must be stored"),
        (
            replace_json(b'{"resources": ['),
            "datapackage.json: not valid JSON: expected a value or ']' at byte 15",
        ),
        (replace_json(b"\xff{}"), "datapackage.json: not valid JSON: expected a value at byte 0"),
        (unlist_warc, "datapackage.json: archive/crawl.warc.gz is not listed in resources"),
        (lambda path: path.write_bytes(b"WARC/1.1\r\n"), "not a ZIP file"),
    ],
)
def test_a_damaged_package_is_one_line_status_1_and_nothing_left(
    tmp_path: Path, damage, message: str
):
    folder = tmp_path / "work"
    folder.mkdir()
    good = make_package(tmp_path, write_warc(tmp_path / "crawl.warc.gz", 4))
    bad = folder / "bad.wacz"
    if damage.__code__.co_argcount == 2:
        rezip(good, bad, damage)
    else:
        bad.write_bytes(good.read_bytes())
        damage(bad)
    (folder / "store").write_bytes(STORE)
    content, listing = bad.read_bytes(), sorted(os.listdir(folder))
    for args in (
        ("check", bad),
        ("manifest", bad),
        ("records", bad),
        ("append", bad, folder / "store"),
        ("append", bad, folder / "store", "-o", folder / "out.wacz"),
    ):
        result = run(*args)
        assert result.returncode == 1 and result.stdout == b""
        (line,) = result.stderr.decode().splitlines()
        assert line.startswith(f"quillmark: {bad}: ") and message in line, line
        assert bad.read_bytes() == content and sorted(os.listdir(folder)) == listing
    with pytest.raises(quillmark_files.PackageError):
        quillmark_files.check(bad)


@pytest.mark.parametrize(
    "options", [{"force_zip64": True}, {"descriptors": True}], ids=["zip64", "descriptors"]
)
def test_zip64_entries_and_data_descriptors_round_trip(crawl: Path, tmp_path: Path, options):
    """Entries written with ZIP64 fields (zipfile's force_zip64) or data
    descriptors (zipfile writing to a stream) are copied as they are."""
    source = tmp_path / "made.wacz"
    with zipfile.ZipFile(crawl) as old:
        stream = open(source, "wb")  # noqa: SIM115
        target = _Unseekable(stream) if options.get("descriptors") else stream
        with zipfile.ZipFile(target, "w") as new:
            for info in old.infolist():
                data = old.read(info)
                with new.open(info, "w", force_zip64=options.get("force_zip64", False)) as out:
                    out.write(data)
        stream.close()
    raw = source.read_bytes()
    quillmark_files.append_manifest(source, STORE, tmp_path / "out.wacz")
    assert quillmark_files.read_manifest(tmp_path / "out.wacz") == STORE
    assert_valid(tmp_path / "out.wacz")
    out = (tmp_path / "out.wacz").read_bytes()
    with zipfile.ZipFile(source) as z:  # the entries before the WARC are copied byte for byte
        warc = next(i for i in z.infolist() if i.filename.startswith("archive/"))
    assert out[: warc.header_offset] == raw[: warc.header_offset]


class _Unseekable(io.RawIOBase):
    def __init__(self, stream) -> None:
        self.stream = stream

    def writable(self) -> bool:
        return True

    def write(self, data) -> int:
        return self.stream.write(data)

    def flush(self) -> None:
        if not self.stream.closed:  # also called when the object goes, after the stream
            self.stream.flush()


FAR = 9 << 29  # 4.5 GiB


def _far_output(path: Path) -> Output:
    """An output that starts 4.5 GiB into a sparse file, so that every offset
    written needs ZIP64 fields, without writing gigabytes."""
    fd = os.open(path, os.O_RDWR | os.O_CREAT | os.O_TRUNC)
    return Output(fd, start=os.lseek(fd, FAR, os.SEEK_SET))


def test_offsets_and_sizes_past_4_gib_use_zip64(crawl: Path, tmp_path: Path):
    from quillmark_files.package._writer import write_package

    far = tmp_path / "far.wacz"
    output = _far_output(far)
    with Package(str(crawl)) as package:
        (warc,) = package.warcs
        write = warc_appender(
            package,
            warc,
            STORE,
            record_id="urn:uuid:far",
            inflater=None,
            progress=None,
            threads=None,
        )
        written = write_package(
            package, warc, output, write, size_hint=5 << 30, drop_signature=False
        )
    output.flush()
    os.close(output.fd)
    assert written.warc_offset > 1 << 32
    with zipfile.ZipFile(far) as z:  # every offset, and the WARC's ZIP64 local header
        assert z.testzip() is None
        assert all(info.header_offset > 1 << 32 for info in z.infolist())
    assert quillmark_files.read_manifest(far) == STORE
    quillmark_files.append_manifest(far, b"again", tmp_path / "near.wacz")
    assert quillmark_files.read_manifest(tmp_path / "near.wacz") == b"again"
    assert_valid(tmp_path / "near.wacz")


@pytest.mark.parametrize("indent", [None, 2, 4, "\t"])
@pytest.mark.parametrize("ascii", [True, False])
def test_datapackage_json_keeps_its_layout(indent, ascii: bool):
    from quillmark_files.package._datapackage import DataPackage

    document = {
        "profile": "data-package",
        "title": "Kr\u00e4he \u2603",
        "resources": [
            {"name": "a.warc.gz", "path": "archive/a.warc.gz", "hash": "md5:00", "bytes": 1},
            {"path": "indexes/index.cdx.gz", "bytes": 2, "x": [1.5, None, True]},
        ],
        "created": "2024-01-01T00:00:00Z",
    }
    text = json.dumps(document, indent=indent, ensure_ascii=ascii).encode()
    package = DataPackage(text, ["archive/a.warc.gz"])
    assert package.listed["archive/a.warc.gz"].algorithm == "md5"
    document["resources"][0].update(hash="md5:ff", bytes=99)
    expected = json.dumps(document, indent=indent, ensure_ascii=ascii).encode()
    assert package.updated("archive/a.warc.gz", "ff", 99) == expected


@pytest.fixture(scope="module")
def small_package(tmp_path_factory) -> bytes:
    """A package made by zipfile: a WARC, an index, the two JSON files."""
    folder = tmp_path_factory.mktemp("small")
    warc = write_warc(folder / "crawl.warc.gz", 3).read_bytes()
    resources = [
        {"path": path, "hash": "sha256:" + hashlib.sha256(data).hexdigest(), "bytes": len(data)}
        for path, data in (("archive/crawl.warc.gz", warc), ("indexes/index.cdx", b"x 1 {}\n"))
    ]
    text = json.dumps({"resources": resources}).encode()
    digest = {"path": "datapackage.json", "hash": "sha256:" + hashlib.sha256(text).hexdigest()}
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w") as z:
        z.writestr("indexes/index.cdx", b"x 1 {}\n", zipfile.ZIP_DEFLATED)
        z.writestr("archive/crawl.warc.gz", warc)
        z.writestr("datapackage.json", text, zipfile.ZIP_DEFLATED)
        z.writestr("datapackage-digest.json", json.dumps(digest))
    return buffer.getvalue()


@settings(max_examples=60)
@given(data=st.data())
def test_damaged_structure_is_refused_or_gives_a_sound_package(small_package: bytes, data):
    """One byte of the ZIP's own structure changed (a header, the central
    directory, the end record, the JSON files; not the data of the entries
    copied as they are): the append either refuses
    with an ArchiveError and writes nothing, or writes a package with the new
    store in it, which zipfile reads whole where it read the damaged one."""
    with zipfile.ZipFile(io.BytesIO(small_package)) as z:
        copied = [  # data copied unchecked, as it stands: left alone here
            (info.header_offset + 30 + len(info.filename), info.compress_size)
            for info in z.infolist()
            if not info.filename.startswith("datapackage")
        ]
    at = data.draw(
        st.integers(0, len(small_package) - 1).filter(
            lambda i: not any(start <= i < start + size for start, size in copied)
        )
    )
    damaged = bytearray(small_package)
    damaged[at] ^= data.draw(st.integers(1, 255))
    with tempfile.TemporaryDirectory() as folder:
        source, out = Path(folder) / "in.wacz", Path(folder) / "out.wacz"
        source.write_bytes(bytes(damaged))
        try:
            quillmark_files.append_manifest(source, STORE, out)
        except quillmark_files.ArchiveError as error:
            assert "\n" not in str(error)
            assert sorted(os.listdir(folder)) == ["in.wacz"]
            return
        assert quillmark_files.read_manifest(out) == STORE
        try:  # entries are copied as they are: what zipfile refused before, it refuses after
            with zipfile.ZipFile(source) as z:
                z.testzip()
        except (zipfile.BadZipFile, NotImplementedError, ValueError, zlib.error):
            return
        with zipfile.ZipFile(out) as z:
            assert z.testzip() is None
