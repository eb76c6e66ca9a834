"""Damaged and hostile packages (made by py-wacz, then damaged): every
command says why in one line with status 1, writes nothing and leaves the
input as it was; nothing is passed as sound or rewritten with fresh hashes;
an audit still gives every sound package's rows. And the text of
datapackage.json is kept byte for byte but for the two values an append
changes."""

from __future__ import annotations

import base64
import hashlib
import io
import json
import os
import zipfile
from pathlib import Path

import pytest
import quillmark_files
from hypothesis import given, settings
from hypothesis import strategies as st
from quillmark_cli.__main__ import main
from quillmark_files.crawl import read_report
from test_wacz import STORE, make_package, write_warc

WARC = "archive/crawl.warc"


def sha256(data: bytes) -> str:
    return "sha256:" + hashlib.sha256(data).hexdigest()


def quillmark(capsysbinary, *args: object) -> tuple[int, bytes, list[str]]:
    """The command run in this process: status, standard output, error lines."""
    status = main([str(arg) for arg in args])
    out, err = capsysbinary.readouterr()
    text = err.decode()
    assert "Traceback" not in text and "internal error" not in text, text
    return status, out, text.splitlines()


@pytest.fixture(scope="module")
def sound(tmp_path_factory) -> dict[str, bytes]:
    """Packages made by py-wacz: a plain WARC in one, a gzip one in the other."""
    folder = tmp_path_factory.mktemp("sound")
    made = {}
    for name in ("crawl.warc", "crawl.warc.gz"):
        warc = write_warc(folder / name, 5)
        made[name] = make_package(folder, warc, name=f"{name}.wacz").read_bytes()
    return made


def members(package: bytes) -> tuple[list[zipfile.ZipInfo], dict[str, bytes]]:
    with zipfile.ZipFile(io.BytesIO(package)) as z:
        return z.infolist(), {info.filename: z.read(info) for info in z.infolist()}


def rebuilt(package: bytes, texts: dict[str, bytes], *, redigest: bool = True) -> bytes:
    """``package`` written again by zipfile with some entries' content
    replaced; datapackage-digest.json follows the new datapackage.json
    unless ``redigest`` is False."""
    infos, content = members(package)
    content.update(texts)
    if redigest and "datapackage-digest.json" not in texts:
        digest = json.loads(content["datapackage-digest.json"])
        digest["hash"] = sha256(content["datapackage.json"])
        content["datapackage-digest.json"] = json.dumps(digest).encode()
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w") as z:
        for info in infos:
            z.writestr(info, content[info.filename])
    return out.getvalue()


def resource_changed(package: bytes, path: str, **values: object) -> bytes:
    _, content = members(package)
    document = json.loads(content["datapackage.json"])
    for resource in document["resources"]:
        if resource["path"] == path:
            resource.update(values)
    return rebuilt(package, {"datapackage.json": json.dumps(document, indent=2).encode()})


def flipped_body_byte(package: bytes, name: str) -> bytes:
    """One byte of a record body flipped in place: the ZIP's CRC-32 and the
    listed hash are left as they were."""
    infos, _ = members(package)
    (info,) = [i for i in infos if i.filename == name]
    data = bytearray(package)
    start = info.header_offset + 30 + len(info.filename.encode()) + len(info.extra)
    at = data.index(b"<title>page 1", start) + 1
    data[at] ^= 0x20
    return bytes(data)


def crc_changed(package: bytes, name: str) -> bytes:
    """The WARC's CRC-32 changed in its local header and the central
    directory alike, its bytes and listed hash left as they were."""
    infos, _ = members(package)
    (info,) = [i for i in infos if i.filename == name]
    wrong = (info.CRC ^ 1).to_bytes(4, "little")
    data = bytearray(package)
    data[info.header_offset + 14 : info.header_offset + 18] = wrong
    at = data.find(b"PK\x01\x02")
    while at >= 0:
        if int.from_bytes(data[at + 42 : at + 46], "little") == info.header_offset:
            data[at + 16 : at + 20] = wrong
        at = data.find(b"PK\x01\x02", at + 4)
    return bytes(data)


def datapackage_text(text: bytes):
    return lambda package: rebuilt(package, {"datapackage.json": text})


