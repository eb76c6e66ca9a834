"""The framing of a C2PA manifest store, read strictly: the bytes a signature
does not cover must still be exactly what a writer puts there.

A manifest store is a tree of JUMBF boxes. The claim and the assertions are
signed, but some bytes around them are not: the lengths and labels of the
enclosing boxes and the padding of the COSE signature's unprotected header.
The C2PA SDK reads past a change there, so a store with one such byte flipped
still verifies. This module refuses it: boxes must tile their container
exactly, the boxes C2PA names must carry their fixed labels, padding must be
zeros, and the unprotected header may hold only what C2PA puts there. It
also finds the certificate chain of a manifest's signature.

Pure Python over a few kilobytes; nothing here needs the SDK.
"""

from __future__ import annotations

import struct
from dataclasses import dataclass, field
from typing import Any, Union

# JUMBF content types of C2PA: four ASCII letters, then this fixed suffix.
_C2PA_UUID_SUFFIX = bytes.fromhex("00110010800000aa00389b71")
# The fixed label of each C2PA box kind (a claim has two versions).
_LABELS: dict[bytes, tuple[str, ...]] = {
    b"c2pa": ("c2pa",),
    b"c2as": ("c2pa.assertions",),
    b"c2cl": ("c2pa.claim", "c2pa.claim.v2"),
    b"c2cs": ("c2pa.signature",),
    b"c2vc": ("c2pa.credentials",),
    b"c2db": ("c2pa.databoxes",),
}
_MANIFEST_KINDS = (b"c2ma", b"c2um")

# Description box toggles: which optional fields follow the content type.
_HAS_LABEL = 0x02
_HAS_ID = 0x04
_HAS_HASH = 0x08
_HAS_PRIVATE = 0x10
_KNOWN_TOGGLES = 0x01 | _HAS_LABEL | _HAS_ID | _HAS_HASH | _HAS_PRIVATE

# What a C2PA signature may carry outside its signed part: timestamps, OCSP
# responses, zero padding, and (in version 1 claims) the certificate chain.
_X5CHAIN = 33
_UNPROTECTED_KEYS = frozenset({"sigTst", "sigTst2", "rVals", "pad", "pad2", _X5CHAIN})
_PADDING_KEYS = ("pad", "pad2")
_COSE_SIGN1_TAG = 18
_MAX_DEPTH = 32


class StoreFramingError(ValueError):
    """The store's framing is not as a writer leaves it; ``offset`` is where."""

    def __init__(self, message: str, offset: int) -> None:
        super().__init__(f"{message} at offset {offset}")
        self.offset = offset


@dataclass
class Box:
    """One JUMBF box: its four-letter type, where it and its contents lie,
    and for a superbox its content type, label and child boxes."""

    kind: bytes
    start: int
    content_start: int
    end: int
    content_type: bytes = b""
    label: str | None = None
    children: list[Box] = field(default_factory=list)

    def c2pa_kind(self) -> bytes | None:
        """The four letters of a C2PA content type (b"c2cs"...), else None."""
        if self.content_type[4:] == _C2PA_UUID_SUFFIX:
            return self.content_type[:4]
        return None


def read_boxes(store: bytes) -> Box:
    """The store as a tree of boxes, or StoreFramingError: one superbox that
    spans the whole store, each container tiled exactly by its boxes."""
    view = memoryview(store)
    boxes = _tile(view, 0, len(view), 0)
    if len(boxes) != 1:
        where = boxes[1].start if boxes else 0
        raise StoreFramingError("a manifest store is one JUMBF superbox", where)
    top = boxes[0]
    if top.kind != b"jumb" or top.c2pa_kind() != b"c2pa":
        raise StoreFramingError("the outer box is not a C2PA manifest store", 0)
    return top


def check_framing(store: bytes) -> None:
    """Raises StoreFramingError where bytes outside the signed parts of the
    store are not as a writer leaves them."""
    top = read_boxes(store)
    _check_labels(top)
    for manifest in top.children:
        if manifest.c2pa_kind() not in _MANIFEST_KINDS:
            continue
        signature = _signature_box(manifest)
        if signature is not None:
            _check_signature(store, signature)


def signing_chain(store: bytes, manifest_label: str) -> list[bytes]:
    """The DER certificates of the signature of the manifest labelled
    ``manifest_label``, signer first; empty when they cannot be found."""
    try:
        top = read_boxes(store)
    except StoreFramingError:
        return []
    for manifest in top.children:
        if manifest.label != manifest_label:
            continue
        signature = _signature_box(manifest)
        if signature is None:
            return []
        try:
            _, protected, unprotected = _cose(store, signature)
        except StoreFramingError:
            return []
        chain = protected.get(_X5CHAIN, unprotected.get(_X5CHAIN))
        if isinstance(chain, bytes):
            return [chain]
        if isinstance(chain, list) and all(isinstance(c, bytes) for c in chain):
            return list(chain)
    return []


