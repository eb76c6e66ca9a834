"""Signing and verifying manifest stores with the C2PA SDK: stores signed
over our own SHA-256 of the covered bytes, checked by the SDK alone, and
every refusal in one line."""

from __future__ import annotations

import contextlib
import dataclasses
import gc
import hashlib
import io
import json
import random
import re
import sys

import pytest

if sys.version_info < (3, 10):
    pytest.skip("c2pa-python needs CPython 3.10 or later", allow_module_level=True)
c2pa = pytest.importorskip("c2pa", reason="c2pa-python is not installed (quillmark[c2pa])")
pytest.importorskip("cryptography", reason="the test PKI needs cryptography")

from cryptography.hazmat.primitives import hashes  # noqa: E402
from cryptography.hazmat.primitives.asymmetric import ec  # noqa: E402
from cryptography.hazmat.primitives.asymmetric.utils import decode_dss_signature  # noqa: E402
from pki import Identity, make_pki  # noqa: E402
from quillmark_files.provenance import _sdk  # noqa: E402
from quillmark_files.provenance._covered import RangeFile, sha256_of  # noqa: E402
from quillmark_files.provenance._failures import NEEDS_PYTHON, NEEDS_SDK  # noqa: E402
from quillmark_files.provenance._sdk import (  # noqa: E402
    CoveredRange,
    SdkError,
    SdkUnavailable,
    Signer,
    check_signer,
    sign_store,
    verify_store,
)
from quillmark_files.provenance._store_framing import (  # noqa: E402
    StoreFramingError,
    _Cbor,
    check_framing,
)

DATA = random.Random(27).randbytes(20_000)


@pytest.fixture(scope="module")
def pki():
    return make_pki()


@pytest.fixture(scope="module")
def signer(pki):
    return Signer.from_pem(pki.es256.chain, pki.es256.key)


@pytest.fixture(scope="module")
def store(signer):
    return sign_store(None, hashlib.sha256(DATA).digest(), signer, title="crawl.warc")


def sdk_reader(data, store, anchors):
    """The third-party check: c2pa-python alone, on the covered bytes."""
    settings = c2pa.Settings.from_dict({"trust": {"trust_anchors": anchors}})
    context = c2pa.Context(settings=settings)
    return c2pa.Reader("application/c2pa", io.BytesIO(data), manifest_data=store, context=context)


def codes(statuses):
    return sorted(status.code for status in statuses)


def flipped(data: bytes, position: int) -> bytes:
    changed = bytearray(data)
    changed[position] ^= 0x01
    return bytes(changed)


def ecdsa_callback(key):
    """An HSM stand-in: signs as ES256 wants it, r||s of 32 bytes each."""

    def sign(data: bytes) -> bytes:
        r, s = decode_dss_signature(key.sign(data, ec.ECDSA(hashes.SHA256())))
        return r.to_bytes(32, "big") + s.to_bytes(32, "big")

    return sign


@pytest.mark.parametrize("kind", ["es256", "ed25519"])
def test_the_sdk_alone_trusts_a_store_signed_over_our_hash(pki, kind):
    identity: Identity = getattr(pki, kind)
    signer = Signer.from_pem(identity.chain, identity.key)
    assert signer.algorithm == kind
    store = sign_store(None, hashlib.sha256(DATA).digest(), signer, title="crawl.warc")

    reader = sdk_reader(DATA, store, pki.root)
    results = reader.get_validation_results()["activeManifest"]
    assert reader.get_validation_state() == "Trusted"
    assert "assertion.dataHash.match" in [s["code"] for s in results["success"]]
    assert results["failure"] == []
    manifest = reader.get_active_manifest()
    assert manifest["title"] == "crawl.warc"
    assert manifest["claim_generator_info"][0]["name"] == "quillmark"
    action = manifest["assertions"][0]["data"]["actions"][0]
    assert action["action"] == "c2pa.created" and action["digitalSourceType"]

    # One flipped covered byte: the SDK alone sees the hash fail.
    reader = sdk_reader(flipped(DATA, 12_345), store, pki.root)
    failures = reader.get_validation_results()["activeManifest"]["failure"]
    assert [f["code"] for f in failures] == ["assertion.dataHash.mismatch"]


