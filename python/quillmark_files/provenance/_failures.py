"""How signing and verifying fail: the SDK missing, or a refusal in one line."""

from __future__ import annotations

SDK_DISTRIBUTION = "c2pa-python"
SDK_VERSIONS = (0, 38)  # the C calls quillmark makes are those of c2pa-python 0.38.x
NEEDS_SDK = "signing and verifying need c2pa-python: pip install 'quillmark[c2pa]'"
NEEDS_PYTHON = "signing and verifying need CPython 3.10 or later (c2pa-python)"
WRONG_SDK = (
    "signing and verifying need c2pa-python 0.38.x, not {found}: pip install 'quillmark[c2pa]'"
)
NOT_A_STORE = "not a C2PA manifest store"


class SdkUnavailable(RuntimeError):
    """c2pa-python is not installed, not the version this module calls, or
    cannot run on this Python; ``str(error)`` says what to install."""


class SdkError(ValueError):
    """The SDK, or a check made before calling it, refused: one line."""

    def __init__(self, message: str) -> None:
        super().__init__(one_line(message))


def one_line(text: str) -> str:
    return "; ".join(part.strip() for part in str(text).splitlines() if part.strip())
