"""Signing archives and verifying them: round trips on every layout, a third
party's check with the SDK alone on the documented bytes, re-signing, and
every bad input refused in one line with nothing written."""

from __future__ import annotations

import gzip
import json
import os
import random
import sys
from pathlib import Path

import pytest

if sys.version_info < (3, 10):
    pytest.skip("c2pa-python needs CPython 3.10 or later", allow_module_level=True)
c2pa = pytest.importorskip("c2pa", reason="c2pa-python is not installed (quillmark[c2pa])")
pytest.importorskip("cryptography", reason="the test PKI needs cryptography")

import quillmark  # noqa: E402
import quillmark_files  # noqa: E402
from conftest import manifest_record, resource_record  # noqa: E402
from pki import make_pki  # noqa: E402
from quillmark_cli.__main__ import main  # noqa: E402
from quillmark_files import Signer, sign, verify  # noqa: E402

QUICK = bool(os.environ.get("QUILLMARK_QUICK"))
RECORDS = [resource_record(b"page %d " % n + b"x" * (n * 37)) for n in range(8)]
LAYOUTS = ("plain", "gzip per record", "gzip single member")


@pytest.fixture(scope="module")
def pki():
    return make_pki()


@pytest.fixture(scope="module")
def pems(pki, tmp_path_factory):
    folder = tmp_path_factory.mktemp("pki")
    files = {
        "chain": pki.es256.chain,
        "key": pki.es256.key,
        "root": pki.root,
        "other": pki.other_root,
        "ed_chain": pki.ed25519.chain,
        "ed_key": pki.ed25519.key,
    }
    for name, text in files.items():
        (folder / f"{name}.pem").write_text(text)
    return {name: str(folder / f"{name}.pem") for name in files}


def archive(folder: Path, layout: str, records: list[bytes] = RECORDS) -> Path:
    if layout == "plain":
        path, data = folder / "crawl.warc", b"".join(records)
    elif layout == "gzip per record":
        path, data = folder / "crawl.warc.gz", b"".join(gzip.compress(r) for r in records)
    else:
        path, data = folder / "crawl.warc.gz", gzip.compress(b"".join(records))
    path.write_bytes(data)
    return path


def sdk_alone(data: bytes, store: bytes, anchors: str) -> dict:
    """What a third party finds with c2pa-python alone: the covered bytes and
    the store, trust anchored at ``anchors``."""
    settings = c2pa.Settings.from_dict(
        {"verify": {"verify_trust": True}, "trust": {"trust_anchors": anchors}}
    )
    import io

    with c2pa.Context(settings=settings) as context:
        reader = c2pa.Reader(
            "application/c2pa", io.BytesIO(data), manifest_data=store, context=context
        )
        return json.loads(reader.json())


def codes(found: dict, kind: str) -> set[str]:
    return {entry["code"] for entry in found["validation_results"]["activeManifest"][kind]}


@pytest.mark.parametrize("layout", LAYOUTS)
@pytest.mark.parametrize("identity", ["es256", "ed25519"])
def test_a_signed_archive_verifies_here_and_with_the_sdk_alone(pki, tmp_path, layout, identity):
    who = getattr(pki, identity)
    source = archive(tmp_path, layout)
    before = source.read_bytes()
    out = tmp_path / ("signed" + "".join(source.suffixes))
    result = sign(source, Signer.from_pem(who.chain, who.key), out)
    data = out.read_bytes()
    n = result.covered
    # The covered bytes are all the output holds before its manifest record's
    # member, which the last one is; the store is that record's body.
    written = result.archive
    assert n == (written.member_offset if written.compressed else written.manifest_offset)
    assert result.sha256 == __import__("hashlib").sha256(data[:n]).hexdigest()
    if layout != "gzip single member":  # kept members and records byte for byte
        assert data[:n] == before
    content = gzip.decompress(data) if written.compressed else data
    assert quillmark.read_records(content)[-1]["offset"] == written.manifest_offset
    store = quillmark.read_manifest(content)
    assert len(store) == result.store_size and result.parent is None

    found = sdk_alone(data[:n], store, pki.root)
    assert found["validation_state"] == "Trusted"
    assert "assertion.dataHash.match" in codes(found, "success")
    assert codes(found, "failure") == set()

    checked = verify(out, trust_anchors=pki.root)
    assert (checked.signature, checked.reasons, checked.trusted) == ("valid", (), True)
    assert checked.covered == (0, n) and who.subject_cn in (checked.signer or "")
    assert {"c2pa.hash.data", "c2pa.actions.v2"} <= set(checked.report.assertions)
    untrusted = verify(out)
    assert untrusted.valid and untrusted.trusted is None
    elsewhere = verify(out, trust_anchors=pki.other_root)
    assert not elsewhere.valid and elsewhere.trusted is False
    assert any(r.startswith("signingCredential.untrusted") for r in elsewhere.reasons)