def listing(path: str, hash: str = "sha256:00", size: str = "1") -> bytes:
    return b'{"resources": [{"path": "%s", "hash": "%s", "bytes": %s}]}' % (
        path.encode(),
        hash.encode(),
        size.encode(),
    )


DEEP = b'{"resources": [], "x": ' + b"[" * 100_000 + b"]" * 100_000 + b"}"
# What a package says of its WARC, told apart from what it holds (the line ends "NAME: why").
WARC_DAMAGE = {
    "listed hash": (
        lambda p, w: resource_changed(p, w, hash=sha256(b"another")),
        "does not match its sha256 in datapackage.json",
    ),
    "body byte": (flipped_body_byte, "does not match its sha256 in datapackage.json"),
    "CRC-32": (crc_changed, "does not match its CRC-32 in the ZIP directory"),
    "size": (
        lambda p, w: resource_changed(p, w, bytes=1 + len(members(p)[1][w])),
        "does not match its size in datapackage.json",
    ),
    "md5 hash": (
        lambda p, w: resource_changed(p, w, hash="md5:" + hashlib.md5(b"x").hexdigest()),
        "does not match its md5 in datapackage.json",
    ),
}
# The package's own text at fault (the line ends "PACKAGE: why").
TEXT_DAMAGE = {
    "digest": (
        lambda p: rebuilt(
            p, {"datapackage.json": members(p)[1]["datapackage.json"] + b" "}, redigest=False
        ),
        "datapackage.json does not match its sha256 in datapackage-digest.json",
    ),
    "nesting": (
        datapackage_text(DEEP),
        "datapackage.json: nested deeper than 512 levels at byte 534",
    ),
    "surrogate": (
        datapackage_text(b'{"x":"\\ud800","resources":[]}'),
        "datapackage.json: lone surrogate \\ud800 at byte 6",
    ),
    "bad UTF-8": (
        datapackage_text(b'{"x":"\xc3\x28"}'),
        "datapackage.json: invalid UTF-8 at byte 6",
    ),
    "resources": (
        datapackage_text(b'{"resources": [1]}'),
        "datapackage.json: resources is not a list of objects",
    ),
    "huge size": (
        lambda p: rebuilt(p, {"datapackage.json": listing(WARC, size="1" + "0" * 400)}),
        f"datapackage.json: the bytes of {WARC} is out of range",
    ),
    "float size": (
        lambda p: rebuilt(p, {"datapackage.json": listing(WARC, size="1e400")}),
        f"datapackage.json: the bytes of {WARC} is not a whole number",
    ),
    "unknown hash": (
        lambda p: rebuilt(p, {"datapackage.json": listing(WARC, hash="rot13:00")}),
        f"datapackage.json: the hash of {WARC} uses rot13, which is not known here",
    ),
    "too large": (  # held in memory whole: bounded
        datapackage_text(b"{}" + b" " * (16 << 20)),
        f"datapackage.json is too large ({(16 << 20) + 2} bytes)",
    ),
    "digest text": (
        lambda p: rebuilt(p, {"datapackage-digest.json": b'{"path": "datapackage.json"}'}),
        "datapackage-digest.json: hash is missing",
    ),
}


def commands(bad: Path, folder: Path) -> list[tuple[object, ...]]:
    return [
        ("check", bad),
        ("records", bad),
        ("manifest", bad),
        ("append", bad, folder / "store"),
        ("append", bad, folder / "store", "-o", folder / "out.wacz"),
        ("append", bad, folder / "store", "-o", "-"),
    ]


def assert_refused_everywhere(capsysbinary, bad: Path, line: str) -> None:
    folder = bad.parent
    (folder / "store").write_bytes(STORE)
    before, files = bad.read_bytes(), sorted(os.listdir(folder))
    for args in commands(bad, folder):
        status, out, lines = quillmark(capsysbinary, *args)
        assert (status, out, lines) == (1, b"", [f"quillmark: {line}"]), args
        assert bad.read_bytes() == before and sorted(os.listdir(folder)) == files, args


