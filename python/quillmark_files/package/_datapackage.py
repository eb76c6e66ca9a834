"""``datapackage.json`` and ``datapackage-digest.json``: read, and written
again with new values and nothing else changed.

Every other field and the key order are kept, and the text is written in the
layout it had (indent, separators, escaping of non-ASCII characters, a final
newline): the layouts json can write are tried until one gives back the old
text exactly, so that a file made by json.dumps changes only where its values
change.
"""

from __future__ import annotations

import json
from typing import Any

from ..errors import PackageError

DATAPACKAGE = "datapackage.json"
DIGEST = "datapackage-digest.json"
_SIGNATURE = "signedData"
_DEFAULT_ALGORITHM = "sha256"


class DataPackage:
    """A parsed ``datapackage.json`` and the layout of its text."""

    def __init__(self, text: bytes) -> None:
        self.document = _parse(text, DATAPACKAGE)
        self.layout = _Layout.of(text, self.document)
        resources = self.document.get("resources")
        if not isinstance(resources, list) or not all(isinstance(r, dict) for r in resources):
            raise PackageError(f"{DATAPACKAGE} has no list of resources")
        self.resources: list[dict[str, Any]] = resources

    def resource(self, path: str) -> dict[str, Any]:
        """The resource whose ``path`` is ``path``."""
        for resource in self.resources:
            if resource.get("path") == path:
                return resource
        raise PackageError(f"{DATAPACKAGE} does not list {path}")

    def hash_algorithm(self, path: str) -> str:
        """The algorithm of the resource's hash, which its new hash keeps."""
        return _algorithm(self.resource(path).get("hash"))

    def updated(self, path: str, digest: str, size: int) -> bytes:
        """The text with the resource's ``hash`` and ``bytes`` set anew."""
        resource = self.resource(path)
        resource["hash"] = digest
        resource["bytes"] = size
        return self.layout.dump(self.document)


class Digest:
    """A parsed ``datapackage-digest.json``."""

    def __init__(self, text: bytes) -> None:
        self.document = _parse(text, DIGEST)
        self.layout = _Layout.of(text, self.document)

    @property
    def signed(self) -> bool:
        return self.document.get(_SIGNATURE) is not None

    @property
    def algorithm(self) -> str:
        return _algorithm(self.document.get("hash"))

    def updated(self, digest: str, drop_signature: bool) -> bytes:
        self.document["hash"] = digest
        if drop_signature:
            self.document.pop(_SIGNATURE, None)
        return self.layout.dump(self.document)


def signature_error() -> PackageError:
    """Why a signed package is not changed unless its signature may go."""
    return PackageError(
        f"{DIGEST} carries a signature ({_SIGNATURE}) over {DATAPACKAGE}, which cannot stay "
        "valid once a WARC changes; drop it with --drop-signature (drop_signature=True in "
        "Python) and sign the package again"
    )


def _algorithm(value: object) -> str:
    """The algorithm of a hash written "sha256:<hex>"; sha256 where there is none."""
    if isinstance(value, str) and ":" in value:
        return value.partition(":")[0]
    return _DEFAULT_ALGORITHM


def _parse(text: bytes, name: str) -> dict[str, Any]:
    try:
        document = json.loads(text.decode("utf-8"))
    except (UnicodeDecodeError, ValueError) as exc:
        reason = str(exc).splitlines()[0] if str(exc) else type(exc).__name__
        raise PackageError(f"{name} does not parse: {reason}") from None
    if not isinstance(document, dict):
        raise PackageError(f"{name} is not a JSON object")
    return document


class _Layout:
    """How a JSON text was written, as json.dumps arguments."""

    def __init__(
        self, indent: str | None, separators: tuple[str, str], ascii: bool, newline: bool
    ) -> None:
        self.indent = indent
        self.separators = separators
        self.ascii = ascii
        self.newline = newline

    def dump(self, document: Any) -> bytes:
        text = json.dumps(
            document, indent=self.indent, separators=self.separators, ensure_ascii=self.ascii
        )
        return (text + "\n" if self.newline else text).encode("utf-8")

    @classmethod
    def of(cls, text: bytes, document: Any) -> _Layout:
        """The layout that writes ``document`` back as ``text``, or else the
        nearest one: its indent and final newline, its way with non-ASCII."""
        decoded = text.decode("utf-8")
        stripped = decoded.rstrip("\r\n")
        newline = decoded[len(stripped) :]
        indent = _indent_of(stripped)
        candidates = [(",", ": "), (", ", ": "), (",", ":")]
        for ascii in (True, False):
            for separators in candidates:
                layout = cls(indent, separators, ascii, newline == "\n")
                if layout.dump(document) == text:
                    return layout
        default = (",", ": ") if indent is not None else (", ", ": ")
        return cls(indent, default, decoded.isascii(), bool(newline))


def _indent_of(text: str) -> str | None:
    """The white space before the first indented line, None for one line."""
    for line in text.splitlines()[1:]:
        body = line.lstrip(" \t")
        if body:
            return line[: len(line) - len(body)]
    return None
