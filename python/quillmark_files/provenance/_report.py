"""What verifying found: the SDK's report on a store, read into named fields."""

from __future__ import annotations

import base64
import json
from dataclasses import dataclass, field
from typing import Any

from ._store_framing import StoreFramingError, check_framing, signing_chain

DATA_HASH_LABEL = "c2pa.hash.data"
MISMATCH = "assertion.dataHash.mismatch"
MATCH = "assertion.dataHash.match"
UNTRUSTED = "signingCredential.untrusted"
TRUSTED = "signingCredential.trusted"
FRAMING_CODE = "quillmark.store.framing"


@dataclass(frozen=True)
class StatusCode:
    """One validation status: its code (assertion.dataHash.match...), the
    SDK's explanation, and the part of the store it is about."""

    code: str
    explanation: str
    url: str = ""


@dataclass(frozen=True)
class VerifyReport:
    """What the SDK found of a store and the bytes it covers.

    ``valid`` holds when the store reads and nothing failed (with trust
    anchors, the signer must chain to one). ``trusted`` is None when no
    anchor was given: no trust was checked. ``is_store`` is False for bytes
    that are not a C2PA manifest store, with ``problem`` saying why.
    ``data_hash_by`` tells who hashed the covered bytes: "sdk" when the SDK
    read them, "digest" when it compared the hash quillmark computed.
    ``validation_results`` is the SDK's report as JSON data.
    """

    is_store: bool
    valid: bool
    trusted: bool | None
    problem: str | None = None
    state: str = ""
    active_manifest: str | None = None
    title: str | None = None
    signer_subject: str | None = None
    signer_issuer: str | None = None
    signing_time: str | None = None
    algorithm: str | None = None
    assertions: tuple[str, ...] = ()
    covered: tuple[int, int] | None = None
    data_hash_by: str = ""
    failures: tuple[StatusCode, ...] = ()
    successes: tuple[StatusCode, ...] = ()
    informational: tuple[StatusCode, ...] = ()
    validation_results: dict[str, Any] = field(default_factory=dict, repr=False)

    def reason(self) -> str:
        """Why the store is not valid, in one line ("" when it is)."""
        if self.valid:
            return ""
        if self.problem:
            return self.problem
        return "; ".join(f"{s.code}: {s.explanation}" for s in self.failures) or self.state


def data_hash_assertion(detailed: dict[str, Any], label: str) -> dict[str, Any] | None:
    """The active manifest's data hash assertion, when it has exactly one."""
    manifest = detailed.get("manifests", {}).get(label, {})
    store = manifest.get("assertion_store", {})
    hashes = [value for key, value in store.items() if key.split("__")[0] == DATA_HASH_LABEL]
    return hashes[0] if len(hashes) == 1 and isinstance(hashes[0], dict) else None


def digest_checkable(reader: Any) -> bool:
    """Whether a SHA-256 of all the covered bytes can stand for them: the
    store's one data hash is SHA-256 with no exclusion."""
    detailed = json.loads(reader.detailed_json())
    assertion = data_hash_assertion(detailed, detailed.get("active_manifest", ""))
    if assertion is None or assertion.get("exclusions"):
        return False
    claim = detailed["manifests"][detailed["active_manifest"]].get("claim", {})
    return bool((assertion.get("alg") or claim.get("alg")) == "sha256")


def _codes(entries: Any) -> tuple[StatusCode, ...]:
    return tuple(
        StatusCode(str(e.get("code", "")), str(e.get("explanation", "")), str(e.get("url", "")))
        for e in entries or []
        if isinstance(e, dict)
    )


def _with_digest(results: dict[str, Any], expected: str, sha256: bytes) -> dict[str, Any]:
    """The SDK's results on no bytes, with its data-hash verdict (a mismatch,
    or a match when the store hashed no bytes) replaced by the comparison of
    the store's hash with the covered bytes' digest."""
    active = results.setdefault("activeManifest", {})
    verdicts = (MATCH, MISMATCH)
    found = [e for kind in ("success", "failure") for e in active.get(kind, [])]
    url = next((e.get("url", "") for e in found if e.get("code") in verdicts), "")
    for kind in ("success", "failure"):
        active[kind] = [e for e in active.get(kind, []) if e.get("code") not in verdicts]
    matched = base64.b64decode(expected) == sha256
    explanation = (
        "data hash valid (the digest of the covered bytes)"
        if matched
        else "data hash does not match the digest of the covered bytes"
    )
    entry = {"code": MATCH if matched else MISMATCH, "url": url, "explanation": explanation}
    active["success" if matched else "failure"].append(entry)
    return results


def report(
    reader: Any,
    store: bytes,
    anchored: bool,
    span: tuple[int, int] | None,
    by: str,
    sha256: bytes | None,
) -> VerifyReport:
    summary = json.loads(reader.json())
    detailed = json.loads(reader.detailed_json())
    label = str(summary.get("active_manifest") or "")
    manifest = summary.get("manifests", {}).get(label, {})
    results = summary.get("validation_results") or {}
    if by == "digest" and sha256 is not None:
        assertion = data_hash_assertion(detailed, label) or {}
        results = _with_digest(results, str(assertion.get("hash", "")), sha256)
    active = results.get("activeManifest", {})
    failures = list(_codes(active.get("failure")))
    successes = list(_codes(active.get("success")))
    informational = list(_codes(active.get("informational")))
    for delta in results.get("ingredientDeltas", []) or []:
        deltas = delta.get("validationDeltas", {}) if isinstance(delta, dict) else {}
        failures += _codes(deltas.get("failure"))
        successes += _codes(deltas.get("success"))
        informational += _codes(deltas.get("informational"))
    try:
        check_framing(store)
    except StoreFramingError as error:
        failures.append(StatusCode(FRAMING_CODE, str(error)))
    codes = {s.code for s in failures}
    trusted = (
        (UNTRUSTED not in codes and TRUSTED in {s.code for s in successes}) if anchored else None
    )
    state = "Invalid" if failures else "Trusted" if trusted else "Valid"
    signature = manifest.get("signature_info") or {}
    subject, issuer = _signer_names(store, label, signature)
    assertions = detailed.get("manifests", {}).get(label, {}).get("assertion_store", {})
    return VerifyReport(
        is_store=True,
        valid=not failures,
        trusted=trusted,
        state=state,
        active_manifest=label or None,
        title=manifest.get("title"),
        signer_subject=subject,
        signer_issuer=issuer,
        signing_time=signature.get("time"),
        algorithm=str(signature.get("alg", "")).lower() or None,
        assertions=tuple(assertions),
        covered=span,
        data_hash_by=by,
        failures=tuple(failures),
        successes=tuple(successes),
        informational=tuple(informational),
        validation_results=results,
    )


def _signer_names(
    store: bytes, label: str, signature: dict[str, Any]
) -> tuple[str | None, str | None]:
    """The signing certificate's subject and issuer names; the SDK's own
    summary (common name, organisation) when the certificate is not found."""
    from cryptography import x509

    chain = signing_chain(store, label)
    if chain:
        try:
            certificate = x509.load_der_x509_certificate(chain[0])
            return certificate.subject.rfc4514_string(), certificate.issuer.rfc4514_string()
        except Exception:  # noqa: BLE001 - a damaged certificate has no names to give
            pass
    return signature.get("common_name"), None