@pytest.mark.parametrize(
    "kind, damage",
    [  # a flipped byte in gzip data is caught by gzip's own check
        (kind, damage)
        for kind in ("crawl.warc", "crawl.warc.gz")
        for damage in sorted(WARC_DAMAGE)
        if not (damage == "body byte" and kind.endswith(".gz"))
    ],
)
def test_a_warc_unlike_what_the_package_says_is_refused(
    sound, tmp_path: Path, capsysbinary, kind: str, damage: str
):
    make, why = WARC_DAMAGE[damage]
    name = f"archive/{kind}"
    bad = tmp_path / "bad.wacz"
    bad.write_bytes(make(sound[kind], name))
    assert_refused_everywhere(capsysbinary, bad, f"{bad}#{name}: {why}")
    with pytest.raises(quillmark_files.PackageMismatch) as raised:
        quillmark_files.check(bad)
    assert raised.value.path == f"{bad}#{name}"
    with pytest.raises(quillmark_files.PackageMismatch):  # after every record was yielded
        for _ in quillmark_files.iter_records(bad):
            pass


@pytest.mark.parametrize("damage", sorted(TEXT_DAMAGE))
def test_a_package_whose_text_fails_is_one_line_naming_it(
    sound, tmp_path: Path, capsysbinary, damage: str
):
    make, why = TEXT_DAMAGE[damage]
    bad = tmp_path / "bad.wacz"
    bad.write_bytes(make(sound["crawl.warc"]))
    assert_refused_everywhere(capsysbinary, bad, f"{bad}: {why}")


def test_audit_gives_a_damaged_package_its_row_and_keeps_the_others(
    sound, tmp_path: Path, capsysbinary
):
    crawl = tmp_path / "crawl"
    (crawl / "2026").mkdir(parents=True)
    (crawl / "a-sound.wacz").write_bytes(sound["crawl.warc.gz"])
    (crawl / "b-deep.wacz").write_bytes(TEXT_DAMAGE["nesting"][0](sound["crawl.warc"]))
    flipped = WARC_DAMAGE["body byte"][0](sound["crawl.warc"], WARC)
    (crawl / "2026" / "c-flipped.wacz").write_bytes(flipped)
    (crawl / "d.warc").write_bytes(members(sound["crawl.warc"])[1][WARC])
    report = tmp_path / "rows.jsonl"
    status, _, _ = quillmark(capsysbinary, "audit", crawl, "-o", report, "-j", "2")
    assert status == 1
    rows = {row["path"]: row for row in read_report(str(report))}
    deep, flipped_row = rows[f"{crawl}/b-deep.wacz"], rows[f"{crawl}/2026/c-flipped.wacz#{WARC}"]
    assert deep["error"] == TEXT_DAMAGE["nesting"][1]
    assert deep["size"] == (crawl / "b-deep.wacz").stat().st_size
    assert flipped_row["error"] == "does not match its sha256 in datapackage.json"
    assert flipped_row["size"] == len(members(sound["crawl.warc"])[1][WARC])
    for sound_row in (f"{crawl}/a-sound.wacz#archive/crawl.warc.gz", f"{crawl}/d.warc"):
        assert rows[sound_row]["error"] is None and rows[sound_row]["records"] == 5
    assert len(rows) == 4
    # A WARC named as a report names it is audited as that WARC.
    status, _, _ = quillmark(
        capsysbinary, "audit", f"{crawl}/2026/c-flipped.wacz#{WARC}", "-o", report
    )
    assert status == 1
    (row,) = read_report(str(report))
    assert (
        row["path"] == f"{crawl}/2026/c-flipped.wacz#{WARC}"
        and row["error"] == flipped_row["error"]
    )


