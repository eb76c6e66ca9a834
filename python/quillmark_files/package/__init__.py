"""WACZ packages: the ZIP structure (_zip_fields, _zip_directory), the
``datapackage.json`` and its digest (_datapackage), a package opened and
checked, and its WARCs handed to the pass as byte ranges (_package); and,
loaded on first use (see _lazy.py), the append to a WARC inside one (_append)
with the package written anew around it (_writer, _zip_headers).
"""

from typing import TYPE_CHECKING

from .._lazy import on_first_use
from ._package import PACKAGE_SUFFIX, Package, WarcEntry, is_package, list_warcs, warc_path

if TYPE_CHECKING:
    from ._append import PackageAppendResult, append_to_package

__all__ = [
    "PACKAGE_SUFFIX",
    "Package",
    "PackageAppendResult",
    "WarcEntry",
    "append_to_package",
    "is_package",
    "list_warcs",
    "warc_path",
]
__getattr__ = on_first_use(__name__, __all__, ("._append",))
