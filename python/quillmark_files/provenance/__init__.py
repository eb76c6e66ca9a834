"""Signing and verifying the manifest store an archive carries.

The store is made and checked by the C2PA SDK (c2pa-python, the optional
extra ``quillmark[c2pa]``); ``_sdk`` is the one module that calls it. The
signed bytes are every byte of the archive before its manifest record, hashed
by quillmark's own pass; the store then goes into that record.
``store_framing`` reads a store's boxes strictly, without the SDK.
"""