def test_a_warc_in_a_folder_of_archive_is_found_by_its_path(sound, tmp_path: Path, capsysbinary):
    infos, content = members(sound["crawl.warc.gz"])
    nested = "archive/2026/crawl.warc.gz"
    out = io.BytesIO()
    document = json.loads(content["datapackage.json"])
    for resource in document["resources"]:
        resource["path"] = resource["path"].replace("archive/", "archive/2026/")
    content["datapackage.json"] = json.dumps(document, indent=2).encode()
    digest = json.loads(content["datapackage-digest.json"])
    digest["hash"] = sha256(content["datapackage.json"])
    content["datapackage-digest.json"] = json.dumps(digest).encode()
    with zipfile.ZipFile(out, "w") as z:
        for info in infos:
            data = content[info.filename]
            info.filename = info.filename.replace("archive/", "archive/2026/")
            z.writestr(info, data)
    package = tmp_path / "nested.wacz"
    package.write_bytes(out.getvalue())
    (tmp_path / "store").write_bytes(STORE)
    status, _, lines = quillmark(capsysbinary, "manifest", package)
    assert (status, lines) == (1, [f"quillmark: {package}#{nested}: no C2PA manifest record found"])
    status, out_bytes, lines = quillmark(capsysbinary, "check", package)
    assert (status, lines) == (0, [])
    assert out_bytes.decode().startswith(f"{package}#{nested}: well-formed")
    for warc in (nested, "crawl.warc.gz"):
        status, _, _ = quillmark(
            capsysbinary, "append", package, tmp_path / "store", "--warc", warc
        )
        assert status == 0
    assert quillmark_files.read_manifest(package, warc=nested) == STORE
    assert members(package.read_bytes())[1][nested] != content["archive/crawl.warc.gz"]


def package_with_text(warc: bytes, template: bytes, digest_template: bytes) -> bytes:
    text = template.replace(b"@HASH@", sha256(warc).encode()).replace(b"@BYTES@", b"%d" % len(warc))
    digest = digest_template.replace(b"@HASH@", sha256(text).encode())
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w") as z:
        z.writestr("archive/crawl.warc.gz", warc)
        z.writestr("datapackage.json", text, zipfile.ZIP_DEFLATED)
        z.writestr("datapackage-digest.json", digest)
    return out.getvalue()


LAYOUTS = {
    "CRLF and tabs": b'{\r\n\t"profile": "data-package",\r\n\t"resources": [\r\n\t\t{'
    b'\r\n\t\t\t"path": "archive/crawl.warc.gz",\r\n\t\t\t"hash": "@HASH@",'
    b'\r\n\t\t\t"bytes": @BYTES@\r\n\t\t}\r\n\t]\r\n}\r\n',
    "compact and escaped": b'{"title":"a\\/b \\u00e9","n":2.50,"big":1e400,"resources":['
    b'{"bytes":@BYTES@,"hash":"@HASH@","path":"archive\\/crawl.warc.gz"},'
    b'{"path":"x","bytes":-0.0}]}',
    "BOM, non-ASCII, repeated keys": b'\xef\xbb\xbf{ "titre" : "Kr\xc3\xa4he \xe2\x98\x83" , '
    b'"resources" : [ { "path" : "archive/crawl.warc.gz" , "bytes" : 0 , '
    b'"bytes" : @BYTES@ , "hash" : "@HASH@" } ] }',
}
DIGEST_LAYOUTS = [
    b'{"path": "datapackage.json", "hash": "@HASH@"}',
    b'{\r\n  "signedData": {"a": [1, 2.0]},\r\n  "hash":"@HASH@" ,"path":"datapackage.json"\r\n}',
]


@pytest.mark.parametrize("layout", sorted(LAYOUTS))
@pytest.mark.parametrize("digest_layout", range(len(DIGEST_LAYOUTS)))
def test_an_append_changes_only_the_two_values(
    sound, tmp_path: Path, layout: str, digest_layout: int
):
    warc = members(sound["crawl.warc.gz"])[1]["archive/crawl.warc.gz"]
    template, digest_template = LAYOUTS[layout], DIGEST_LAYOUTS[digest_layout]
    package = tmp_path / "in.wacz"
    package.write_bytes(package_with_text(warc, template, digest_template))
    signed = b"signedData" in digest_template
    quillmark_files.append_to_package(package, STORE, tmp_path / "out.wacz", drop_signature=signed)
    _, written = members((tmp_path / "out.wacz").read_bytes())
    new_warc = written["archive/crawl.warc.gz"]
    assert new_warc != warc and quillmark_files.read_manifest(tmp_path / "out.wacz") == STORE
    expected = package_with_text(new_warc, template, digest_template)
    _, wanted = members(expected)
    assert written["datapackage.json"] == wanted["datapackage.json"]
    if signed:
        text = wanted["datapackage-digest.json"]
        assert written["datapackage-digest.json"] == text.replace(
            b'"signedData": {"a": [1, 2.0]},\r\n  ', b""
        )
    else:
        assert written["datapackage-digest.json"] == wanted["datapackage-digest.json"]
    quillmark_files.check(tmp_path / "out.wacz")  # and it checks as sound