def test_any_flipped_byte_is_found_and_nothing_after_the_record_passes(pki, tmp_path):
    signer = Signer.from_pem(pki.es256.chain, pki.es256.key)
    out = tmp_path / "signed.warc"
    n = sign(archive(tmp_path, "plain"), signer, out).covered
    data = out.read_bytes()
    body_start = data.index(b"\r\n\r\n", n) + 4
    store_end = len(data) - 4
    rng = random.Random(27)
    covered = rng.sample(range(n), 4 if QUICK else 12)
    in_store = rng.sample(range(body_start, store_end), 4 if QUICK else 16)
    damaged = tmp_path / "damaged.warc"
    for position in covered + in_store:
        flipped = bytearray(data)
        flipped[position] ^= 0x20
        damaged.write_bytes(bytes(flipped))
        try:
            found = verify(damaged, trust_anchors=pki.root)
        except quillmark_files.ArchiveError:
            continue  # the flip broke the archive itself: refused as damaged
        assert not found.valid, position
        assert found.reasons, position
        if position < n and found.signature == "invalid":
            assert any("assertion.dataHash.mismatch" in r for r in found.reasons)
    # A record, or stray bytes, after the manifest record: not covered.
    for tail in (RECORDS[0], b"\r\n"):
        damaged.write_bytes(data + tail)
        found = verify(damaged, trust_anchors=pki.root)
        assert found.signature == "invalid"
        assert found.reasons[0].startswith("not covered by the signature: ")


def test_unsigned_and_not_a_c2pa_store(pki, tmp_path, pems, capfd):
    plain = archive(tmp_path, "plain")
    assert verify(plain).signature == "unsigned"
    other = tmp_path / "other.warc"
    other.write_bytes(b"".join(RECORDS) + manifest_record(b"arbitrary bytes, not JUMBF"))
    found = verify(other)
    assert found.signature == "not a C2PA store"
    assert found.reasons[0].startswith("not a C2PA manifest store (")
    assert main(["verify", str(plain), str(other)]) == 1
    out, err = capfd.readouterr()
    assert err.splitlines() == [
        f"quillmark: {plain}: no manifest store",
        f"quillmark: {other}: {found.reasons[0]}",
    ]
    assert out.splitlines() == [f"{plain}: unsigned", f"{other}: not a C2PA store"]


def test_re_signing_keeps_the_earlier_manifest_as_parent(pki, tmp_path, pems, capfd):
    source = archive(tmp_path, "gzip per record")
    first = tmp_path / "first.warc.gz"
    signer = Signer.from_pem(pki.es256.chain, pki.es256.key)
    earlier = verify(tmp_path / sign(source, signer, first).output, trust_anchors=pki.root)
    args = ["sign", str(first), "--cert", pems["ed_chain"], "--key", pems["ed_key"]]
    assert main([*args, "--trust-anchors", pems["root"]]) == 0  # in place
    out, err = capfd.readouterr()
    assert err == "" and out.endswith(f"; parent ingredient {earlier.report.active_manifest}\n")
    found = verify(first, trust_anchors=pki.root)
    assert found.valid and "c2pa.ingredient.v3" in found.report.assertions
    assert "ingredient.manifest.validated" in {s.code for s in found.report.successes}
    assert "ed25519" in (found.signer or "").lower()
    # The earlier store is carried whole: its manifest is in the new store.
    data = first.read_bytes()
    store = quillmark.read_manifest(gzip.decompress(data))
    n = found.covered[1]
    manifests = sdk_alone(data[:n], store, pki.root)["manifests"]
    assert earlier.report.active_manifest in manifests
    # --no-parent: the earlier manifest is replaced, not kept.
    assert main([*args, "--no-parent"]) == 0
    capfd.readouterr()
    assert "c2pa.ingredient.v3" not in verify(first).report.assertions


def run_failing(capfd, argv: list[str]) -> str:
    assert main(argv) == 1
    out, err = capfd.readouterr()
    assert out == "" and "Traceback" not in err
    lines = err.splitlines()
    assert len(lines) == 1, err
    return lines[0]


