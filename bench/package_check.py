"""`quillmark check` and `append -o` on a WACZ package now that each WARC is
checked against the package (its CRC-32, size and SHA-256), against `check`
of the WARC alone plus hashlib's SHA-256 of it, and against the package
append of the build before these checks.

    python -m bench.package_check                  # the crawl-shaped .warc.gz
    python -m bench.package_check --write          # also into BENCHMARKS.md

The WARC is the crawl-shaped .warc.gz of bench/native_inputs.py (bench/data/
native-full/crawl.warc.gz; --warc names another), stored in a package with
datapackage.json and datapackage-digest.json as packagers write them. The
build before is commit BEFORE, built once into bench/data/tool-BEFORE/ by
bench/old_tool.py and run without site-packages, so that it imports itself.
Each case runs in its own process, in turns; processor time, wall time and
peak memory. One more case checks a package whose datapackage.json is as
large as a package may hold (16 MiB of nested lists and strings), for the
peak memory.
"""

from __future__ import annotations

import argparse
import hashlib
import json
import os
import subprocess
import sys
import zipfile
from pathlib import Path

from bench import native_inputs, old_tool
from bench.processes import MIB, Case, Run, take_turns, warm
from bench.report import write_section
from bench.streaming import quillmark_command

BEFORE = "3b8b4fd"
DATA_DIR = native_inputs.DATA_DIR / "package-check"
DEFAULT_WARC = native_inputs.DATA_DIR / "native-full" / "crawl.warc.gz"
STORE = b"\x00quillmark package store" * 1000
SHA256 = """
import hashlib, sys
hasher, buffer = hashlib.sha256(), bytearray(4 << 20)
with open(sys.argv[1], "rb", buffering=0) as stream:
    while got := stream.readinto(buffer):
        hasher.update(memoryview(buffer)[:got])
print(hasher.hexdigest())
"""


def _sha256(path: Path) -> str:
    digest = hashlib.sha256()
    with open(path, "rb") as stream:
        while piece := stream.read(8 * MIB):
            digest.update(piece)
    return digest.hexdigest()


def _package(target: Path, warc: Path, datapackage_extra: bytes = b"") -> None:
    """A package holding ``warc`` stored under archive/; ``datapackage_extra``
    is put into datapackage.json as a field of its own."""
    if target.exists():
        return
    resource = {"name": warc.name, "path": f"archive/{warc.name}",
                "hash": f"sha256:{_sha256(warc)}", "bytes": warc.stat().st_size}  # fmt: skip
    text = json.dumps({"profile": "data-package", "resources": [resource]}, indent=2).encode()
    if datapackage_extra:
        text = (
            b'{"extra": ' + datapackage_extra + b', "resources": [' + json.dumps(resource).encode()
        )
        text += b"]}"
    digest = {"path": "datapackage.json", "hash": f"sha256:{hashlib.sha256(text).hexdigest()}"}
    partial = target.with_name(target.name + ".partial")
    with zipfile.ZipFile(partial, "w") as z:
        z.write(warc, f"archive/{warc.name}", zipfile.ZIP_STORED)
        z.writestr("datapackage.json", text, zipfile.ZIP_DEFLATED)
        z.writestr("datapackage-digest.json", json.dumps(digest), zipfile.ZIP_DEFLATED)
    partial.replace(target)