def test_a_damaged_warc_beside_the_one_appended_to_stays_found(sound, tmp_path: Path):
    """Appending to the sound WARC of a package copies the damaged one byte
    for byte with its own CRC-32 and listed hash: it is still refused after."""
    folder = tmp_path / "two"
    folder.mkdir()
    first = write_warc(folder / "first.warc", 3)
    second = write_warc(folder / "second.warc.gz", 3)
    package = make_package(folder, first, second)
    damaged = tmp_path / "damaged.wacz"
    damaged.write_bytes(flipped_body_byte(package.read_bytes(), "archive/first.warc"))
    out = tmp_path / "out.wacz"
    quillmark_files.append_to_package(damaged, STORE, out, warc="second.warc.gz")
    assert quillmark_files.read_manifest(out, warc="second.warc.gz") == STORE
    with pytest.raises(quillmark_files.PackageMismatch) as raised:
        quillmark_files.check(out, warc="first.warc")
    assert (raised.value.path, raised.value.against) == (f"{out}#archive/first.warc", "hash")
    with pytest.raises(quillmark_files.PackageMismatch):
        quillmark_files.append_to_package(out, STORE, tmp_path / "again.wacz", warc="first.warc")
    assert not (tmp_path / "again.wacz").exists()


TEXT = st.text(st.characters(exclude_categories=("Cs",)))  # no lone surrogates


@settings(max_examples=20 if os.environ.get("QUILLMARK_QUICK") else 60, deadline=None)
@given(
    document=st.recursive(
        st.none()
        | st.booleans()
        | st.integers()
        | st.floats(allow_nan=False, allow_infinity=False)
        | TEXT,
        lambda inner: st.lists(inner, max_size=3) | st.dictionaries(TEXT, inner, max_size=3),
        max_leaves=12,
    ),
    indent=st.sampled_from([None, 0, 1, "\t", 4]),
    ascii=st.booleans(),
    crlf=st.booleans(),
    order=st.permutations(["path", "hash", "bytes", "extra"]),
    place=st.integers(0, 3),
)
def test_updated_text_differs_only_in_the_two_values(document, indent, ascii, crlf, order, place):
    """Any JSON text made by json.dumps in any layout (and with CRLF line
    ends), the WARC's resource among others and its keys in any order: the
    edited text is the same text with the two values replaced."""
    from quillmark_files.package._datapackage import DataPackage

    def text(hash_value: str, size: int) -> bytes:
        fields = {"path": WARC, "hash": hash_value, "bytes": size, "extra": document}
        resource = {key: fields[key] for key in order}
        resources = [{"path": f"other/{n}", "x": document} for n in range(3)]
        resources.insert(place, resource)
        dumped = json.dumps(
            {"a": document, "resources": resources}, indent=indent, ensure_ascii=ascii
        )
        return (dumped.replace("\n", "\r\n") if crlf else dumped).encode()

    package = DataPackage(text("md5:" + "0" * 32, 7), [WARC])
    assert package.listed[WARC].size == 7 and package.listed[WARC].algorithm == "md5"
    assert package.updated(WARC, "ab" * 16, 12345678901) == text("md5:" + "ab" * 16, 12345678901)


def test_offsets_past_every_file_are_refused_in_one_line(tmp_path: Path, capsysbinary):
    """A ZIP64 locator pointing past 2**63 (found by the package fuzzer)."""
    far = tmp_path / "far.wacz"
    far.write_bytes(
        base64.b64decode("UAAAUEsGBwAAAAAAAAAAiV0fiQAAAABQSwUGAAAAAAUABQAAAAABQwcaAAAA")
    )
    status, out, lines = quillmark(capsysbinary, "check", far)
    assert (status, out) == (1, b"")
    assert lines == [f"quillmark: {far}: the ZIP64 end of central directory record is missing"]
