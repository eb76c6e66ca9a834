"""The one home of the C2PA SDK in quillmark: signing a manifest store over a
hash quillmark computed, and verifying a store against the bytes it covers.

An archive's store signs every byte before its manifest record (the covered
bytes) with one SHA-256 and no exclusion, so the store can be appended as the
archive's last record. c2pa-python (the optional extra ``quillmark[c2pa]``,
CPython 3.10 or later) wraps reading, but not the data-hash signing that
takes a hash instead of an asset; those few C calls are made here, through
ctypes, on the library c2pa-python loaded. Nothing else in quillmark imports
the SDK, and this module imports it only when a function is called, so it
loads on CPython 3.9 and without the extra.

The SDK's C signatures used here (C2paSigningAlg is a C enum, int-sized):

    C2paBuilder *c2pa_builder_from_json(const char *definition);
    int c2pa_builder_add_resource(C2paBuilder *, const char *uri, C2paStream *);
    int64_t c2pa_builder_data_hashed_placeholder(C2paBuilder *, size_t reserve,
        const char *format, const unsigned char **out);
    int64_t c2pa_builder_sign_data_hashed_embeddable(C2paBuilder *, C2paSigner *,
        const char *data_hash_json, const char *format, C2paStream *asset_or_null,
        const unsigned char **out);
    C2paSigner *c2pa_signer_from_info(const C2paSignerInfo *);
    C2paSigner *c2pa_signer_create(const void *context, SignerCallback, C2paSigningAlg,
        const char *certs_pem, const char *tsa_url_or_null);
    int64_t c2pa_signer_reserve_size(C2paSigner *);
    C2paStream *c2pa_create_stream(StreamContext *, ReadCallback, SeekCallback,
        WriteCallback, FlushCallback);
    void c2pa_release_stream(C2paStream *);
    char *c2pa_error(void);
    int c2pa_free(const void *);

Every pointer the SDK returns (builders, signers, strings, store bytes) is
freed with c2pa_free, exactly once; streams with c2pa_release_stream.
"""

from __future__ import annotations

import contextlib
import ctypes
import functools
import hashlib
import importlib
import io
import json
import sys
from dataclasses import dataclass
from typing import Any, Callable

from ._covered import Covered, CoveredRange, RangeFile
from ._definition import PARENT_RESOURCE, STORE_FORMAT, Definition, completed, parsed
from ._failures import (
    NEEDS_PYTHON,
    NEEDS_SDK,
    NOT_A_STORE,
    SDK_DISTRIBUTION,
    SDK_VERSIONS,
    WRONG_SDK,
    SdkError,
    SdkUnavailable,
    one_line,
)
from ._report import VerifyReport, digest_checkable, report
from ._signer import ALGORITHMS, SignCallback, Signer, certificates, pem_text

__all__ = [
    "CoveredRange",
    "SdkError",
    "SdkUnavailable",
    "Signer",
    "VerifyReport",
    "check_signer",
    "sdk",
    "sign_store",
    "verify_store",
]

DATA_HASH_NAME = "jumbf manifest"
_NOTHING = hashlib.sha256(b"").digest()


# ---------------------------------------------------------------- the library


class _SignerInfo(ctypes.Structure):
    _fields_ = [
        ("alg", ctypes.c_char_p),
        ("sign_cert", ctypes.c_char_p),
        ("private_key", ctypes.c_char_p),
        ("ta_url", ctypes.c_char_p),
    ]


_BYTES = ctypes.POINTER(ctypes.c_ubyte)
_SIGN_CALLBACK = ctypes.CFUNCTYPE(
    ctypes.c_ssize_t, ctypes.c_void_p, _BYTES, ctypes.c_size_t, _BYTES, ctypes.c_size_t
)
_READ = ctypes.CFUNCTYPE(ctypes.c_ssize_t, ctypes.c_void_p, _BYTES, ctypes.c_ssize_t)
_SEEK = ctypes.CFUNCTYPE(ctypes.c_ssize_t, ctypes.c_void_p, ctypes.c_ssize_t, ctypes.c_int)
_WRITE = ctypes.CFUNCTYPE(ctypes.c_ssize_t, ctypes.c_void_p, _BYTES, ctypes.c_ssize_t)
_FLUSH = ctypes.CFUNCTYPE(ctypes.c_ssize_t, ctypes.c_void_p)