def test_the_report_names_signer_trust_assertions_and_range(pki, signer, store, tmp_path):
    path = tmp_path / "archive"
    path.write_bytes(b"x" * 100 + DATA + b"y" * 7)
    covered = CoveredRange(str(path), 100, len(DATA))
    assert sha256_of(covered) == hashlib.sha256(DATA).digest()

    report = verify_store(store, covered, pki.root)
    assert report.is_store and report.valid and report.trusted is True
    assert report.state == "Trusted" and report.reason() == ""
    assert "CN=quillmark ES256 signer" in report.signer_subject
    assert "CN=quillmark test root" in report.signer_issuer
    assert report.algorithm == "es256" and report.signing_time is None  # no timestamp authority
    assert set(report.assertions) == {"c2pa.hash.data", "c2pa.actions.v2"}
    assert report.covered == (100, len(DATA)) and report.data_hash_by == "sdk"
    assert report.failures == () and "assertion.dataHash.match" in codes(report.successes)
    assert (
        report.active_manifest
        == json.loads(sdk_reader(DATA, store, pki.root).json())["active_manifest"]
    )

    # A file shorter than the range says so, before the SDK reads anything.
    for short in (CoveredRange(str(path), 200, len(DATA)), CoveredRange(str(path), -1, 5)):
        with pytest.raises((OSError, ValueError), match="range"):
            verify_store(store, short, pki.root)
        with pytest.raises((OSError, ValueError), match="range"):
            sha256_of(short)

    unanchored = verify_store(store, DATA)
    assert unanchored.valid and unanchored.trusted is None and unanchored.state == "Valid"
    assert "signingCredential.untrusted" not in codes(unanchored.failures)

    elsewhere = verify_store(store, DATA, pki.other_root)
    assert not elsewhere.valid and elsewhere.trusted is False
    assert codes(elsewhere.failures) == ["signingCredential.untrusted"]
    assert elsewhere.reason().startswith("signingCredential.untrusted: ")

    with pytest.raises(SdkError, match="^no PEM certificate in the trust anchors$"):
        verify_store(store, DATA, "not a certificate")


def test_our_digest_stands_for_the_covered_bytes_as_the_sdk_reading_them(pki, signer, store):
    """Differential: the SDK hashing the covered bytes itself, and the SDK
    checking everything else while the store's hash is compared with our
    digest, reach the same verdict, changed covered bytes or not."""
    rng = random.Random(5)
    cases = [DATA, DATA[:-1], DATA + b"\0", b""]
    cases += [flipped(DATA, rng.randrange(len(DATA))) for _ in range(6)]
    for anchors in (pki.root, None, pki.other_root):
        for data in cases:
            by_sdk = verify_store(store, data, anchors)
            by_digest = verify_store(store, data, anchors, sha256=hashlib.sha256(data).digest())
            assert (by_sdk.data_hash_by, by_digest.data_hash_by) == (
                "sdk",
                "digest" if data else "sdk",
            )
            assert by_digest.valid == by_sdk.valid == (data == DATA and anchors != pki.other_root)
            assert by_digest.trusted == by_sdk.trusted
            assert codes(by_digest.failures) == codes(by_sdk.failures)
            assert codes(by_digest.successes) == codes(by_sdk.successes)
            assert by_digest.state == by_sdk.state

    # The SDK hashes no empty range ("no data to hash"), so no store covers one.
    with pytest.raises(ValueError, match="no covered bytes"):
        sign_store(None, hashlib.sha256(b"").digest(), signer, title="empty")


def test_every_flipped_store_byte_is_refused(pki, store):
    """A flip anywhere in the store fails: in the signed parts the SDK sees
    it; in the padding, box lengths and labels it does not, and the framing
    check does."""
    digest = hashlib.sha256(DATA).digest()
    positions = sorted(set(range(0, len(store), 7)) | set(range(len(store) - 1200, len(store), 37)))
    for position in positions:
        report = verify_store(flipped(store, position), DATA, pki.root, sha256=digest)
        assert not report.valid, position
        assert report.reason(), position

    # The SDK alone accepts a flip in the signature's zero padding.
    padding = store.rindex(b"\0" * 64) + 32
    assert sdk_reader(DATA, flipped(store, padding), pki.root).get_validation_state() == "Trusted"
    report = verify_store(flipped(store, padding), DATA, pki.root)
    assert codes(report.failures) == ["quillmark.store.framing"]
    assert "padding is not zeros" in report.reason()


def test_bytes_that_are_no_store_are_named_so(pki):
    for store in (b"hello, this is no manifest store", b"\0" * 64, b""):
        report = verify_store(store, DATA, pki.root)
        assert not report.is_store and not report.valid and report.trusted is None
        assert report.problem.startswith("not a C2PA manifest store (")
        assert "\n" not in report.problem and report.reason() == report.problem


