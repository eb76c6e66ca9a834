"""Public names whose modules load on first use (PEP 562): appending and
auditing need modules (uuid, hashlib, threading, csv...) that reading does
not, and loading them would slow the start of every command. Type checkers
see the names in each package's ``TYPE_CHECKING`` imports."""

from __future__ import annotations

import importlib
from typing import Callable


def on_first_use(package: str, names: list[str], homes: tuple[str, ...]) -> Callable[..., object]:
    """The ``__getattr__`` of ``package`` that gives each of ``names`` from the
    first of its modules ``homes`` that has it, loading them in turn (lightest first)."""

    def __getattr__(name: str) -> object:
        if name in names:
            for module in homes:
                found = importlib.import_module(module, package)
                if hasattr(found, name):
                    return getattr(found, name)
        raise AttributeError(f"module {package!r} has no attribute {name!r}")

    return __getattr__
