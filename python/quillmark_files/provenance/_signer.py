"""Who signs a manifest store: a certificate chain with its key, or with a
callback that signs for a key held elsewhere. Made only from certificates
the C2PA SDK signs with; what is wrong with one is named before any signing.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any, Callable

from ._failures import SdkError, one_line

# Algorithm names as the SDK takes them, with its C2paSigningAlg values.
ALGORITHMS = {"es256": 0, "es384": 1, "es512": 2, "ps256": 3, "ps384": 4, "ps512": 5, "ed25519": 6}
_CURVES = {"secp256r1": "es256", "secp384r1": "es384", "secp521r1": "es512"}


SignCallback = Callable[[bytes], bytes]


@dataclass(frozen=True)
class Signer:
    """Who signs a store: a PEM certificate chain (signer first), the
    algorithm, and either the PEM private key or a callback that signs bytes
    (for a key held in an HSM or a key service). ``timestamp_url`` names a
    timestamp authority (RFC 3161), or None.

    Make one with ``Signer.from_pem`` or ``Signer.from_callback``; both check
    the certificate and key first and name what is wrong (SdkError).
    """

    chain: str
    algorithm: str
    key: str | None = field(default=None, repr=False)
    callback: SignCallback | None = field(default=None, repr=False)
    timestamp_url: str | None = None

    @classmethod
    def from_pem(
        cls,
        chain: str | bytes,
        key: str | bytes,
        algorithm: str | None = None,
        timestamp_url: str | None = None,
    ) -> Signer:
        """A signer with its key at hand; ``algorithm`` (es256, es384, es512,
        ps256, ps384, ps512, ed25519) is found from the key when None."""
        _require_sdk()
        chain_text, key_text = pem_text(chain, "certificate chain"), pem_text(key, "private key")
        certificate, private_key = _check_pem_signer(chain_text, key_text)
        return cls(
            chain_text,
            _algorithm(algorithm, certificate.public_key()),
            key=key_text,
            timestamp_url=timestamp_url,
        )

    @classmethod
    def from_callback(
        cls,
        chain: str | bytes,
        callback: SignCallback,
        algorithm: str | None = None,
        timestamp_url: str | None = None,
    ) -> Signer:
        """A signer whose ``callback(data) -> signature`` signs for it: an
        ECDSA signature as r||s of fixed width (not DER), Ed25519 and PSS as
        they come. ``algorithm`` is found from the certificate when None."""
        _require_sdk()
        chain_text = pem_text(chain, "certificate chain")
        certificate = _check_certificate(certificates(chain_text)[0])
        return cls(
            chain_text,
            _algorithm(algorithm, certificate.public_key()),
            callback=callback,
            timestamp_url=timestamp_url,
        )


def _require_sdk() -> None:
    from ._sdk import sdk  # SdkUnavailable, saying what to install

    sdk()


def pem_text(value: str | bytes, what: str) -> str:
    if isinstance(value, bytes):
        try:
            return value.decode("ascii")
        except UnicodeDecodeError:
            raise SdkError(f"the {what} is not PEM text") from None
    return value


def certificates(pem: str, what: str = "certificate chain") -> list[Any]:
    """The certificates of PEM text, or SdkError naming ``what`` it was."""
    from cryptography import x509

    try:
        found = x509.load_pem_x509_certificates(pem.encode("ascii"))
    except (ValueError, UnicodeEncodeError):
        raise SdkError(f"no PEM certificate in the {what}") from None
    return list(found)


def _check_certificate(certificate: Any) -> Any:
    """Refuses, naming why, a certificate the SDK would not sign with."""
    import datetime

    from cryptography import x509
    from cryptography.x509.oid import ExtendedKeyUsageOID

    subject = certificate.subject.rfc4514_string()
    extensions = certificate.extensions
    try:
        if extensions.get_extension_for_class(x509.BasicConstraints).value.ca:
            raise SdkError(f"the signing certificate ({subject}) is a CA certificate")
    except x509.ExtensionNotFound:
        pass
    try:
        usage = extensions.get_extension_for_class(x509.ExtendedKeyUsage).value
    except x509.ExtensionNotFound:
        raise SdkError(
            f"the signing certificate ({subject}) has no extended key usage; "
            "it needs one such as emailProtection or documentSigning"
        ) from None
    if ExtendedKeyUsageOID.ANY_EXTENDED_KEY_USAGE in usage:
        raise SdkError(f"the signing certificate ({subject}) allows any extended key usage")
    now = datetime.datetime.now(datetime.timezone.utc)
    if certificate.not_valid_after_utc < now:
        when = certificate.not_valid_after_utc.isoformat()
        raise SdkError(f"the signing certificate ({subject}) expired on {when}")
    if certificate.not_valid_before_utc > now:
        when = certificate.not_valid_before_utc.isoformat()
        raise SdkError(f"the signing certificate ({subject}) is not valid before {when}")
    return certificate


def _check_pem_signer(chain: str, key: str) -> tuple[Any, Any]:
    from cryptography.hazmat.primitives import serialization

    certificate = _check_certificate(certificates(chain)[0])
    try:
        private_key = serialization.load_pem_private_key(key.encode("ascii"), password=None)
    except (ValueError, TypeError, UnicodeEncodeError) as error:
        raise SdkError(f"the private key does not read: {one_line(str(error))}") from None
    spki = serialization.PublicFormat.SubjectPublicKeyInfo
    der = serialization.Encoding.DER
    if private_key.public_key().public_bytes(der, spki) != certificate.public_key().public_bytes(
        der, spki
    ):
        raise SdkError("the private key does not match the signing certificate")
    return certificate, private_key


def _algorithm(name: str | None, public_key: Any) -> str:
    from cryptography.hazmat.primitives.asymmetric import ec, ed25519, rsa

    if name is not None:
        if name.lower() not in ALGORITHMS:
            known = ", ".join(ALGORITHMS)
            raise SdkError(f"unknown signing algorithm {name!r}; choose one of {known}")
        return name.lower()
    if isinstance(public_key, ed25519.Ed25519PublicKey):
        return "ed25519"
    if isinstance(public_key, rsa.RSAPublicKey):
        return "ps256"
    if isinstance(public_key, ec.EllipticCurvePublicKey) and public_key.curve.name in _CURVES:
        return _CURVES[public_key.curve.name]
    raise SdkError("the signing key is not ECDSA (P-256, P-384, P-521), Ed25519 or RSA")
