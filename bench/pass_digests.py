"""What the digests of the native pass cost: a check with and without each
digest of its input, against a check followed by one hashlib SHA-256 of the
file; an append -o with and without the digests of its output (and with its
manifest deferred, as signing runs it), against an append followed by one
SHA-256 of its output.

    python -m bench.pass_digests                    # the crawl-shaped inputs of native-full
    python -m bench.pass_digests --data DIR --rounds 5
    python -m bench.pass_digests --write            # also write the table into BENCHMARKS.md

Each case is a process of its own (bench/processes.py: wall and processor
time, peak memory from the kernel), the cases of one input taking turns. The
pass runs as quillmark_files runs it (steps of 64 MiB, the interpreter lock
released); its inputs are warmed into the page cache first. Appends write
under bench/data/pass-digests/, removed after each run.
"""

from __future__ import annotations

import argparse
import hashlib
import os
import sys
from pathlib import Path

from bench.processes import MIB, ROOT, Case, take_turns, warm
from bench.report import write_section

DEFAULT_DATA = Path("/work/main/bench/data/native-full")
OUT_DIR = ROOT / "bench" / "data" / "pass-digests"
STEP = 64 << 20
PIECE = 4 << 20
STORE = b"\x00quillmark store" * 200

# Input digests asked of a check, by case.
CHECKS = {
    "check": {},
    "check, SHA-256": {"sha256": True},
    "check, CRC-32 + SHA-256": {"crc32": True, "sha256": True},
    "check, covered SHA-256": {"covered": True},
    "check, all three": {"crc32": True, "sha256": True, "covered": True},
}
APPENDS = {
    "append -o": {},
    "append -o, output digests": {"output_digests": True},
    "append -o, deferred, output + covered digests": {
        "output_digests": True,
        "covered": True,
        "old_manifest": True,
    },
}


def _sha256_of(fd: int, start: int = 0) -> str:
    hasher, buffer, at = hashlib.sha256(), bytearray(PIECE), start
    with memoryview(buffer) as view:
        while got := os.preadv(fd, [view], at):
            hasher.update(view[:got])
            at += got
    return hasher.hexdigest()


def _run(scan: object) -> None:
    while not scan.done:  # type: ignore[attr-defined]
        scan.run(STEP)  # type: ignore[attr-defined]
    if scan.failure is not None:  # type: ignore[attr-defined]
        raise SystemExit(f"failed: {scan.failure}")  # type: ignore[attr-defined]


def case_main(argv: list[str]) -> None:
    """One case, in the process the harness started: KIND NAME INPUT OUTPUT THREADS."""
    from quillmark_files import _native

    kind, name, source, output, threads = argv
    fd = os.open(source, os.O_RDONLY)
    options = {"threads": int(threads)}
    if kind == "check":
        scan = _native.Scan(fd, **options, **CHECKS.get(name, {}))
        _run(scan)
        if name == "check, then hashlib SHA-256":
            _sha256_of(fd)
        return
    out = os.open(output, os.O_RDWR | os.O_CREAT | os.O_TRUNC, 0o644)
    asked = APPENDS.get(name, {})
    deferred = "deferred" in name
    scan = _native.Scan(
        fd, append_to=out, manifest=None if deferred else STORE, record_id="urn:uuid:bench",
        compress=source.endswith(".gz"), **options, **asked,
    )  # fmt: skip
    _run(scan)
    if deferred:
        scan.output_digests()  # what a signature is made over
        scan.finish(STORE)
        _run(scan)
    if name == "append -o, then hashlib SHA-256":
        _sha256_of(out)
    os.fsync(out)


def cases(data: Path, threads: list[int]) -> list[Case]:
    made = []
    for input_name in ("crawl.warc.gz", "crawl.warc"):
        source = data / input_name
        output = OUT_DIR / f"out-{input_name}"
        for count in threads:
            for name in [*CHECKS, "check, then hashlib SHA-256"]:
                made.append(_case(f"{input_name}, check", name, count, "check", source, output))
            for name in [*APPENDS, "append -o, then hashlib SHA-256"]:
                made.append(_case(f"{input_name}, append", name, count, "append", source, output))
        made.append(
            Case(
                f"{input_name}, check",
                "hashlib SHA-256 alone",
                [
                    sys.executable,
                    "-c",
                    f"import bench.pass_digests as b, os; "
                    f"b._sha256_of(os.open({str(source)!r}, os.O_RDONLY))",
                ],
            )  # fmt: skip
        )
    return made


def _case(group: str, name: str, threads: int, kind: str, source: Path, output: Path) -> Case:
    argv = [sys.executable, "-m", "bench.pass_digests", "--case", kind, name, str(source)]
    return Case(
        group,
        f"{name} (--threads {threads})",
        [*argv, str(output), str(threads)],
        cleanup=lambda: output.unlink(missing_ok=True),
    )


def table(made: list[Case]) -> str:
    lines = ["| input | case | wall s | CPU s | peak MiB |", "|---|---|---|---|---|"]
    for case in made:
        if case.state():
            lines.append(f"| {case.group} | {case.label} | {case.state()} | | |")
            continue
        lines.append(
            f"| {case.group} | {case.label} | {case.wall:.3f} | {case.cpu:.3f} "
            f"| {case.peak_rss / MIB:,.0f} |"
        )
    return "\n".join(lines)


def main() -> None:
    if len(sys.argv) > 1 and sys.argv[1] == "--case":
        case_main(sys.argv[2:])
        return
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--data", type=Path, default=DEFAULT_DATA)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--threads", type=int, nargs="+", default=[1, 2])
    parser.add_argument("--write", action="store_true")
    args = parser.parse_args()
    OUT_DIR.mkdir(parents=True, exist_ok=True)
    made = cases(args.data, args.threads)
    warm([args.data / "crawl.warc.gz", args.data / "crawl.warc"])
    take_turns(made, args.rounds)
    from quillmark_files import _native

    text = f"SHA-256 kernel: {_native.sha256_kernel()}.\n\n" + table(made)
    print(text)
    if args.write:
        write_section("pass-digests", text, "python -m bench.pass_digests", ("quillmark",))


if __name__ == "__main__":
    main()
