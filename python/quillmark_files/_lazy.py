"""Public names whose modules load on first use.

Appending and auditing need modules (and standard ones: uuid, hashlib,
threading, csv) that reading does not; loading them at every start would
slow every command. A package gives such names through a module
``__getattr__`` (PEP 562) made here; its ``TYPE_CHECKING`` imports name them
for type checkers.
"""

from __future__ import annotations

import importlib
from typing import Callable


def on_first_use(package: str, modules: dict[str, tuple[str, ...]]) -> Callable[[str], object]:
    """The ``__getattr__`` of ``package`` that gives the names of each module
    of ``modules`` (relative to ``package``) from it."""
    homes = {name: module for module, names in modules.items() for name in names}

    def __getattr__(name: str) -> object:
        home = homes.get(name)
        if home is None:
            raise AttributeError(f"module {package!r} has no attribute {name!r}")
        return getattr(importlib.import_module(home, package), name)

    return __getattr__
