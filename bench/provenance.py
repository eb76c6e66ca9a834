"""What signing and verifying cost on the crawl-shaped .warc.gz, against
their references, in turns (fresh processes, best of --repeat), with the
peak memory of each command:

- ``sign -o`` against ``append -o`` plus one SHA-256 of the output (hashlib);
- ``verify`` against ``check`` plus one SHA-256 of the file, plus 0.2 s;
- ``audit --verify --jobs 2`` on the crawl against ``audit --jobs 2``.

    python -m bench.provenance [--data bench/data/native-full] [--repeat 3]

Needs c2pa-python and cryptography (the test PKI). Outputs go to
bench/data/provenance/ (not versioned); the inputs are only read.
"""

from __future__ import annotations

import argparse
import os
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
DATA = HERE / "data"
TESTS = HERE.parent / "tests"
BIN = Path(sys.executable).parent
HASH = (
    "import hashlib, sys\n"
    "d = hashlib.sha256()\n"
    "with open(sys.argv[1], 'rb') as f:\n"
    "    while b := f.read(4 << 20): d.update(b)\n"
)


def measured(argv: list[str]) -> tuple[float, int]:
    """Wall seconds and peak RSS (KiB) of one run of ``argv``."""
    start = time.perf_counter()
    process = subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    _, status, usage = os.wait4(process.pid, 0)
    wall = time.perf_counter() - start
    process.returncode = os.waitstatus_to_exitcode(status)
    assert process.stderr is not None
    error = process.stderr.read()
    process.stderr.close()
    if process.returncode not in (0, 1):
        raise SystemExit(f"{argv}: status {process.returncode}: {error.decode()}")
    return wall, usage.ru_maxrss


def quillmark(*args: object) -> list[str]:
    return [str(BIN / "quillmark"), *map(str, args)]


def sha256(path: Path) -> list[str]:
    return [sys.executable, "-c", HASH, str(path)]


def best(runs: dict[str, list[tuple[float, int]]]) -> dict[str, tuple[float, int]]:
    return {name: (min(w for w, _ in got), max(m for _, m in got)) for name, got in runs.items()}


def in_turns(cases: dict[str, list[list[str]]], repeat: int) -> dict[str, tuple[float, int]]:
    """Each case is a sequence of commands whose walls add up; run in turns."""
    runs: dict[str, list[tuple[float, int]]] = {name: [] for name in cases}
    for _ in range(repeat):
        for name, commands in cases.items():
            results = [measured(argv) for argv in commands]
            runs[name].append((sum(w for w, _ in results), max(m for _, m in results)))
    return best(runs)


def pki_files(folder: Path) -> tuple[Path, Path, Path]:
    sys.path.insert(0, str(TESTS))
    from pki import make_pki

    pki = make_pki()
    chain, key, root = folder / "chain.pem", folder / "key.pem", folder / "root.pem"
    chain.write_text(pki.es256.chain)
    key.write_text(pki.es256.key)
    root.write_text(pki.root)
    return chain, key, root


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--data", type=Path, default=DATA / "native-full")
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    crawl = args.data / "crawl.warc.gz"
    files = args.data / "audit"
    out = DATA / "provenance"
    out.mkdir(parents=True, exist_ok=True)
    chain, key, root = pki_files(out)
    appended, signed = out / "appended.warc.gz", out / "signed.warc.gz"
    store = out / "store.bin"
    store.write_bytes(b"\x00" * 3400)  # about a signed store's size
    sign = ["sign", crawl, "--cert", chain, "--key", key, "-o", signed]

    print(f"input: {crawl} ({crawl.stat().st_size / 1e6:.0f} MB), best of {args.repeat}")
    got = in_turns(
        {
            "append -o + SHA-256": [
                quillmark("append", crawl, store, "-o", appended),
                sha256(appended),
            ],
            "sign -o": [quillmark(*sign)],
        },
        args.repeat,
    )
    reference = got["append -o + SHA-256"][0]
    for name, (wall, peak) in got.items():
        print(f"  {name:24} {wall:7.3f} s  {peak / 1024:6.1f} MiB")
    print(f"  sign / (append + hash) = {got['sign -o'][0] / reference:.3f} (at most 1.1)")

    got = in_turns(
        {
            "check + SHA-256": [quillmark("check", signed), sha256(signed)],
            "verify": [quillmark("verify", "--trust-anchors", root, signed)],
        },
        args.repeat,
    )
    budget = 1.1 * got["check + SHA-256"][0] + 0.2
    for name, (wall, peak) in got.items():
        print(f"  {name:24} {wall:7.3f} s  {peak / 1024:6.1f} MiB")
    print(f"  verify {got['verify'][0]:.3f} s, budget 1.1 x (check + hash) + 0.2 = {budget:.3f} s")

    count = sum(1 for name in os.listdir(files) if name.endswith(".warc.gz"))
    got = in_turns(
        {
            "audit --jobs 2": [quillmark("audit", "--jobs", 2, "-o", out / "a.jsonl", files)],
            "audit --verify --jobs 2": [
                quillmark("audit", "--verify", "--jobs", 2, "-o", out / "v.jsonl", files)
            ],
        },
        args.repeat,
    )
    for name, (wall, peak) in got.items():
        print(f"  {name:24} {count / wall:7.2f} files/s  {peak / 1024:6.1f} MiB")
    ratio = got["audit --jobs 2"][0] / got["audit --verify --jobs 2"][0]
    print(f"  audit --verify files/s / audit files/s = {ratio:.3f} (at least 0.8)")


if __name__ == "__main__":
    main()
