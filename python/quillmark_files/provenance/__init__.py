"""Signing and verifying the manifest store an archive carries.

The store is made and checked by the C2PA SDK (c2pa-python, the optional
extra ``quillmark[c2pa]``); ``_sdk`` is the one module that calls it, and it
is loaded only when a function is called. The signed bytes are every byte of
the archive before its manifest record, hashed by quillmark's own pass
(``_sign``, ``_verify``); the store then goes into that record.
``_store_framing`` reads a store's boxes strictly, without the SDK.
"""

from typing import TYPE_CHECKING

from .._lazy import on_first_use

if TYPE_CHECKING:
    from ._failures import SdkError, SdkUnavailable
    from ._report import StatusCode, VerifyReport
    from ._sdk import check_signer, sign_store, verify_store
    from ._sign import SignResult, sign
    from ._signer import Signer
    from ._verify import SIGNATURE_STATES, Verification, ready_to_verify, verify

__all__ = [
    "SIGNATURE_STATES",
    "SdkError",
    "SdkUnavailable",
    "SignResult",
    "Signer",
    "StatusCode",
    "Verification",
    "VerifyReport",
    "check_signer",
    "ready_to_verify",
    "sign",
    "sign_store",
    "verify",
    "verify_store",
]
__getattr__ = on_first_use(
    __name__,
    __all__,
    ("._failures", "._signer", "._report", "._sdk", "._verify", "._sign"),
)
