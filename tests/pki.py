"""A throwaway PKI made at test time: one root and the end-entity certificates
that sign manifest stores, good ones and the kinds a signer must refuse.

Everything is generated in memory with ``cryptography``; nothing is stored.
Certificates and keys are PEM text, chains end-entity first.
"""

from __future__ import annotations

import datetime
from dataclasses import dataclass
from typing import Union

from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec, ed25519
from cryptography.x509.oid import ExtendedKeyUsageOID, NameOID

PrivateKey = Union[ec.EllipticCurvePrivateKey, ed25519.Ed25519PrivateKey]

_NOW = datetime.datetime.now(datetime.timezone.utc)
_DAY = datetime.timedelta(days=1)


@dataclass(frozen=True)
class Identity:
    """A certificate with its key: ``chain`` is the end-entity certificate
    followed by the root, ``key`` the private key in PKCS#8."""

    cert: str
    chain: str
    key: str
    private_key: PrivateKey
    subject_cn: str


@dataclass(frozen=True)
class Pki:
    root: str  # the trust anchor, PEM
    root_key: PrivateKey
    es256: Identity
    ed25519: Identity
    other_root: str  # an anchor that signed none of the identities

    def identity(
        self,
        name: str,
        *,
        key: PrivateKey | None = None,
        ca: bool = False,
        eku: bool = True,
        expired: bool = False,
    ) -> Identity:
        """An end-entity certificate issued by the root, changed as asked: a CA
        certificate, one without extended key usage, or one that has expired."""
        return _issue(self.root, self.root_key, name, key, ca=ca, eku=eku, expired=expired)


def _pem(cert: x509.Certificate) -> str:
    return cert.public_bytes(serialization.Encoding.PEM).decode("ascii")


def key_pem(key: PrivateKey) -> str:
    return key.private_bytes(
        serialization.Encoding.PEM,
        serialization.PrivateFormat.PKCS8,
        serialization.NoEncryption(),
    ).decode("ascii")


def _name(common_name: str, organization: str = "quillmark signers") -> x509.Name:
    return x509.Name(
        [
            x509.NameAttribute(NameOID.COUNTRY_NAME, "NL"),
            x509.NameAttribute(NameOID.ORGANIZATION_NAME, organization),
            x509.NameAttribute(NameOID.COMMON_NAME, common_name),
        ]
    )


def _signing_hash(key: PrivateKey) -> hashes.HashAlgorithm | None:
    return None if isinstance(key, ed25519.Ed25519PrivateKey) else hashes.SHA256()


def _make_root(common_name: str) -> tuple[str, PrivateKey]:
    key = ec.generate_private_key(ec.SECP256R1())
    public = key.public_key()
    cert = (
        x509.CertificateBuilder()
        .subject_name(_name(common_name, "quillmark tests"))
        .issuer_name(_name(common_name, "quillmark tests"))
        .public_key(public)
        .serial_number(x509.random_serial_number())
        .not_valid_before(_NOW - _DAY)
        .not_valid_after(_NOW + 3650 * _DAY)
        .add_extension(x509.BasicConstraints(ca=True, path_length=None), critical=True)
        .add_extension(
            x509.KeyUsage(
                digital_signature=False,
                content_commitment=False,
                key_encipherment=False,
                data_encipherment=False,
                key_agreement=False,
                key_cert_sign=True,
                crl_sign=True,
                encipher_only=False,
                decipher_only=False,
            ),
            critical=True,
        )
        .add_extension(x509.SubjectKeyIdentifier.from_public_key(public), critical=False)
        .sign(key, hashes.SHA256())
    )
    return _pem(cert), key


def _issue(
    root_pem: str,
    root_key: PrivateKey,
    common_name: str,
    key: PrivateKey | None,
    *,
    ca: bool = False,
    eku: bool = True,
    expired: bool = False,
) -> Identity:
    root = x509.load_pem_x509_certificate(root_pem.encode("ascii"))
    key = key or ec.generate_private_key(ec.SECP256R1())
    public = key.public_key()
    start, end = (
        (_NOW - 30 * _DAY, _NOW - 2 * _DAY) if expired else (_NOW - _DAY, _NOW + 365 * _DAY)
    )
    builder = (
        x509.CertificateBuilder()
        .subject_name(_name(common_name))
        .issuer_name(root.subject)
        .public_key(public)
        .serial_number(x509.random_serial_number())
        .not_valid_before(start)
        .not_valid_after(end)
        .add_extension(x509.BasicConstraints(ca=ca, path_length=None), critical=True)
        .add_extension(
            x509.KeyUsage(
                digital_signature=True,
                content_commitment=False,
                key_encipherment=False,
                data_encipherment=False,
                key_agreement=False,
                key_cert_sign=ca,
                crl_sign=False,
                encipher_only=False,
                decipher_only=False,
            ),
            critical=True,
        )
        .add_extension(x509.SubjectKeyIdentifier.from_public_key(public), critical=False)
        .add_extension(
            x509.AuthorityKeyIdentifier.from_issuer_public_key(root_key.public_key()),  # type: ignore[arg-type]
            critical=False,
        )
    )
    if eku:
        builder = builder.add_extension(
            x509.ExtendedKeyUsage([ExtendedKeyUsageOID.EMAIL_PROTECTION]), critical=False
        )
    cert = _pem(builder.sign(root_key, _signing_hash(root_key)))
    return Identity(cert, cert + root_pem, key_pem(key), key, common_name)


def make_pki() -> Pki:
    """A fresh root with an ES256 and an Ed25519 signer under it (a few ms)."""
    root, root_key = _make_root("quillmark test root")
    other_root, _ = _make_root("quillmark unrelated root")
    es256 = _issue(
        root, root_key, "quillmark ES256 signer", ec.generate_private_key(ec.SECP256R1())
    )
    ed = _issue(root, root_key, "quillmark Ed25519 signer", ed25519.Ed25519PrivateKey.generate())
    return Pki(root, root_key, es256, ed, other_root)
