"""The README's examples run, and its reference matches the module.

Each Python example runs as a script of its own from the repository root, the
way a reader would paste it, so examples that start processes work too.
"""

from __future__ import annotations

import inspect
import re
import subprocess
import sys
from pathlib import Path

import pytest
import quillmark

README = Path(__file__).resolve().parent.parent / "README.md"
TEXT = README.read_text(encoding="utf-8")


def python_examples() -> list[tuple[str, str]]:
    """(id, code) of every ```python block, named after its section."""
    examples = []
    heading = "top"
    counts: dict[str, int] = {}
    code: list[str] | None = None
    for line in TEXT.splitlines(keepends=True):
        if code is not None:
            if line.rstrip() == "```":
                counts[heading] = counts.get(heading, 0) + 1
                examples.append((f"{heading}-{counts[heading]}", "".join(code)))
                code = None
            else:
                code.append(line)
        elif line.startswith("```python"):
            code = []
        elif line.startswith("#"):
            title = line.lstrip("#").split("(")[0]
            heading = re.sub(r"\W+", "-", title).strip("-").lower()
    assert code is None, "a python block is not closed"
    return examples


EXAMPLES = python_examples()


def test_the_readme_has_examples():
    assert len(EXAMPLES) >= 8


@pytest.mark.parametrize("code", [code for _, code in EXAMPLES], ids=[i for i, _ in EXAMPLES])
def test_example_runs(code, tmp_path):
    script = tmp_path / "example.py"
    script.write_text(code, encoding="utf-8")
    result = subprocess.run(
        [sys.executable, str(script)],
        cwd=README.parent,
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert result.returncode == 0, f"stdout:\n{result.stdout}\nstderr:\n{result.stderr}"


def test_every_function_has_a_reference_with_its_signature():
    documented = {
        name: signature for signature, name in re.findall(r"^### `((\w+)\(.*?\))`$", TEXT, re.M)
    }
    functions = [name for name in quillmark.__all__ if name != "__version__"]
    assert sorted(documented) == sorted(functions)
    for name in functions:
        assert documented[name] == name + str(inspect.signature(getattr(quillmark, name)))


def test_documented_attributes_match_the_module():
    # The version is written in pyproject.toml alone; the README says where it is read.
    version = (
        "`__version__`: the installed package's version, a `str` "
        '(as `importlib.metadata.version("quillmark")` reads it)'
    )
    assert version in TEXT
    listed = ", ".join(f'"{name}"' for name in quillmark.__all__)
    assert f"`__all__`: `[{listed}]`" in TEXT


def test_the_version_is_written_in_pyproject_alone():
    # A bump must not leave an old number behind in a command or a comment.
    # BENCHMARKS.md is exempt: each run there records the version it measured.
    repo = README.parent
    listed = subprocess.run(
        ["git", "-C", str(repo), "ls-files", "-z"], capture_output=True, check=False
    )
    if listed.returncode != 0:
        pytest.skip("not a git checkout: the versioned files are unknown")
    # Not inside a longer number or an address such as 192.0.2.10.
    version = re.compile(rb"(?<![\d.])" + re.escape(quillmark.__version__.encode()) + rb"(?![\d])")
    found = []
    for name in listed.stdout.decode().split("\0"):
        path = repo / name
        if name in ("", "pyproject.toml", "BENCHMARKS.md") or not path.is_file():
            continue
        if version.search(path.read_bytes()):
            found.append(name)
    assert found == []