_P = ctypes.c_void_p
_OUT = ctypes.POINTER(ctypes.c_void_p)
_PROTOTYPES: dict[str, tuple[list[Any], Any]] = {
    "c2pa_error": ([], _P),
    "c2pa_free": ([_P], ctypes.c_int),
    "c2pa_builder_from_json": ([ctypes.c_char_p], _P),
    "c2pa_builder_add_resource": ([_P, ctypes.c_char_p, _P], ctypes.c_int),
    "c2pa_builder_data_hashed_placeholder": (
        [_P, ctypes.c_size_t, ctypes.c_char_p, _OUT],
        ctypes.c_int64,
    ),
    "c2pa_builder_sign_data_hashed_embeddable": (
        [_P, _P, ctypes.c_char_p, ctypes.c_char_p, _P, _OUT],
        ctypes.c_int64,
    ),
    "c2pa_signer_from_info": ([ctypes.POINTER(_SignerInfo)], _P),
    "c2pa_signer_create": (
        [_P, _SIGN_CALLBACK, ctypes.c_int, ctypes.c_char_p, ctypes.c_char_p],
        _P,
    ),
    "c2pa_signer_reserve_size": ([_P], ctypes.c_int64),
    "c2pa_create_stream": ([_P, _READ, _SEEK, _WRITE, _FLUSH], _P),
    "c2pa_release_stream": ([_P], None),
}


@dataclass(frozen=True)
class _Sdk:
    module: Any  # the c2pa package (untyped)
    lib: ctypes.CDLL  # our own prototypes over c2pa-python's loaded library

    def error(self, fallback: str) -> str:
        """The SDK's reason for the call that just failed on this thread."""
        raw = self.lib.c2pa_error()
        if not raw:
            return fallback
        try:
            text = ctypes.string_at(raw).decode("utf-8", "replace")
        finally:
            self.lib.c2pa_free(raw)
        return one_line(text) or fallback

    def take_bytes(self, pointer: ctypes.c_void_p, size: int) -> bytes:
        try:
            return ctypes.string_at(pointer.value or 0, size)
        finally:
            self.lib.c2pa_free(pointer)


def sdk() -> _Sdk:
    """The SDK, loaded once; SdkUnavailable says what to install."""
    return _load()


def installed() -> str:
    """The installed c2pa-python's version, found without loading it (its
    library adds some 15 MiB to a process): SdkUnavailable as ``sdk()``."""
    if sys.version_info < (3, 10):
        raise SdkUnavailable(NEEDS_PYTHON)
    try:
        from importlib import metadata

        found = metadata.version(SDK_DISTRIBUTION)
    except ImportError:
        raise SdkUnavailable(NEEDS_SDK) from None
    if tuple(int(part) for part in found.split(".")[:2] if part.isdigit()) != SDK_VERSIONS:
        raise SdkUnavailable(WRONG_SDK.format(found=found))
    return found


@functools.lru_cache(maxsize=1)
def _load() -> _Sdk:
    found = installed()
    try:
        module = importlib.import_module("c2pa")
    except ImportError:
        raise SdkUnavailable(NEEDS_SDK) from None
    loaded = getattr(getattr(module, "c2pa", None), "_lib", None)
    if not isinstance(loaded, ctypes.CDLL):
        raise SdkUnavailable(WRONG_SDK.format(found=found))
    # A CDLL of our own over the same handle: our prototypes, their library.
    lib = ctypes.CDLL(loaded._name, handle=loaded._handle)
    for name, (argtypes, restype) in _PROTOTYPES.items():
        function = getattr(lib, name)
        function.argtypes = argtypes
        function.restype = restype
    return _Sdk(module, lib)


class _NativeSigner:
    """A Signer made native for one signing; ``close`` frees it. The ctypes
    callback object lives as long as this, so the SDK never calls a freed one."""

    def __init__(self, api: _Sdk, signer: Signer) -> None:
        self._api = api
        self._callback: Any = None
        self.failure: BaseException | None = None  # what the callback raised
        tsa = signer.timestamp_url.encode("utf-8") if signer.timestamp_url else None
        chain = signer.chain.encode("ascii")
        if signer.callback is not None:
            self._callback = _SIGN_CALLBACK(self._trampoline(signer.callback))
            algorithm = ALGORITHMS[signer.algorithm]
            handle = api.lib.c2pa_signer_create(None, self._callback, algorithm, chain, tsa)
        else:
            key = (signer.key or "").encode("ascii")
            info = _SignerInfo(signer.algorithm.encode("ascii"), chain, key, tsa)
            handle = api.lib.c2pa_signer_from_info(ctypes.byref(info))
        if not handle:
            raise SdkError(f"the SDK refused the signer: {api.error('no reason given')}")
        self.handle: int = handle

    def _trampoline(self, callback: SignCallback) -> Callable[..., int]:
        def sign(_context: Any, data: Any, size: int, out: Any, capacity: int) -> int:
            try:
                signature = bytes(callback(ctypes.string_at(data, size)))
                if not signature or len(signature) > capacity:
                    raise ValueError(
                        f"the signing callback returned {len(signature)} bytes "
                        f"(at most {capacity} fit)"
                    )
                ctypes.memmove(out, signature, len(signature))
                return len(signature)
            except BaseException as error:  # noqa: BLE001 - must not unwind into C
                self.failure = error
                return -1

        return sign

    def reserve_size(self) -> int:
        size = int(self._api.lib.c2pa_signer_reserve_size(self.handle))
        if size < 0:
            raise SdkError(f"the SDK refused the signer: {self._api.error('no reserve size')}")
        return size

    def refusal(self, reason: str) -> BaseException:
        """What to raise for a failed signing: the callback's own exception
        when it raised one, else the SDK's reason."""
        failure = self.failure
        if failure is None:
            return SdkError(f"the SDK refused to sign: {reason}")
        if not isinstance(failure, Exception):
            return failure  # KeyboardInterrupt, SystemExit: passed on as they are
        detail = one_line(str(failure)) or type(failure).__name__
        return SdkError(f"the signing callback failed: {detail}")

    def close(self) -> None:
        if self.handle:
            self._api.lib.c2pa_free(self.handle)
            self.handle = 0
        self._callback = None


