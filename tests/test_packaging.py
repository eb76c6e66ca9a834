"""The package as users get it: one abi3 wheel, a manylinux repair, an sdist that
builds, and clean virtual environments of the oldest and newest supported
interpreters that install the wheel and use the module."""

from __future__ import annotations

import io
import re
import sys
import tarfile
import zipfile
from email.parser import Parser
from pathlib import Path

import pytest
import wheel_build
from wheel_build import REPO, run

pytestmark = wheel_build.wheel_marks("packaging")

VERSION = wheel_build.package_version()
STUB_FILES = ("quillmark.pyi", "quillmark-stubs/__init__.pyi")


def wheel_metadata(wheel: Path, name: str):
    with zipfile.ZipFile(wheel) as archive:
        (path,) = [n for n in archive.namelist() if n.endswith(f".dist-info/{name}")]
        return Parser().parsestr(archive.read(path).decode())


def wheel_files(wheel: Path) -> set[str]:
    with zipfile.ZipFile(wheel) as archive:
        return {n for n in archive.namelist() if ".dist-info/" not in n}


def test_pip_wheel_gives_one_abi3_wheel_with_module_and_stubs():
    wheel = wheel_build.built_wheel()
    assert wheel.name == f"quillmark-{VERSION}-cp39-abi3-linux_x86_64.whl"
    tags = wheel_metadata(wheel, "WHEEL")
    assert tags.get_all("Tag") == ["cp39-abi3-linux_x86_64"]
    assert tags["Root-Is-Purelib"] == "false"

    files = wheel_files(wheel)
    assert "quillmark.abi3.so" in files
    for part in ("_native.abi3.so", "_native.pyi", "py.typed", "__init__.py"):
        assert f"quillmark_files/{part}" in files
    # No interpreter-specific build of the module may sneak in beside it.
    assert not [f for f in files if re.search(r"\.cpython-\d+.*\.so$", f)]
    with zipfile.ZipFile(wheel) as archive:
        stubs = {archive.read(name) for name in STUB_FILES}
    assert len(stubs) == 1, "the two stub files differ"
    assert b"def read_records(warc: bytes)" in stubs.pop()


@pytest.mark.parametrize(
    "library, initialiser",
    [
        ("quillmark.abi3.so", "PyInit_quillmark"),
        ("quillmark_files/_native.abi3.so", "PyInit__native"),
    ],
)
def test_each_extension_exports_only_its_initialiser(library, initialiser):
    elffile = pytest.importorskip("elftools.elf.elffile", reason="pyelftools is not installed")
    with zipfile.ZipFile(wheel_build.built_wheel()) as archive:
        image = archive.read(library)
    elf = elffile.ELFFile(io.BytesIO(image))
    exported = {
        symbol.name
        for symbol in elf.get_section_by_name(".dynsym").iter_symbols()
        if symbol["st_shndx"] != "SHN_UNDEF"
        and symbol["st_info"]["bind"] in ("STB_GLOBAL", "STB_WEAK")
    }
    assert exported == {initialiser}


def test_wheel_metadata():
    metadata = wheel_metadata(wheel_build.built_wheel(), "METADATA")
    assert metadata["Name"] == "quillmark"
    assert metadata["Version"] == VERSION
    assert metadata["Requires-Python"] == ">=3.9"
    assert metadata["License-Expression"] == "MIT"
    assert metadata["Author"] == "quillmark developers"
    assert metadata["Summary"]
    assert metadata["Description-Content-Type"] == "text/markdown"
    assert "## " in metadata.get_payload(), "the README is the long description"
    classifiers = metadata.get_all("Classifier")
    for expected in (
        "Typing :: Typed",
        "Programming Language :: Python :: 3.9",
        "Programming Language :: Python :: 3.13",
        "Programming Language :: C++",
    ):
        assert expected in classifiers
    # Nothing is published at a known address yet: no URLs.
    assert metadata.get_all("Project-URL") is None
    assert metadata["Home-page"] is None
    with zipfile.ZipFile(wheel_build.built_wheel()) as archive:
        assert any(n.endswith(".dist-info/licenses/LICENSE") for n in archive.namelist())