def test_signers_the_sdk_would_refuse_are_refused_by_name(pki):
    other = pki.identity("another signer")
    refusals = [
        (
            lambda: Signer.from_pem(pki.es256.chain, other.key),
            "the private key does not match the signing certificate",
        ),
        (
            lambda: Signer.from_pem(*_pem(pki.identity("a CA", ca=True))),
            r"the signing certificate \(.*CN=a CA.*\) is a CA certificate",
        ),
        (
            lambda: Signer.from_pem(*_pem(pki.identity("no EKU", eku=False))),
            r"\(.*CN=no EKU.*\) has no extended key usage",
        ),
        (
            lambda: Signer.from_pem(*_pem(pki.identity("expired", expired=True))),
            r"\(.*CN=expired.*\) expired on 20",
        ),
        (
            lambda: Signer.from_pem("no PEM", pki.es256.key),
            "^no PEM certificate in the certificate chain$",
        ),
        (lambda: Signer.from_pem(pki.es256.chain, "no key"), "the private key does not read"),
        (
            lambda: Signer.from_pem(pki.es256.chain, pki.es256.key, "rs1"),
            "unknown signing algorithm",
        ),
    ]
    for make, message in refusals:
        with pytest.raises(SdkError, match=message) as caught:
            make()
        assert "\n" not in str(caught.value)

    # Past the checks, the SDK's own reasons come through in one line.
    digest = hashlib.sha256(DATA).digest()
    for identity, reason in [
        (pki.identity("a CA", ca=True), "the certificate is invalid"),
        (pki.identity("expired", expired=True), "not valid at time of signing"),
        (dataclasses.replace(pki.es256, key=other.key), "does not match"),
    ]:
        unchecked = Signer(identity.chain, "es256", key=identity.key)
        with pytest.raises(SdkError, match=f"^the SDK refused to sign: Signature: .*{reason}"):
            sign_store(None, digest, unchecked, title="t")
    with pytest.raises(SdkError, match="^the SDK refused the signer: .*algorithm"):
        sign_store(None, digest, Signer(pki.ed25519.chain, "es256", key=pki.ed25519.key), title="t")


def _pem(identity: Identity) -> tuple[str, str]:
    return identity.chain, identity.key


def test_definitions_not_json_or_refused_by_the_sdk(signer):
    digest = hashlib.sha256(DATA).digest()
    for definition, message in [
        ("{not json", "^the manifest definition is not valid JSON: "),
        ("[1, 2]", "^the manifest definition is not a JSON object$"),
        ({"when": object()}, "^the manifest definition is not valid JSON: "),
        ({"title": 5}, "^the SDK refused the manifest definition: Json: invalid type"),
        (
            {
                "assertions": [
                    {"label": "c2pa.actions", "data": {"actions": [{"action": "c2pa.created"}]}}
                ]
            },
            "^the SDK refused to sign: Verify: .*assertion.action.malformed: .*digitalSourceType",
        ),
    ]:
        with pytest.raises(SdkError, match=message) as caught:
            sign_store(definition, digest, signer, title="t")
        assert "\n" not in str(caught.value)
    with pytest.raises(ValueError, match="32 bytes"):
        sign_store(None, b"short", signer, title="t")

    # What a definition says is kept; what it leaves out is filled in.
    store = sign_store('{"title": "mine"}', digest, signer, title="t")
    assert verify_store(store, DATA).title == "mine"


def test_a_callback_signer_signs_and_its_failures_are_one_line(pki):
    calls = []

    def sign(data: bytes) -> bytes:
        calls.append(len(data))
        return ecdsa_callback(pki.es256.private_key)(data)

    signer = Signer.from_callback(pki.es256.chain, sign)
    assert signer.algorithm == "es256"
    for _ in range(3):  # each signing makes and frees its own native signer
        store = sign_store(None, hashlib.sha256(DATA).digest(), signer, title="hsm")
        assert verify_store(store, DATA, pki.root).trusted is True
    assert len(calls) == 3

    def broken(data: bytes) -> bytes:
        raise RuntimeError("the key service said no\nsecond line")

    with pytest.raises(
        SdkError, match="^the signing callback failed: the key service said no; second line$"
    ):
        sign_store(None, bytes(32), Signer.from_callback(pki.es256.chain, broken), title="t")
    with pytest.raises(
        SdkError, match="^the signing callback failed: the signing callback returned 0 bytes"
    ):
        sign_store(None, bytes(32), Signer.from_callback(pki.es256.chain, lambda d: b""), title="t")
    with pytest.raises(
        SdkError, match="^the SDK refused to sign: Signature: the signature does not match"
    ):
        check_signer(Signer.from_callback(pki.es256.chain, lambda d: b"\1" * 64))
    with pytest.raises(SdkError, match="is a CA certificate"):
        Signer.from_callback(pki.identity("a CA", ca=True).chain, sign)