class _BytesStream:
    """A read-only C2paStream over bytes, for the SDK to read a resource."""

    def __init__(self, api: _Sdk, data: bytes) -> None:
        self._api = api
        self._data = data
        self._at = 0
        self._callbacks = (
            _READ(self._read),
            _SEEK(self._seek),
            _WRITE(lambda _c, _d, _n: -1),
            _FLUSH(lambda _c: 0),
        )
        self.handle: int = api.lib.c2pa_create_stream(None, *self._callbacks)
        if not self.handle:
            raise SdkError(f"the SDK refused a stream: {api.error('no reason given')}")

    def _read(self, _context: Any, out: Any, size: int) -> int:
        chunk = self._data[self._at : self._at + max(size, 0)]
        ctypes.memmove(out, chunk, len(chunk))
        self._at += len(chunk)
        return len(chunk)

    def _seek(self, _context: Any, offset: int, whence: int) -> int:
        base = (0, self._at, len(self._data))[whence] if whence in (0, 1, 2) else -1
        if base < 0 or base + offset < 0:
            return -1
        self._at = base + offset
        return self._at

    def close(self) -> None:
        if self.handle:
            self._api.lib.c2pa_release_stream(self.handle)
            self.handle = 0


def sign_store(
    definition: Definition,
    data_hash: bytes,
    signer: Signer,
    *,
    title: str,
    parent: bytes | None = None,
    parent_report: VerifyReport | None = None,
) -> bytes:
    """The finished manifest store whose data hash is ``data_hash``, the
    SHA-256 of the covered bytes (no exclusion), signed by ``signer``.

    ``definition`` is the SDK's manifest definition (a dict or JSON text);
    what it leaves out is filled in: ``title``, format application/warc,
    quillmark as claim generator, one c2pa.created action. Re-signing: with
    ``parent``, the archive's earlier store, and ``parent_report``, what
    ``verify_store`` found of it, the earlier active manifest becomes the
    parent ingredient of the new one (the action is then c2pa.opened), its
    manifests are carried into the new store and its validation results are
    recorded as found. Raises SdkError with the SDK's reason on a refusal.
    """
    if len(data_hash) != 32:
        raise ValueError(f"a SHA-256 is 32 bytes, not {len(data_hash)}")
    if data_hash == _NOTHING:
        raise ValueError("no covered bytes: the SDK verifies no store over nothing")
    if parent is not None and (parent_report is None or not parent_report.is_store):
        raise ValueError("re-signing needs verify_store's report on the earlier store")
    api = sdk()
    text = json.dumps(completed(parsed(definition), title, parent_report if parent else None))
    native = _NativeSigner(api, signer)
    builder = 0
    resource: _BytesStream | None = None
    try:
        builder = api.lib.c2pa_builder_from_json(text.encode("utf-8"))
        if not builder:
            raise SdkError(f"the SDK refused the manifest definition: {api.error('no reason')}")
        if parent is not None:
            resource = _BytesStream(api, parent)
            if api.lib.c2pa_builder_add_resource(
                builder, PARENT_RESOURCE.encode(), resource.handle
            ):
                raise SdkError(f"the SDK refused the earlier store: {api.error('no reason')}")
        out = ctypes.c_void_p()
        size = api.lib.c2pa_builder_data_hashed_placeholder(
            builder, native.reserve_size(), STORE_FORMAT.encode(), ctypes.byref(out)
        )
        if size < 0:
            raise SdkError(f"the SDK refused the manifest: {api.error('no reason given')}")
        api.take_bytes(out, 0)  # the placeholder itself is not needed
        hash_json = json.dumps(
            {
                "exclusions": [],
                "name": DATA_HASH_NAME,
                "alg": "sha256",
                "hash": list(data_hash),
                "pad": [],
            }
        )
        out = ctypes.c_void_p()
        size = api.lib.c2pa_builder_sign_data_hashed_embeddable(
            builder,
            native.handle,
            hash_json.encode(),
            STORE_FORMAT.encode(),
            None,
            ctypes.byref(out),
        )
        if size < 0:
            raise native.refusal(api.error("no reason given"))
        return api.take_bytes(out, int(size))
    finally:
        if builder:
            api.lib.c2pa_free(builder)
        if resource is not None:
            resource.close()
        native.close()