def test_bad_signers_and_definitions_fail_in_one_line_and_write_nothing(pki, tmp_path, pems, capfd):
    work = tmp_path / "work"
    work.mkdir()
    source = archive(work, "gzip per record")
    before = source.read_bytes()
    out = work / "out.warc.gz"
    bad = tmp_path / "bad.pem"

    def failing(*extra: str, cert: str = pems["chain"], key: str = pems["key"]) -> str:
        for target in (["-o", str(out)], []):  # to a new file, and in place
            line = run_failing(
                capfd, ["sign", str(source), "--cert", cert, "--key", key, *target, *extra]
            )
            assert not out.exists() and source.read_bytes() == before
            assert os.listdir(work) == ["crawl.warc.gz"]
        return line

    assert failing(key=pems["ed_key"]) == (
        "quillmark: the private key does not match the signing certificate"
    )
    for kind, says in (
        ({"ca": True}, "is a CA certificate"),
        ({"eku": False}, "has no extended key usage"),
        ({"expired": True}, "expired on"),
    ):
        identity = pki.identity("refused", **kind)
        bad.write_text(identity.chain)
        key = tmp_path / "refused-key.pem"
        key.write_text(identity.key)
        try:
            assert says in failing(cert=str(bad), key=str(key))
        finally:
            key.unlink()
    bad.write_text("{not json")
    assert failing("--manifest", str(bad)).startswith(
        "quillmark: the manifest definition is not valid JSON: "
    )
    bad.write_text(json.dumps({"assertions": "not a list"}))
    assert failing("--manifest", str(bad)) == (
        "quillmark: the manifest definition's assertions is not a list"
    )
    bad.write_text(json.dumps({"title": 5}))
    assert failing("--manifest", str(bad)).startswith(
        "quillmark: the SDK refused the manifest definition: Json: invalid type"
    )


def test_an_archive_of_nothing_but_a_manifest_has_nothing_to_sign(pki, tmp_path, pems, capfd):
    only = tmp_path / "only.warc"
    only.write_bytes(manifest_record(b"old"))
    line = run_failing(capfd, ["sign", str(only), "--cert", pems["chain"], "--key", pems["key"]])
    assert line == f"quillmark: {only}: nothing to sign: the archive holds no record besides " \
        "its manifest records"  # fmt: skip
    assert only.read_bytes() == manifest_record(b"old")


def test_verify_json_and_the_summary_on_the_command_line(pki, tmp_path, pems, capfd):
    out = tmp_path / "signed.warc"
    assert main(["sign", str(archive(tmp_path, "plain")), "-o", str(out),
                 "--cert", pems["chain"], "--key", pems["key"]]) == 0  # fmt: skip
    capfd.readouterr()
    assert main(["verify", "--json", "--trust-anchors", pems["root"], str(out)]) == 0
    printed, err = capfd.readouterr()
    found = json.loads(printed)
    assert err == "" and found["signature"] == "valid" and found["trusted"] is True
    assert found["covered"] == {"start": 0, "end": sum(map(len, RECORDS))}
    assert found["issuer"] == "CN=quillmark test root,O=quillmark tests,C=NL"
    assert main(["verify", "--trust-anchors", pems["other"], str(out)]) == 1
    printed, err = capfd.readouterr()
    assert printed.splitlines()[0] == f"{out}: invalid, not trusted"
    assert err == f"quillmark: {out}: signingCredential.untrusted: signing certificate untrusted\n"


def test_audit_verify_rows_agree_with_verify_in_every_format(pki, tmp_path, pems, capfd):
    from quillmark_files.crawl import FIELD_NAMES, read_report

    crawl = tmp_path / "crawl"
    crawl.mkdir()
    signer = Signer.from_pem(pki.es256.chain, pki.es256.key)
    source = archive(tmp_path, "gzip per record")
    sign(source, signer, crawl / "valid.warc.gz")
    sign(archive(tmp_path, "plain"), signer, crawl / "signed.warc")
    data = bytearray((crawl / "signed.warc").read_bytes())
    data[data.index(b"xxxx")] ^= 0x01  # a body byte: still well-formed, no longer signed
    (crawl / "flipped.warc").write_bytes(bytes(data))
    (crawl / "unsigned.warc").write_bytes(b"".join(RECORDS))
    (crawl / "foreign.warc").write_bytes(b"".join(RECORDS) + manifest_record(b"opaque"))
    (crawl / "broken.warc").write_bytes(b"WARC/1.1\r\nnot a record")
    expected = {}
    for path in sorted(crawl.iterdir()):
        try:
            found = verify(path, trust_anchors=pki.root)
        except quillmark_files.ArchiveError:
            expected[str(path)] = (None, None, None)
            continue
        error = (
            "; ".join(found.reasons) if found.signature in ("invalid", "not a C2PA store") else None
        )
        expected[str(path)] = (found.signature, error, found.signer)
    assert [state for state, _, _ in expected.values()] == [
        None, "invalid", "not a C2PA store", "valid", "unsigned", "valid"
    ]  # fmt: skip
    formats = ["jsonl", "csv"]
    if not QUICK:
        with __import__("contextlib").suppress(ImportError):
            __import__("pyarrow.parquet")
            formats.append("parquet")
    for format in formats:
        out = tmp_path / f"report.{format}"
        argv = ["audit", "--verify", "--trust-anchors", pems["root"], "-j", "2", "-o", str(out)]
        assert main([*argv, str(crawl)]) == 1  # the broken, flipped and foreign files
        capfd.readouterr()
        rows = {row["path"]: row for row in read_report(str(out))}
        got = {p: (r["signature"], r["signature_error"], r["signer"]) for p, r in rows.items()}
        assert got == expected, format
    # The Spark job's executors make the same rows.
    from quillmark_files.crawl import Verifying
    from quillmark_files.crawl.spark_audit import audit_group, list_targets

    made = audit_group(list_targets([str(crawl)]), verifying=Verifying(pki.root))
    assert {row[0]: row[-3:] for row in made} == expected
    # Without --verify, the rows are as they were.
    out = tmp_path / "plain.jsonl"
    assert main(["audit", "-o", str(out), str(crawl)]) == 1
    capfd.readouterr()
    assert all(tuple(json.loads(line)) == FIELD_NAMES for line in out.read_text().splitlines())


