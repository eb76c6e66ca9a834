"""Gzip codecs: the fastest installed library with zlib's interface.

Decompression is most of the work on a ``.warc.gz``. python-isal (ISA-L) and
zlib-ng inflate two to three times as fast as the standard ``zlib``; they are
optional (the extras ``quillmark[isal]`` and ``quillmark[zlib-ng]``) and used
when installed, in that order of preference, with ``zlib`` as the fallback.
The environment variable QUILLMARK_INFLATER, or the ``inflater`` argument of
the functions of this package, names one: "isal", "zlib-ng", "zlib" or "auto".
"""

from __future__ import annotations

import functools
import importlib
import os
import zlib
from collections.abc import Callable
from types import ModuleType
from typing import Any, NamedTuple

from .errors import InflaterUnavailable

ENVIRONMENT = "QUILLMARK_INFLATER"
AUTO = "auto"
# name: (module with zlib's interface, the extra that installs it, default level)
_LIBRARIES = {
    "isal": ("isal.isal_zlib", "isal", 2),  # ISA-L's levels run 0 to 3
    "zlib-ng": ("zlib_ng.zlib_ng", "zlib-ng", 6),
    "zlib": ("zlib", None, 6),
}
# A decompressor that keeps the input it has not used yet, as bz2's and lzma's
# do (``needs_input``), where the library has one: zlib's ``decompressobj``
# copies that input out into ``unconsumed_tail`` and grows its output from
# small blocks that are then joined, which costs zlib-ng an eighth of its time
# on a crawl (the blocks' page faults and the join). The standard zlib has one
# from Python 3.12.
_BUFFERING = {
    "isal": ("isal.igzip_lib", "IgzipDecompressor"),
    "zlib-ng": ("zlib_ng.zlib_ng", "_ZlibDecompressor"),
    "zlib": ("zlib", "_ZlibDecompressor"),
}
PREFERENCE = tuple(_LIBRARIES)
_GZIP_WBITS = 16 + zlib.MAX_WBITS


class Codec(NamedTuple):
    """One library's gzip decompressors and compressors."""

    name: str
    library: ModuleType
    level: int
    make_decompressor: Callable[[], Any]

    def decompressor(self) -> Any:
        """A decompressor for one gzip member, with the interface of
        ``bz2.BZ2Decompressor``: ``decompress(data, max_length)``, ``eof``,
        ``needs_input`` and ``unused_data``."""
        return self.make_decompressor()

    def compressor(self) -> Any:
        """A compressor that writes one gzip member."""
        return self.library.compressobj(self.level, zlib.DEFLATED, _GZIP_WBITS)

    @property
    def error(self) -> type[Exception]:
        error: type[Exception] = self.library.error
        return error


def _load(name: str) -> Codec:
    module, extra, level = _LIBRARIES[name]
    try:
        library = importlib.import_module(module)
    except ImportError:
        raise InflaterUnavailable(
            f"the inflater {name!r} is not installed; install it with: "
            f"pip install 'quillmark[{extra}]'"
        ) from None
    return Codec(name, library, level, _buffering_decompressor(name, library))


def _buffering_decompressor(name: str, library: ModuleType) -> Callable[[], Any]:
    module_name, attribute = _BUFFERING[name]
    module = importlib.import_module(module_name)
    made = getattr(module, attribute, None)
    if made is None:  # zlib before Python 3.12
        return functools.partial(_TailKeeper, library.decompressobj)
    # ISA-L names its gzip format with a flag of its own, the others with wbits.
    return functools.partial(made, module.DECOMP_GZIP if name == "isal" else _GZIP_WBITS)


class _TailKeeper:
    """``decompressobj`` behind the ``needs_input`` interface."""

    __slots__ = ("inflater", "needs_input")

    def __init__(self, decompressobj: Callable[[int], Any]) -> None:
        self.inflater = decompressobj(_GZIP_WBITS)
        self.needs_input = True

    def decompress(self, data: Any, max_length: int) -> bytes:
        inflater = self.inflater
        out: bytes = inflater.decompress(data or inflater.unconsumed_tail, max_length)
        self.needs_input = not inflater.unconsumed_tail and len(out) < max_length
        return out

    @property
    def eof(self) -> bool:
        return bool(self.inflater.eof)

    @property
    def unused_data(self) -> bytes:
        unused: bytes = self.inflater.unused_data
        return unused


def available() -> list[str]:
    """The names of the installed libraries, fastest first."""
    found = []
    for name in PREFERENCE:
        try:
            _load(name)
        except InflaterUnavailable:
            continue
        found.append(name)
    return found


_chosen: dict[str, Codec] = {}


def codec(name: str | None = None) -> Codec:
    """The codec called ``name``, else the one QUILLMARK_INFLATER names, else the
    fastest installed. Raises InflaterUnavailable for a name that is not
    installed or not known."""
    wanted = (name or os.environ.get(ENVIRONMENT) or AUTO).strip().lower()
    if wanted in _chosen:
        return _chosen[wanted]
    if wanted == AUTO:
        found = _load(available()[0])
    elif wanted in _LIBRARIES:
        found = _load(wanted)
    else:
        choices = ", ".join(repr(n) for n in (*PREFERENCE, AUTO))
        raise InflaterUnavailable(f"unknown inflater {wanted!r}; choose one of {choices}")
    _chosen[wanted] = found
    return found