def check_signer(signer: Signer) -> None:
    """Signs a throwaway hash, for a caller that wants a signer the SDK
    refuses refused before any pass over an archive (``sign`` signs only
    after it); calls a callback signer once."""
    sign_store(None, bytes(32), signer, title="check")


def _settings(trust_anchors: str | None) -> dict[str, Any]:
    if trust_anchors is None:
        # No anchor to check against: trust is not asked, rather than failed.
        return {"verify": {"verify_trust": False}}
    certificates(trust_anchors, "trust anchors")  # SdkError for bad PEM
    return {"verify": {"verify_trust": True}, "trust": {"trust_anchors": trust_anchors}}


def verify_store(
    store: bytes,
    covered: Covered,
    trust_anchors: str | bytes | None = None,
    *,
    sha256: bytes | None = None,
) -> VerifyReport:
    """Verifies ``store`` against the bytes it covers, with the SDK.

    ``covered`` is a CoveredRange of a file, the bytes themselves, or a
    binary stream positioned at their start. The SDK reads them itself,
    holding up to 256 MiB of them at a time; given ``sha256``, their digest
    from quillmark's own pass, it reads none, checks everything else, and the
    store's data hash is compared with that digest (a store whose data hash
    has exclusions or another algorithm is still handed the bytes).
    ``trust_anchors`` is PEM text of root certificates, or None.
    """
    api = sdk()
    anchors = pem_text(trust_anchors, "trust anchors") if trust_anchors is not None else None
    settings = api.module.Settings.from_dict(_settings(anchors))
    context = api.module.Context(settings=settings)
    span = _span(covered)
    try:
        return _verify(api, store, covered, context, anchors is not None, span, sha256)
    finally:
        context.close()
        settings.close()


def _verify(
    api: _Sdk,
    store: bytes,
    covered: Covered,
    context: Any,
    anchored: bool,
    span: tuple[int, int] | None,
    sha256: bytes | None,
) -> VerifyReport:
    with contextlib.ExitStack() as stack:
        try:
            reader, by = None, "sdk"
            # The SDK refuses to hash nothing ("no data to hash"): so must we.
            if sha256 is not None and sha256 != _NOTHING:
                reader, by = _reader(api, store, b"", context), "digest"
                if not digest_checkable(reader):
                    reader.close()
                    reader, by = None, "sdk"
            if reader is None:
                reader = _reader(api, store, stack.enter_context(_opened(covered)), context)
        except _NotAStore as refusal:
            problem = f"{NOT_A_STORE} ({refusal})"
            return VerifyReport(False, False, None, problem=problem, covered=span)
        stack.callback(reader.close)  # before the stream it reads is closed
        return report(reader, store, anchored, span, by, sha256)


class _NotAStore(Exception):
    pass


def _span(covered: Covered) -> tuple[int, int] | None:
    if isinstance(covered, CoveredRange):
        return (covered.start, covered.length)
    if isinstance(covered, (bytes, bytearray, memoryview)):
        return (0, len(covered))
    return None


class _opened:
    """``covered`` as a stream the SDK can read, closed after if opened here."""

    def __init__(self, covered: Covered) -> None:
        self._covered = covered
        self._owned: io.RawIOBase | None = None

    def __enter__(self) -> Any:
        if isinstance(self._covered, CoveredRange):
            self._owned = RangeFile(self._covered)
            return self._owned
        if isinstance(self._covered, (bytes, bytearray, memoryview)):
            return io.BytesIO(self._covered)
        return self._covered

    def __exit__(self, *_: object) -> None:
        if self._owned is not None:
            self._owned.close()


def _reader(api: _Sdk, store: bytes, stream: Any, context: Any) -> Any:
    if isinstance(stream, bytes):
        stream = io.BytesIO(stream)
    try:
        return api.module.Reader(STORE_FORMAT, stream, manifest_data=bytes(store), context=context)
    except api.module.C2paError as error:
        raise _NotAStore(one_line(str(error)) or type(error).__name__) from None
    except TypeError as error:  # an empty store is refused before the SDK
        raise _NotAStore(one_line(str(error))) from None
