"""The `quillmark` command as it was before it streamed files, for comparison.

It is built from commit d7bd8e7 of this repository and installed with
`pip install --target` into bench/data/tool-d7bd8e7/, once; run it as
`python -m quillmark_cli` with that folder first on PYTHONPATH. It loads
whole files into memory (about three times a file's size for `append`).
"""

from __future__ import annotations

import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
DATA_DIR = ROOT / "bench" / "data"
COMMIT = "d7bd8e7"


def ensure(commit: str = COMMIT, data_dir: Path = DATA_DIR) -> Path:
    """The folder to put on PYTHONPATH, built first when it is missing."""
    target = data_dir / f"tool-{commit}"
    done = target / ".built"
    if done.exists():
        return target
    with tempfile.TemporaryDirectory() as source:
        archive = subprocess.run(
            ["git", "-C", str(ROOT), "archive", commit], check=True, capture_output=True
        ).stdout
        subprocess.run(["tar", "-x", "-C", source], input=archive, check=True)
        subprocess.run(
            [
                sys.executable,
                "-m",
                "pip",
                "install",
                "-q",
                "--no-deps",
                "--no-build-isolation",
                "--upgrade",
                "--target",
                str(target),
                source,
            ],
            check=True,
        )
    done.write_text(commit + "\n")
    return target


if __name__ == "__main__":
    print(ensure(*sys.argv[1:2]))