def test_a_warc_in_a_package_is_signed_and_verified_there(pki, tmp_path, pems, capfd):
    import zipfile

    from test_wacz import assert_valid, make_package, write_warc

    package = make_package(tmp_path, write_warc(tmp_path / "crawl.warc.gz", 6))
    signed = tmp_path / "signed.wacz"
    argv = ["sign", str(package), "-o", str(signed), "--cert", pems["chain"], "--key", pems["key"]]
    assert main(argv) == 0
    out, err = capfd.readouterr()
    assert err == "" and out.startswith(f"{signed}#archive/crawl.warc.gz: signed by ")
    assert_valid(signed)  # datapackage.json names the new WARC's size and hash
    with zipfile.ZipFile(signed) as z:
        warc = z.read("archive/crawl.warc.gz")
    found = verify(signed, trust_anchors=pki.root)
    assert found.valid and found.path == f"{signed}#archive/crawl.warc.gz"
    n = found.covered[1]
    store = quillmark.read_manifest(gzip.decompress(warc))
    # A third party takes the WARC out of the package: its bytes before the member.
    sdk = sdk_alone(warc[:n], store, pki.root)
    assert sdk["validation_state"] == "Trusted" and codes(sdk, "failure") == set()
    assert main(["verify", "--json", str(signed)]) == 0
    assert json.loads(capfd.readouterr()[0])["signature"] == "valid"
    assert main(["verify", str(package)]) == 1
    assert (
        capfd.readouterr()[1] == f"quillmark: {package}#archive/crawl.warc.gz: no manifest store\n"
    )
    # A WARC unlike what its package says of it is neither verified nor signed.
    from test_package_damage import resource_changed

    damaged = tmp_path / "damaged.wacz"
    damaged.write_bytes(
        resource_changed(signed.read_bytes(), "archive/crawl.warc.gz", hash="sha256:" + "0" * 64)
    )
    line = f"{damaged}#archive/crawl.warc.gz: does not match its sha256 in datapackage.json"
    assert main(["verify", str(damaged)]) == 1
    assert capfd.readouterr()[1] == f"quillmark: {line}\n"
    before = sorted(os.listdir(tmp_path))
    argv[1], argv[3] = str(damaged), str(tmp_path / "resigned.wacz")
    assert main(argv) == 1
    assert capfd.readouterr()[1] == f"quillmark: {line}\n"
    assert sorted(os.listdir(tmp_path)) == before


def test_without_the_sdk_sign_verify_and_audit_say_what_to_install(
    tmp_path, pems, capfd, monkeypatch
):
    from importlib import metadata

    from quillmark_files.provenance import _sdk
    from quillmark_files.provenance._failures import NEEDS_SDK

    plain = archive(tmp_path, "plain")

    def missing(name):
        raise metadata.PackageNotFoundError(name)

    try:
        _sdk._load.cache_clear()
        monkeypatch.setattr(metadata, "version", missing)
        for argv in (
            ["sign", str(plain), "--cert", pems["chain"], "--key", pems["key"]],
            ["verify", str(plain)],
            ["audit", "--verify", str(plain)],
        ):
            assert run_failing(capfd, argv) == f"quillmark: {NEEDS_SDK}"
    finally:
        monkeypatch.undo()
        _sdk._load.cache_clear()
    assert plain.read_bytes() == b"".join(RECORDS)
