"""Which library inflates gzip data: the native choices of this build.

The pass over a ``.warc.gz`` calls the inflater directly, in C++. A build has
zlib, and libdeflate and ISA-L where they were found when it was made (see
the README's install command); ``available()`` lists them, fastest first.
By default the fastest is used: libdeflate inflates each member whole (the
fastest on the small members crawlers write) and hands members too large for
its buffer to ISA-L, else zlib. The environment variable QUILLMARK_INFLATER,
or the ``inflater`` argument of this package's functions, names one:
"libdeflate", "isal", "zlib" or "auto".
"""

from __future__ import annotations

import os

from . import _scan
from .errors import InflaterUnavailable

ENVIRONMENT = "QUILLMARK_INFLATER"
AUTO = "auto"
KNOWN = ("libdeflate", "isal", "zlib")
_PACKAGES = {"libdeflate": "libdeflate-dev", "isal": "libisal-dev"}


def available() -> list[str]:
    """The inflaters of this build, fastest first."""
    return list(_scan.inflaters())


def chosen(name: str | None = None) -> str | None:
    """The inflater called ``name``, else the one QUILLMARK_INFLATER names, as
    the native pass takes it (None: the fastest). Raises InflaterUnavailable
    for a name that is not known or not in this build."""
    wanted = (name or os.environ.get(ENVIRONMENT) or AUTO).strip().lower()
    if wanted == AUTO:
        return None
    if wanted not in KNOWN:
        choices = ", ".join(repr(known) for known in (*KNOWN, AUTO))
        raise InflaterUnavailable(f"unknown inflater {wanted!r}; choose one of {choices}")
    if wanted not in available():
        raise InflaterUnavailable(
            f"this build of quillmark has no {wanted!r} inflater; install "
            f"{_PACKAGES[wanted]} (Debian's name) and reinstall quillmark"
        )
    return wanted