def _hostile_text() -> bytes:
    """16 MiB less a little, the most a package may hold: nesting to the
    limit (the field stands at level 2, inside a list), over and over, and
    strings full of escapes."""
    piece = b"[" * 509 + b"]" * 509
    nested = b",".join([piece] * ((6 << 20) // (len(piece) + 1)))
    strings = b'"' + b"\\u00e9x" * ((9 << 20) // 7) + b'"'
    return b"[" + nested + b"," + strings + b"]"


def _removed(path: Path):
    return lambda: path.unlink(missing_ok=True)


def _written(output: Path, source: Path):
    def verify(run: Run) -> str | None:
        if not output.exists():
            return f"{output.name} was not written"
        ratio = output.stat().st_size / source.stat().st_size
        return None if 0.99 < ratio < 1.01 else f"{output.name} is {ratio:.3f} of its input"

    return verify


def cases(data_dir: Path, warc: Path, package: Path, hostile: Path) -> list[Case]:
    store = data_dir / "store.c2pa"
    store.write_bytes(STORE)
    tool = quillmark_command()
    before = [sys.executable, "-S", "-m", "quillmark_cli"]
    before_env = {**os.environ, "PYTHONPATH": str(old_tool.ensure(BEFORE))}
    out = data_dir / "out.wacz"
    return [
        Case("check", "check of the package", [*tool, "check", str(package)]),
        Case("check", "check of the WARC alone", [*tool, "check", str(warc)]),
        Case("check", "SHA-256 of the WARC by hashlib", [sys.executable, "-c", SHA256, str(warc)]),
        Case("check", "check of the package, build before", [*before, "check", str(package)],
             env=before_env),
        Case("check", "check of a package with a 16 MiB datapackage.json",
             [*tool, "check", str(hostile)]),
        Case("append", "append -o on the package",
             [*tool, "append", str(package), str(store), "-o", str(out)],
             verify=_written(out, package), cleanup=_removed(out)),
        Case("append", "append -o on the package, build before",
             [*before, "append", str(package), str(store), "-o", str(out)], env=before_env,
             verify=_written(out, package), cleanup=_removed(out)),
    ]  # fmt: skip


def table(ran: list[Case]) -> str:
    by = {case.label: case for case in ran if case.done}
    lines = ["| case | CPU s | wall s | peak MiB |", "|---|---:|---:|---:|"]
    for case in ran:
        state = case.state()
        if state:
            lines.append(f"| {case.label} | {state} | | |")
        else:
            lines.append(
                f"| {case.label} | {case.cpu:.3f} | {case.wall:.3f} | {case.peak_rss / MIB:,.0f} |"
            )
    lines.append("")
    package, alone = by.get("check of the package"), by.get("check of the WARC alone")
    sha = by.get("SHA-256 of the WARC by hashlib")
    if package and alone and sha:
        ratio = package.wall / (alone.wall + sha.wall)
        lines.append(
            f"Wall: `check` of the package takes {ratio:.2f} of `check` of the WARC plus "
            f"hashlib's SHA-256 of it (target ≤ 1.1, {'met' if ratio <= 1.1 else 'not met'}); "
            f"{package.wall / alone.wall:.2f} of `check` of the WARC alone."
        )
    new, old = by.get("append -o on the package"), by.get("append -o on the package, build before")
    if new and old:
        ratio = new.wall / old.wall
        lines.append(
            f"Wall: `append -o` on the package takes {ratio:.2f} of the build before "
            f"(target ≤ 1.1, {'met' if ratio <= 1.1 else 'not met'}); CPU {new.cpu / old.cpu:.2f}."
        )
    peak = max((case.peak_rss for case in ran if case.done), default=0)
    lines.append(f"Peak memory of all cases: {peak / MIB:,.0f} MiB (target ≤ 64).")
    return "\n".join(lines)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--warc", type=Path, default=DEFAULT_WARC)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--data-dir", type=Path, default=DATA_DIR)
    parser.add_argument("--write", action="store_true")
    parser.add_argument("--inputs-only", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    data_dir: Path = args.data_dir
    warc = args.warc
    package, hostile = data_dir / "crawl.wacz", data_dir / "hostile.wacz"
    if args.inputs_only:
        data_dir.mkdir(parents=True, exist_ok=True)
        _package(package, warc)
        small = data_dir / "small.warc.gz"
        if not small.exists():
            import gzip

            import quillmark

            record = quillmark.build_record("resource", "text/plain", "urn:uuid:1", b"page")
            small.write_bytes(gzip.compress(record))
        _package(hostile, small, _hostile_text())
        return 0
    # Made by a process of its own: what it holds would count into the peak
    # memory of every case, which inherits this process's.
    subprocess.run(
        [sys.executable, "-m", "bench.package_check", "--inputs-only", "--warc", str(warc),
         "--data-dir", str(data_dir)],
        check=True,
    )  # fmt: skip
    ran = cases(data_dir, warc, package, hostile)
    take_turns(ran, args.rounds, before_group=lambda group: warm([warc, package]))
    text = (
        f"A package of {package.stat().st_size / MIB:,.0f} MiB holding the crawl-shaped WARC "
        f"({warc.stat().st_size / MIB:,.0f} MiB of gzip members); best of {args.rounds} rounds "
        f"in turns; the build before is commit {BEFORE}.\n\n" + table(ran)
    )
    print(text)
    if args.write:
        command = f"python -m bench.package_check --rounds {args.rounds} --write"
        write_section("package-check", text, command, ("quillmark",))
    return 1 if any(case.failure for case in ran) else 0


if __name__ == "__main__":
    sys.exit(main())