def _tile(view: memoryview, start: int, end: int, depth: int) -> list[Box]:
    """The boxes that exactly fill ``view[start:end]``."""
    if depth > _MAX_DEPTH:
        raise StoreFramingError("boxes nested too deeply", start)
    boxes = []
    at = start
    while at < end:
        box = _box(view, at, end, depth)
        boxes.append(box)
        at = box.end
    return boxes


def _box(view: memoryview, at: int, limit: int, depth: int) -> Box:
    if limit - at < 8:
        raise StoreFramingError("a box header runs past its container", at)
    size, kind = struct.unpack_from(">I4s", view, at)
    header = 8
    if size == 1:
        if limit - at < 16:
            raise StoreFramingError("a box header runs past its container", at)
        (size,) = struct.unpack_from(">Q", view, at + 8)
        header = 16
    elif size == 0:
        size = limit - at  # the box runs to the end of its container
    if size < header or size > limit - at:
        raise StoreFramingError(f"a box of {size} bytes does not fit its container", at)
    box = Box(kind, at, at + header, at + size)
    if kind == b"jumb":
        _read_superbox(view, box, depth)
    return box


def _read_superbox(view: memoryview, box: Box, depth: int) -> None:
    children = _tile(view, box.content_start, box.end, depth + 1)
    if not children or children[0].kind != b"jumd":
        raise StoreFramingError("a superbox does not start with its description", box.start)
    description = children[0]
    at, end = description.content_start, description.end
    if end - at < 17:
        raise StoreFramingError("a description box is too short", description.start)
    box.content_type = bytes(view[at : at + 16])
    toggles = view[at + 16]
    if toggles & ~_KNOWN_TOGGLES:
        raise StoreFramingError(f"unknown description toggles {toggles:#04x}", at + 16)
    at += 17
    if toggles & _HAS_LABEL:
        nul = bytes(view[at:end]).find(b"\0")
        if nul < 0:
            raise StoreFramingError("a box label has no terminating NUL", at)
        try:
            box.label = bytes(view[at : at + nul]).decode("utf-8")
        except UnicodeDecodeError:
            raise StoreFramingError("a box label is not UTF-8", at) from None
        at += nul + 1
    at += 4 if toggles & _HAS_ID else 0
    at += 32 if toggles & _HAS_HASH else 0
    if at > end:
        raise StoreFramingError("a description box is too short", description.start)
    if toggles & _HAS_PRIVATE:
        at = _box(view, at, end, depth + 1).end
    if at != end:
        raise StoreFramingError("stray bytes in a description box", at)
    box.children = children[1:]


def _check_labels(box: Box) -> None:
    kind = box.c2pa_kind()
    if kind in _LABELS and box.label not in _LABELS[kind]:
        raise StoreFramingError(
            f"a {kind.decode('ascii')} box is labelled {box.label!r}, "
            f"not {' or '.join(repr(label) for label in _LABELS[kind])}",
            box.start,
        )
    for child in box.children:
        if child.kind == b"jumb":
            _check_labels(child)


def _signature_box(manifest: Box) -> Box | None:
    for child in manifest.children:
        if child.kind == b"jumb" and child.c2pa_kind() == b"c2cs":
            return child
    return None


def _cose(store: bytes, signature: Box) -> tuple[list[Any], dict[Any, Any], dict[Any, Any]]:
    """The COSE_Sign1 of a signature box, its protected header decoded, and
    its unprotected header."""
    content = [child for child in signature.children if child.kind == b"cbor"]
    if len(content) != 1:
        raise StoreFramingError("a signature box holds no single CBOR box", signature.start)
    box = content[0]
    item = _Cbor(store, box.content_start, box.end).whole()
    if isinstance(item, _Tag):
        if item.number != _COSE_SIGN1_TAG:
            raise StoreFramingError(f"the signature has CBOR tag {item.number}", box.start)
        item = item.value
    if not (
        isinstance(item, list)
        and len(item) == 4
        and isinstance(item[0], bytes)
        and isinstance(item[1], dict)
        and (item[2] is None or isinstance(item[2], bytes))
        and isinstance(item[3], bytes)
    ):
        raise StoreFramingError("the signature is not a COSE_Sign1", box.start)
    protected: Any = {}
    if item[0]:
        protected = _Cbor(item[0], 0, len(item[0])).whole()
        if not isinstance(protected, dict):
            raise StoreFramingError("the signature's protected header is not a map", box.start)
    return item, protected, item[1]


