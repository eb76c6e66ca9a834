"""What verifying a store costs on a large archive, against `quillmark check`
and one SHA-256 of the file: wall time (best of --repeat, fresh processes)
and peak memory of each.

    python -m bench.provenance_verify                 # bench/data/crawl-300MiB.warc
    python -m bench.provenance_verify --size-mib 100

"sdk" has the C2PA SDK read the covered bytes itself; "digest" hashes them
with our own pass (provenance.covered.sha256_of) and has the SDK check the
rest of the store. Needs c2pa-python and cryptography (the test PKI).
"""

from __future__ import annotations

import argparse
import os
import random
import resource
import subprocess
import sys
import time
from pathlib import Path

DATA_DIR = Path(__file__).resolve().parent / "data"
TESTS = Path(__file__).resolve().parent.parent / "tests"


def make_archive(size: int) -> Path:
    import quillmark

    path = DATA_DIR / f"crawl-{size >> 20}MiB.warc"
    if path.exists() and path.stat().st_size >= size:
        return path
    DATA_DIR.mkdir(exist_ok=True)
    rng = random.Random(7)
    words = [bytes(rng.choice(b"abcdefghij <>/=") for _ in range(8)) for _ in range(512)]
    written = 0
    with open(path, "wb") as out:
        while written < size:
            body = b" ".join(rng.choices(words, k=rng.randint(20, 40000)))
            record = quillmark.build_record(
                "response", "text/html", f"urn:uuid:{written:032x}", body, "https://e.org/"
            )
            written += out.write(record)
    return path


def child(mode: str, path: str, store_path: str, anchors_path: str) -> None:
    """One measured run, in its own process: prints its peak memory."""
    from quillmark_files.provenance._covered import sha256_of
    from quillmark_files.provenance._sdk import CoveredRange, verify_store

    covered = CoveredRange(path, 0, os.path.getsize(path))
    if mode == "sha256":
        sha256_of(covered)
    else:
        store = Path(store_path).read_bytes()
        anchors = Path(anchors_path).read_text()
        digest = sha256_of(covered) if mode == "digest" else None
        report = verify_store(store, covered, anchors, sha256=digest)
        assert report.valid and report.trusted, report.reason()
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    print(peak >> 10)


def timed(argv: list[str], repeat: int) -> tuple[float, int]:
    best, peak = float("inf"), 0
    for _ in range(repeat):
        start = time.perf_counter()
        done = subprocess.run(argv, capture_output=True, text=True, check=True)
        best = min(best, time.perf_counter() - start)
        lines = done.stdout.split()
        peak = max(peak, int(lines[-1]) if lines and lines[-1].isdigit() else 0)
    return best, peak


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size-mib", type=int, default=300)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args(argv)
    path = make_archive(args.size_mib << 20)

    sys.path.insert(0, str(TESTS))
    from pki import make_pki
    from quillmark_files.provenance._covered import sha256_of
    from quillmark_files.provenance._sdk import CoveredRange, Signer, sign_store

    pki = make_pki()
    signer = Signer.from_pem(pki.es256.chain, pki.es256.key)
    # Hashed in pieces: a child's peak memory counts its parent's at the fork.
    digest = sha256_of(CoveredRange(str(path), 0, path.stat().st_size))
    store_path, anchors_path = DATA_DIR / "bench-store.c2pa", DATA_DIR / "bench-root.pem"
    store_path.write_bytes(sign_store(None, digest, signer, title=path.name))
    anchors_path.write_text(pki.root)

    python = sys.executable
    me = [
        python,
        "-c",
        "import sys; from bench.provenance_verify import child; child(*sys.argv[1:])",
    ]
    peak_of_check = [python, "-c", _CHECK, str(path)]
    rows = {"check": timed(peak_of_check, args.repeat)}
    for mode in ("sha256", "sdk", "digest"):
        rows[mode] = timed([*me, mode, str(path), str(store_path), str(anchors_path)], args.repeat)
    floor = rows["check"][0] + rows["sha256"][0]
    print(f"{path.name}: {path.stat().st_size / (1 << 20):.0f} MiB")
    for name, (seconds, peak) in rows.items():
        print(f"  {name:8s} {seconds:6.3f} s  peak {peak:4d} MiB")
    for mode in ("sdk", "digest"):
        bound = 1.1 * floor + 0.2
        seconds = rows["check"][0] + rows[mode][0]  # the command finds the record first
        verdict = "meets" if seconds <= bound and rows[mode][1] <= 64 else "misses"
        print(f"  verify by {mode}: {seconds:.3f} s (bound {bound:.3f} s), {verdict} the budget")
    return 0


# `quillmark check` in-process, so that its peak memory can be printed too.
_CHECK = """
import resource, sys
from quillmark_cli.__main__ import main
code = main(["check", sys.argv[1]])
print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss >> 10)
sys.exit(code)
"""

if __name__ == "__main__":
    raise SystemExit(main())