def test_auditwheel_repair_gives_a_manylinux_wheel():
    repaired = wheel_build.repaired_wheel()
    assert re.fullmatch(
        rf"quillmark-{re.escape(VERSION)}-cp39-abi3-manylinux_2_\d+_x86_64(\.manylinux\w+)*\.whl",
        repaired.name,
    ), repaired.name
    report = run(sys.executable, "-m", "auditwheel", "show", repaired)
    assert "manylinux_2_" in report
    assert wheel_files(repaired) >= wheel_files(wheel_build.built_wheel())
    # The fast inflaters the build found travel inside the wheel.
    from quillmark_files import available_inflaters

    bundled = {name.split("/")[-1] for name in wheel_files(repaired) if ".libs/" in name}
    for library, stem in (("libdeflate", "libdeflate"), ("isal", "libisal")):
        if library in available_inflaters():
            assert any(name.startswith(stem) for name in bundled), (library, bundled)


def test_sdist_carries_the_sources_and_builds_the_same_wheel(tmp_path):
    # The isolated `pip wheel .` build already proves the declared build
    # requirements; here the test environment's build tools save a second setup.
    run(sys.executable, "-m", "build", "--sdist", "--no-isolation", "--outdir", tmp_path, REPO)
    (sdist,) = tmp_path.glob("*.tar.gz")
    assert sdist.name == f"quillmark-{VERSION}.tar.gz"
    with tarfile.open(sdist) as archive:
        names = {n.split("/", 1)[1] for n in archive.getnames() if "/" in n}
    for needed in (
        "pyproject.toml",
        "CMakeLists.txt",
        "README.md",
        "LICENSE",
        "PKG-INFO",
        "src/python/quillmark.pyi",
        "src/python/exports.map",
    ):
        assert needed in names
    assert not [n for n in names if n.startswith((".venv", "build/", ".git/"))]

    out = tmp_path / "from-sdist"
    run(sys.executable, "-m", "pip", "wheel", "--no-deps", "--no-build-isolation", "-w", out, sdist)
    (wheel,) = out.glob("*.whl")
    assert wheel.name == wheel_build.built_wheel().name
    assert wheel_files(wheel) == wheel_files(wheel_build.built_wheel())


USE_THE_MODULE = """
import pathlib, sys
import quillmark
site = pathlib.Path(sys.argv[1])
assert pathlib.Path(quillmark.__file__).parent == site, quillmark.__file__
assert (site / "quillmark.pyi").is_file()
warc = quillmark.build_record("resource", "text/plain", "urn:a", b"hello", "http://a/")
out = quillmark.append_manifest(warc, b"store", "urn:m")
assert quillmark.read_manifest(out) == b"store"
assert [r["body"] for r in quillmark.read_records(out)] == [b"hello", b"store"]
print(quillmark.__version__, "%d.%d" % sys.version_info[:2])
"""


@pytest.mark.parametrize("version", ["3.9", "3.13"])
def test_clean_venv_installs_the_wheel_and_imports_it(version, tmp_path):
    python = wheel_build.find_python(version)
    if python is None:
        pytest.skip(f"no CPython {version} interpreter on this machine")
    venv_python = wheel_build.make_venv(python, tmp_path / "venv")
    wheel_build.install_wheel(venv_python, wheel_build.repaired_wheel())
    site = wheel_build.site_packages(venv_python)
    # Run from an empty directory so that nothing of the source tree is found.
    output = run(venv_python, "-c", USE_THE_MODULE, site, cwd=tmp_path)
    assert output.split() == [VERSION, version]


@pytest.mark.skipif(sys.version_info < (3, 10), reason="sys.stdlib_module_names is new in 3.10")
def test_no_module_of_the_file_layer_hides_a_standard_one():
    # spark-submit runs crawl/spark_audit.py as a script: its folder comes
    # first on the path, where a module named like a standard one would hide
    # it. No folder of the file layer may hold one.
    package = REPO / "python" / "quillmark_files"
    for folder in [package, *(path for path in package.iterdir() if path.is_dir())]:
        names = {path.stem for path in folder.glob("*.py")} | {p.name for p in folder.iterdir()}
        assert not names & set(sys.stdlib_module_names), folder