def _check_signature(store: bytes, signature: Box) -> None:
    _, _, unprotected = _cose(store, signature)
    for key, value in unprotected.items():
        if key not in _UNPROTECTED_KEYS:
            raise StoreFramingError(
                f"the signature carries the unsigned header {key!r}", signature.start
            )
        if key in _PADDING_KEYS and (not isinstance(value, bytes) or value.strip(b"\0")):
            raise StoreFramingError("the signature's padding is not zeros", signature.start)


@dataclass(frozen=True)
class _Tag:
    number: int
    value: Any


_Simple = Union[bool, None, float]
_BREAK = object()


class _Cbor:
    """A strict reader of one CBOR item that fills ``data[start:end]``."""

    def __init__(self, data: bytes, start: int, end: int) -> None:
        self._data = data
        self._at = start
        self._end = end

    def whole(self) -> Any:
        item = self._item(0)
        if item is _BREAK or self._at != self._end:
            raise StoreFramingError("stray bytes after a CBOR item", self._at)
        return item

    def _take(self, count: int) -> bytes:
        if count > self._end - self._at:
            raise StoreFramingError("a CBOR item runs past its box", self._at)
        chunk = self._data[self._at : self._at + count]
        self._at += count
        return bytes(chunk)

    def _argument(self, info: int) -> int | None:
        if info < 24:
            return info
        if info in (24, 25, 26, 27):
            return int.from_bytes(self._take(1 << (info - 24)), "big")
        if info == 31:
            return None  # indefinite length
        raise StoreFramingError(f"reserved CBOR additional information {info}", self._at - 1)

    def _item(self, depth: int) -> Any:
        if depth > _MAX_DEPTH:
            raise StoreFramingError("CBOR nested too deeply", self._at)
        initial = self._take(1)[0]
        major, info = initial >> 5, initial & 0x1F
        if major == 7:
            return self._simple(info)
        argument = self._argument(info)
        if major in (0, 1, 6) and argument is None:
            raise StoreFramingError("an indefinite length where none may be", self._at - 1)
        if major == 0:
            return argument
        if major == 1:
            return -1 - argument  # type: ignore[operator]
        if major in (2, 3):
            return self._string(major, argument, depth)
        if major == 4:
            return self._array(argument, depth)
        if major == 5:
            return self._map(argument, depth)
        return _Tag(argument, self._item(depth + 1))  # type: ignore[arg-type]

    def _simple(self, info: int) -> Any:
        if info == 31:
            return _BREAK
        values: dict[int, _Simple] = {20: False, 21: True, 22: None}
        if info in values:
            return values[info]
        if info == 24:
            return ("simple", self._take(1)[0])
        if info in (25, 26, 27):
            raw = self._take(1 << (info - 24))
            return struct.unpack(">e" if info == 25 else ">f" if info == 26 else ">d", raw)[0]
        if info < 20 or info == 23:
            return ("simple", info)  # unassigned, or undefined
        raise StoreFramingError(f"reserved CBOR simple value {info}", self._at - 1)

    def _string(self, major: int, length: int | None, depth: int) -> bytes | str:
        if length is not None:
            raw = self._take(length)
        else:
            pieces = []
            while (piece := self._item(depth + 1)) is not _BREAK:
                if not isinstance(piece, bytes if major == 2 else str):
                    raise StoreFramingError("a mixed indefinite string", self._at)
                pieces.append(piece.encode("utf-8") if isinstance(piece, str) else piece)
            raw = b"".join(pieces)
        if major == 2:
            return raw
        try:
            return raw.decode("utf-8")
        except UnicodeDecodeError:
            raise StoreFramingError("a CBOR text is not UTF-8", self._at) from None

    def _array(self, length: int | None, depth: int) -> list[Any]:
        items: list[Any] = []
        while length is None or len(items) < length:
            item = self._item(depth + 1)
            if item is _BREAK:
                if length is None:
                    break
                raise StoreFramingError("a stray CBOR break", self._at - 1)
            items.append(item)
        return items

    def _map(self, length: int | None, depth: int) -> dict[Any, Any]:
        result: dict[Any, Any] = {}
        count = 0
        while length is None or count < length:
            key = self._item(depth + 1)
            if key is _BREAK and length is None:
                break
            if key is _BREAK or not isinstance(key, (int, str, bytes)):
                raise StoreFramingError("a CBOR map key that is not a number or text", self._at)
            value = self._item(depth + 1)
            if value is _BREAK:
                raise StoreFramingError("a stray CBOR break", self._at - 1)
            if key in result:
                raise StoreFramingError(f"a CBOR map repeats the key {key!r}", self._at)
            result[key] = value
            count += 1
        return result
