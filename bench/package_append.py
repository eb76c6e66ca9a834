"""`quillmark append` on a WACZ package, against the same append on its WARC
as a file plus one copy of the package.

    python -m bench.package_append                 # a WARC of about 1 GiB of gzip members
    python -m bench.package_append --warc-mib 64   # a small one, to try the harness
    python -m bench.package_append --write         # also write the table into BENCHMARKS.md

The WARC is crawl-shaped (bench/native_inputs.py: request, response and
metadata records, pages of lognormal size, one gzip member per record, a
manifest record last); the package holds it stored under archive/, with
pages/pages.jsonl, datapackage.json and datapackage-digest.json as packagers
write them. Each case runs in its own process, in turns: the append on the
package writes a new package (copying its other entries, writing the WARC
entry and digesting it for datapackage.json); the append on the WARC writes a
new .warc.gz; the copies are `cp` and one kernel copy plus fsync of the
package; the digest is the SHA-256 and CRC-32 of the WARC, read once, which a
package needs of its new WARC (for datapackage.json and the ZIP headers) and
no copy makes. Processor time, wall time and peak memory per case.
"""

from __future__ import annotations

import argparse
import hashlib
import json
import subprocess
import sys
import zipfile
from pathlib import Path

from bench import native_inputs
from bench.processes import MIB, Case, Run, take_turns, warm
from bench.report import write_section
from bench.streaming import quillmark_command

DATA_DIR = native_inputs.DATA_DIR / "package"
SEED = "package-append"
STORE = b"\x00quillmark package store" * 1000
# What a package needs of its new WARC and a copy does not do: its SHA-256
# (for datapackage.json) and CRC-32 (for the ZIP headers), in one read, with
# the libraries the append uses.
DIGEST = """
import hashlib, sys
from quillmark_files import _native
hasher, crc, buffer = hashlib.sha256(), 0, bytearray(4 << 20)
with open(sys.argv[1], "rb", buffering=0) as stream:
    while got := stream.readinto(buffer):
        hasher.update(memoryview(buffer)[:got])
        crc = _native.crc32(buffer, crc, got)
print(hasher.hexdigest(), crc)
"""


def _paths(data_dir: Path, warc_mib: int) -> tuple[Path, Path]:
    return data_dir / f"crawl-{warc_mib}MiB.warc.gz", data_dir / f"crawl-{warc_mib}MiB.wacz"


def _make_package(data_dir: Path, warc_mib: int) -> None:
    warc, package = _paths(data_dir, warc_mib)
    if package.exists() and warc.exists():
        return
    data_dir.mkdir(parents=True, exist_ok=True)
    records = native_inputs._crawl_records(f"{SEED}/{warc_mib}", warc_mib * MIB)
    native_inputs._write(records, {"gzip": warc})
    digest = hashlib.sha256()
    with open(warc, "rb") as stream:
        while piece := stream.read(8 * MIB):
            digest.update(piece)
    pages = b'{"format": "json-pages-1.0", "id": "pages"}\n'
    resources = [
        {"name": warc.name, "path": f"archive/{warc.name}",
         "hash": f"sha256:{digest.hexdigest()}", "bytes": warc.stat().st_size},
        {"name": "pages.jsonl", "path": "pages/pages.jsonl",
         "hash": f"sha256:{hashlib.sha256(pages).hexdigest()}", "bytes": len(pages)},
    ]  # fmt: skip
    datapackage = json.dumps(
        {"profile": "data-package", "resources": resources, "wacz_version": "1.1.1"}, indent=2
    ).encode()
    partial = package.with_name(package.name + ".partial")
    with zipfile.ZipFile(partial, "w") as z:
        z.write(warc, f"archive/{warc.name}", zipfile.ZIP_STORED)
        z.writestr("pages/pages.jsonl", pages, zipfile.ZIP_DEFLATED)
        z.writestr("datapackage.json", datapackage, zipfile.ZIP_DEFLATED)
        digest_text = {"path": "datapackage.json",
                       "hash": f"sha256:{hashlib.sha256(datapackage).hexdigest()}"}  # fmt: skip
        z.writestr("datapackage-digest.json", json.dumps(digest_text), zipfile.ZIP_DEFLATED)
    partial.replace(package)


def _removed(*paths: Path):
    def remove() -> None:
        for path in paths:
            path.unlink(missing_ok=True)

    return remove


