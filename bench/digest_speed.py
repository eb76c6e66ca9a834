"""The native SHA-256 and CRC-32 against hashlib's SHA-256 (OpenSSL's), in one run.

    python -m bench.digest_speed BUILD_DIR            # 1 GiB in memory, a 1 GiB file
    python -m bench.digest_speed BUILD_DIR --mib 64   # smaller, to try the harness

BUILD_DIR is a CMake build with -DQUILLMARK_BUILD_BENCH=ON (Release), holding
bench/native/digest_speed. hashlib digests MIB MiB of random bytes in memory,
best of three; then the native program digests as many bytes in memory on
each kernel, and a file of that size under bench/data/ (written once, then
read once so that it stands in the page cache) by pread with pieces of
several sizes, by a mapping, and through RangeDigest. Rates in MB/s (10^6
bytes a second).
"""

from __future__ import annotations

import argparse
import hashlib
import os
import subprocess
import time
from pathlib import Path

DATA = Path(__file__).resolve().parent / "data"


def hashlib_rate(data: bytes) -> float:
    best = 0.0
    for _ in range(3):
        began = time.perf_counter()
        hashlib.sha256(data).digest()
        best = max(best, len(data) / (time.perf_counter() - began) / 1e6)
    return best


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("build", type=Path)
    parser.add_argument("--mib", type=int, default=1024)
    args = parser.parse_args()
    size = args.mib << 20
    data = os.urandom(size)
    print(f"sha256 hashlib        {hashlib_rate(data):9.0f} MB/s")
    DATA.mkdir(exist_ok=True)
    path = DATA / f"digest-{args.mib}MiB.bin"
    if not path.exists() or path.stat().st_size != size:
        path.write_bytes(data)
    del data
    with path.open("rb") as file:  # into the page cache
        while file.read(64 << 20):
            pass
    program = args.build / "bench" / "native" / "digest_speed"
    subprocess.run([str(program), str(args.mib), str(path)], check=True)


if __name__ == "__main__":
    main()