def test_a_re_signed_store_keeps_the_earlier_manifest_as_its_parent(pki, signer, store):
    first = verify_store(store, DATA, pki.root)
    archive = DATA + store + b"records added later"
    digest = hashlib.sha256(archive).digest()
    with pytest.raises(ValueError, match="verify_store's report"):
        sign_store(None, digest, signer, title="crawl.warc", parent=store)

    again = sign_store(None, digest, signer, title="crawl.warc", parent=store, parent_report=first)
    report = verify_store(again, archive, pki.root, sha256=digest)
    assert report.valid and report.trusted and report.active_manifest != first.active_manifest
    assert "ingredient.manifest.validated" in codes(report.successes)

    reader = sdk_reader(archive, again, pki.root)
    assert reader.get_validation_state() == "Trusted"
    manifest = reader.get_active_manifest()
    (ingredient,) = manifest["ingredients"]
    assert ingredient["relationship"] == "parentOf"
    assert ingredient["active_manifest"] == first.active_manifest
    assert ingredient["validation_results"] == first.validation_results
    action = manifest["assertions"][0]["data"]["actions"][0]
    assert action["action"] == "c2pa.opened" and action["parameters"]["ingredients"]
    assert first.active_manifest in json.loads(reader.json())["manifests"]


def test_without_the_sdk_the_message_says_what_to_install(monkeypatch):
    from importlib import metadata

    def missing(name):
        raise metadata.PackageNotFoundError(name)

    try:
        _sdk._load.cache_clear()
        monkeypatch.setattr(metadata, "version", missing)
        with pytest.raises(SdkUnavailable, match=f"^{re.escape(NEEDS_SDK)}$"):
            _sdk.sdk()
        monkeypatch.setattr(metadata, "version", lambda name: "0.39.0")
        with pytest.raises(SdkUnavailable, match="need c2pa-python 0.38.x, not 0.39.0"):
            _sdk.sdk()
        monkeypatch.setattr(sys, "version_info", (3, 9, 18))
        with pytest.raises(SdkUnavailable, match=f"^{re.escape(NEEDS_PYTHON)}$"):
            Signer.from_pem("", "")
    finally:
        monkeypatch.undo()
        _sdk._load.cache_clear()
    assert _sdk.sdk().module is c2pa


def test_damaged_framing_raises_only_framing_errors(store):
    """Fuzz: random changes to a real store, and random CBOR, either read or
    fail with StoreFramingError; nothing else escapes, however hostile."""
    check_framing(store)
    rng = random.Random(11)
    for _ in range(3000):
        damaged = bytearray(store)
        for _ in range(rng.randint(1, 4)):
            damaged[rng.randrange(len(damaged))] = rng.randrange(256)
        if rng.random() < 0.2:
            del damaged[rng.randrange(len(damaged)) :]
        try:
            check_framing(bytes(damaged))
        except StoreFramingError as error:
            assert " at offset " in str(error)
    for _ in range(3000):
        blob = rng.randbytes(rng.randint(0, 40))
        with contextlib.suppress(StoreFramingError):
            _Cbor(blob, 0, len(blob)).whole()
    deep = b"\x81" * 100 + b"\x00"
    with pytest.raises(StoreFramingError, match="nested too deeply"):
        _Cbor(deep, 0, len(deep)).whole()


def test_a_range_the_file_lacks_is_refused_and_its_file_closed_once(tmp_path):
    path = tmp_path / "short"
    path.write_bytes(b"x" * 10)
    try:
        RangeFile(CoveredRange(str(path), 5, 10))
    except OSError as exc:
        assert "fewer than the covered range" in str(exc)
        kept = exc  # holds the half-made object, as a traceback in a log would
    # A file opened since may get the closed descriptor's number: the
    # half-made object, when it goes, must not close that one too.
    with open(path, "rb") as later:
        del kept
        gc.collect()
        assert later.read() == b"x" * 10