def _written(output: Path, source: Path):
    def verify(run: Run) -> str | None:
        if not output.exists():
            return f"{output.name} was not written"
        ratio = output.stat().st_size / source.stat().st_size
        return None if 0.99 < ratio < 1.01 else f"{output.name} is {ratio:.3f} of its input"

    return verify


def cases(data_dir: Path, warc: Path, package: Path) -> list[Case]:
    store = data_dir / "store.c2pa"
    store.write_bytes(STORE)
    out_package, out_warc, copy = (data_dir / n for n in ("out.wacz", "out.warc.gz", "copy.wacz"))
    tool = quillmark_command()
    group = "package"
    return [
        Case(
            group,
            "append on the package",
            [*tool, "append", str(package), str(store), "-o", str(out_package)],
            verify=_written(out_package, package),
            cleanup=_removed(out_package),
        ),  # fmt: skip
        Case(
            group,
            "append on its WARC as a file",
            [*tool, "append", str(warc), str(store), "-o", str(out_warc)],
            verify=_written(out_warc, warc),
            cleanup=_removed(out_warc),
        ),  # fmt: skip
        Case(
            group,
            "cp of the package",
            ["cp", "--reflink=never", str(package), str(copy)],
            verify=_written(copy, package),
            cleanup=_removed(copy),
        ),  # fmt: skip
        Case(
            group,
            "kernel copy of the package",
            [sys.executable, "-m", "bench.kernel_copy", str(package), str(copy)],
            verify=_written(copy, package),
            cleanup=_removed(copy),
        ),  # fmt: skip
        Case(group, "digest of the WARC", [sys.executable, "-c", DIGEST, str(warc)]),
    ]


def table(ran: list[Case]) -> str:
    by = {case.label: case for case in ran if case.done}
    lines = [
        "| case | CPU s | wall s | peak MiB |",
        "|---|---:|---:|---:|",
    ]
    for case in ran:
        state = case.state()
        if state:
            lines.append(f"| {case.label} | {state} | | |")
        else:
            lines.append(
                f"| {case.label} | {case.cpu:.3f} | {case.wall:.3f} | {case.peak_rss / MIB:,.0f} |"
            )
    package = by.get("append on the package")
    warc = by.get("append on its WARC as a file")
    copies = [
        by[label] for label in ("cp of the package", "kernel copy of the package") if label in by
    ]
    digest = by.get("digest of the WARC")
    if package and warc and copies:
        copy = min(copies, key=lambda case: case.wall)
        for what in ("cpu", "wall"):
            budget = getattr(warc, what) + getattr(copy, what)
            ratio = getattr(package, what) / budget
            verdict = "met" if ratio <= 1 else "not met"
            lines.append("")
            lines.append(
                f"{what.upper() if what == 'cpu' else 'Wall'}: the package's append takes "
                f"{ratio:.2f} of the WARC's append plus the faster copy ({copy.label}): "
                f"target ≤ 1, {verdict}."
            )
            if digest:
                lines.append(
                    f"With the digest of the new WARC that only a package needs: "
                    f"{getattr(package, what) / (budget + getattr(digest, what)):.2f}."
                )
    return "\n".join(lines)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--warc-mib", type=int, default=2560, help="uncompressed size of the WARC")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--data-dir", type=Path, default=DATA_DIR)
    parser.add_argument("--write", action="store_true")
    parser.add_argument("--inputs-only", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.inputs_only:
        _make_package(args.data_dir, args.warc_mib)
        return 0
    # Made by a process of its own: what it holds would count into the peak
    # memory of every case, which inherits this process's.
    subprocess.run(
        [sys.executable, "-m", "bench.package_append", "--inputs-only",
         "--warc-mib", str(args.warc_mib), "--data-dir", str(args.data_dir)],
        check=True,
    )  # fmt: skip
    warc, package = _paths(args.data_dir, args.warc_mib)
    ran = cases(args.data_dir, warc, package)
    take_turns(ran, args.rounds, before_group=lambda group: warm([warc, package]))
    text = (
        f"A package of {package.stat().st_size / MIB:,.0f} MiB holding a crawl-shaped WARC of "
        f"{warc.stat().st_size / MIB:,.0f} MiB of gzip members; best of {args.rounds} rounds in "
        "turns.\n\n" + table(ran)
    )
    print(text)
    if args.write:
        command = f"python -m bench.package_append --rounds {args.rounds} --write"
        write_section("package-append", text, command, ("quillmark",))
    return 1 if any(case.failure for case in ran) else 0


if __name__ == "__main__":
    sys.exit(main())
